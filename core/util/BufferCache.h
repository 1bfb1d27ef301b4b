#pragma once
// A few recently freed large event buffers, kept for the next large event. Live video posts a
// steady flow of frames of similar size: cycling through a handful of buffers that are still
// in the processor's caches copies each frame several times faster than fresh heap memory, and
// spares the allocator the churn of large blocks. The cache is small and bounded (count and
// bytes), so memory it holds back never matters to the memory-throttling scheduler.
//
// Buffers come from malloc (their capacity is read with malloc_usable_size) and leave through
// free. Thread-safe.

#include <cstddef>
#include <mutex>
#include <vector>

namespace kiv {
namespace util {

class BufferCache {
  public:
    static constexpr size_t kMinSize = 32 * 1024;  // smaller buffers go straight to the heap
    static constexpr size_t kMaxSize = 2 * 1024 * 1024;
    static constexpr size_t kMaxKept = 8;
    static constexpr size_t kMaxKeptBytes = 4 * 1024 * 1024;

    BufferCache();
    ~BufferCache();
    BufferCache(const BufferCache&) = delete;
    BufferCache& operator=(const BufferCache&) = delete;

    // The most recently kept buffer that holds `size` bytes without being more than twice as
    // large, or null.
    char* Take(size_t size);
    // Keeps `buffer` for reuse or frees it; null is ignored.
    void Give(char* buffer);
    // Frees every kept buffer.
    void Clear();

    size_t KeptCount() const;
    size_t KeptBytes() const;

  private:
    struct Kept {
        char* buffer;
        size_t capacity;
    };
    mutable std::mutex mutex_;
    std::vector<Kept> kept_;  // oldest first
    size_t keptBytes_ = 0;
};

}  // namespace util
}  // namespace kiv
