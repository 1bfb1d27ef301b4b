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

CReferenceCounter::EDrop CReferenceCounter::Drop(char* buffer, unsigned long owner) {
    if (!buffer) return EDrop::NotHeld;
    std::lock_guard<std::mutex> lock(mtxHolders);
    auto range = mapHolders.equal_range(buffer);
    bool removed = false;
    for (auto it = range.first; it != range.second;) {
        if (it->second == static_cast<uint32_t>(owner)) {
            it = mapHolders.erase(it);
            removed = true;
        } else {
            ++it;
        }
    }
    const bool left = mapHolders.find(buffer) != mapHolders.end();
    if (left) return EDrop::StillHeld;
    return removed ? EDrop::LastGone : EDrop::NotHeld;
}

size_t CReferenceCounter::Count(const char* buffer) const {
    std::lock_guard<std::mutex> lock(mtxHolders);
    return mapHolders.count(buffer);
}

size_t CReferenceCounter::Buffers() const {
    std::lock_guard<std::mutex> lock(mtxHolders);
    size_t n = 0;
    for (auto it = mapHolders.begin(); it != mapHolders.end();
         it = mapHolders.upper_bound(it->first))
        ++n;
    return n;
}

std::vector<char*> CReferenceCounter::TakeAll() {
    std::lock_guard<std::mutex> lock(mtxHolders);
    std::vector<char*> buffers;
    for (auto it = mapHolders.begin(); it != mapHolders.end();
         it = mapHolders.upper_bound(it->first))
        buffers.push_back(const_cast<char*>(it->first));
    mapHolders.clear();
    return buffers;
}
