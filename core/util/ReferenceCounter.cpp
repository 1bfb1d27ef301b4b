#include "core/util/ReferenceCounter.h"

void CReferenceCounter::Increment(char* buffer, unsigned long owner) {
    if (!buffer) return;
    std::lock_guard<std::mutex> lock(mtxHolders);
    mapHolders.emplace(buffer, static_cast<uint32_t>(owner));
}

bool CReferenceCounter::Decrement(char* buffer, unsigned long owner) {
    if (!buffer) return true;
    return Drop(buffer, owner) != EDrop::StillHeld;
}

bool CReferenceCounter::EraseOwner(const char* buffer, uint32_t owner) {
    auto range = mapHolders.equal_range(buffer);
    bool removed = false;
    for (auto it = range.first; it != range.second;) {
        if (it->second == owner) {
            it = mapHolders.erase(it);
            removed = true;
        } else {
            ++it;
        }
    }
    return removed;
}

CReferenceCounter::EDrop CReferenceCounter::Drop(char* buffer, unsigned long owner) {
    if (!buffer) return EDrop::NotHeld;
    const uint32_t id = static_cast<uint32_t>(owner);
    std::lock_guard<std::mutex> lock(mtxHolders);
    bool removed = EraseOwner(buffer, id);
    if (buffer == pHeld && bLent && dwLentTo == id) {
        bLent = false;
        removed = true;
    }
    const bool left = buffer == pHeld || mapHolders.find(buffer) != mapHolders.end();
    if (left) return EDrop::StillHeld;
    return removed ? EDrop::LastGone : EDrop::NotHeld;
}

size_t CReferenceCounter::Count(const char* buffer) const {
    std::lock_guard<std::mutex> lock(mtxHolders);
    size_t n = mapHolders.count(buffer);
    if (buffer != nullptr && buffer == pHeld) n += bLent ? 2 : 1;
    return n;
}

size_t CReferenceCounter::Buffers() const {
    std::lock_guard<std::mutex> lock(mtxHolders);
    size_t n = 0;
    for (auto it = mapHolders.begin(); it != mapHolders.end();
         it = mapHolders.upper_bound(it->first))
        ++n;
    if (pHeld != nullptr && mapHolders.find(pHeld) == mapHolders.end()) ++n;
    return n;
}

std::vector<char*> CReferenceCounter::TakeAll() {
    std::lock_guard<std::mutex> lock(mtxHolders);
    std::vector<char*> buffers;
    for (auto it = mapHolders.begin(); it != mapHolders.end();
         it = mapHolders.upper_bound(it->first))
        buffers.push_back(const_cast<char*>(it->first));
    if (pHeld != nullptr && mapHolders.find(pHeld) == mapHolders.end())
        buffers.push_back(const_cast<char*>(pHeld));
    mapHolders.clear();
    pHeld = nullptr;
    bLent = false;
    return buffers;
}

void CReferenceCounter::Hold(char* buffer) {
    if (!buffer) return;
    std::lock_guard<std::mutex> lock(mtxHolders);
    pHeld = buffer;
    bLent = false;
}

void CReferenceCounter::Lend(char* buffer, unsigned long owner) {
    if (!buffer) return;
    std::lock_guard<std::mutex> lock(mtxHolders);
    dwLentTo = static_cast<uint32_t>(owner);
    bLent = true;
}

void CReferenceCounter::Lent(char* buffer, unsigned long owner, bool keep) {
    if (!buffer) return;
    const uint32_t id = static_cast<uint32_t>(owner);
    std::lock_guard<std::mutex> lock(mtxHolders);
    if (!keep) {
        EraseOwner(buffer, id);
    } else if (bLent) {
        mapHolders.emplace(buffer, id);
    }
    bLent = false;
}

bool CReferenceCounter::Unhold(char* buffer) {
    if (!buffer) return true;
    std::lock_guard<std::mutex> lock(mtxHolders);
    pHeld = nullptr;
    bLent = false;
    return mapHolders.find(buffer) == mapHolders.end();
}
