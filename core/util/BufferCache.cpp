#include "core/util/BufferCache.h"

#include <malloc.h>

#include <array>
#include <cstdlib>

namespace kiv {
namespace util {

BufferCache::BufferCache() { kept_.reserve(kMaxKept + 1); }

BufferCache::~BufferCache() { Clear(); }

char* BufferCache::Take(size_t size) {
    if (size < kMinSize || size > kMaxSize) return nullptr;
    std::lock_guard<std::mutex> lock(mutex_);
    for (size_t i = kept_.size(); i-- > 0;) {
        const Kept k = kept_[i];
        if (k.capacity >= size && k.capacity / 2 <= size) {
            kept_.erase(kept_.begin() + static_cast<std::ptrdiff_t>(i));
            keptBytes_ -= k.capacity;
            return k.buffer;
        }
    }
    return nullptr;
}

void BufferCache::Give(char* buffer) {
    if (!buffer) return;
    const size_t capacity = malloc_usable_size(buffer);
    if (capacity < kMinSize || capacity > kMaxSize) {
        std::free(buffer);
        return;
    }
    std::array<char*, kMaxKept + 1> evicted;
    size_t drop = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        kept_.push_back(Kept{buffer, capacity});
        keptBytes_ += capacity;
        // The newest buffer is the warmest: the oldest ones make room.
        while (kept_.size() - drop > kMaxKept || keptBytes_ > kMaxKeptBytes) {
            keptBytes_ -= kept_[drop].capacity;
            evicted[drop] = kept_[drop].buffer;
            ++drop;
        }
        kept_.erase(kept_.begin(), kept_.begin() + static_cast<std::ptrdiff_t>(drop));
    }
    for (size_t i = 0; i < drop; ++i) std::free(evicted[i]);
}

void BufferCache::Clear() {
    std::vector<Kept> kept;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        kept.swap(kept_);
        keptBytes_ = 0;
    }
    for (const Kept& k : kept) std::free(k.buffer);
}

size_t BufferCache::KeptCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return kept_.size();
}

size_t BufferCache::KeptBytes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return keptBytes_;
}

}  // namespace util
}  // namespace kiv
