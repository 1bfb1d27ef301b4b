#include "core/util/Pool.h"

#include <cstdlib>

#include "core/app/ODS.h"

CPool::~CPool() {
    for (const _BLOCK& b : dqBlocks) {
        kiv::ODS("~pool freeing block[%p] chunks[%u]", static_cast<void*>(b.pBase), b.nChunks);
        std::free(b.pBase);
    }
    for (char* p : dqSpare) std::free(p);
}

char* CPool::Acquire(unsigned int size) {
    // Newest block first; the check cannot overflow because cbUsed <= BLOCK_SIZE.
    for (auto it = dqBlocks.rbegin(); it != dqBlocks.rend(); ++it) {
        if (size <= BLOCK_SIZE - it->cbUsed) {
            char* p = it->pBase + it->cbUsed;
            it->cbUsed += size;
            ++it->nChunks;
            return p;
        }
    }
    if (size > BLOCK_SIZE) {
        kiv::ODS("allocation size %u failure\n", size);
        return nullptr;
    }
    char* block;
    if (!dqSpare.empty()) {
        block = dqSpare.back();
        dqSpare.pop_back();
    } else {
        kiv::ODS("allocation blocks[%u]\n", static_cast<unsigned>(dqBlocks.size()));
        block = static_cast<char*>(std::malloc(BLOCK_SIZE));
        if (!block) return nullptr;
    }
    dqBlocks.push_back(_BLOCK{block, size, 1});
    return block;
}

void CPool::Release(char* p) {
    for (auto it = dqBlocks.begin(); it != dqBlocks.end(); ++it) {
        // Compare as integers: pointers into different objects are not ordered.
        const uintptr_t base = reinterpret_cast<uintptr_t>(it->pBase);
        const uintptr_t addr = reinterpret_cast<uintptr_t>(p);
        if (addr < base || addr - base >= BLOCK_SIZE) continue;
        if (--it->nChunks > 0) return;
        const unsigned inUse = static_cast<unsigned>(dqBlocks.size());
        const unsigned spare = static_cast<unsigned>(dqSpare.size());
        if (inUse < spare) {
            kiv::ODS("freeing blocks[%u] allocs[%u]\n", inUse, spare);
            std::free(it->pBase);
        } else {
            dqSpare.push_back(it->pBase);
        }
        dqBlocks.erase(it);
        return;
    }
}
