#pragma once
// Block allocator for short-lived chunks: allocations are carved out of 2 MiB
// blocks; a block whose chunks were all released is kept for reuse. Not
// thread-safe: one pool belongs to one thread.

#include <cstddef>
#include <cstdint>
#include <deque>

class CPool {
  public:
    static const uint32_t BLOCK_SIZE = 0x200000;

    CPool() = default;
    ~CPool();
    CPool(const CPool&) = delete;
    CPool& operator=(const CPool&) = delete;

    // `size` bytes from a block, or null (size above BLOCK_SIZE, heap exhausted).
    char* Acquire(unsigned int size);
    // Gives back an allocation made by Acquire; an address outside every block is ignored.
    void Release(char* p);

    size_t BlocksInUse() const { return dqBlocks.size(); }
    size_t SpareBlocks() const { return dqSpare.size(); }

  private:
    struct _BLOCK {
        char* pBase;
        uint32_t cbUsed;
        uint32_t nChunks;
    };
    std::deque<_BLOCK> dqBlocks;  // oldest first
    std::deque<char*> dqSpare;    // last in, first out
};
