#pragma once
// The bare baseline of event routing: the least any queue between posting threads and one
// delivering thread can do. Each post copies the data once into a heap buffer and appends it
// to a mutex-guarded deque; one consumer thread takes the buffers in order, touches them as the
// benchmark consumer plug-in does, and frees them.

#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>

#include "bench/RoutingBench.h"

namespace kivbench {

class BareQueue {
  public:
    BareQueue() : consumer_([this] { Consume(); }) {}
    ~BareQueue() {
        Post(nullptr, 0, true);  // stop after what is queued
        consumer_.join();
    }

    // Copies `size` bytes of `data` and queues them; false when the copy cannot be allocated.
    bool Post(const void* data, uint32_t size) { return Post(data, size, false); }

    // Queues the end marker and waits until the consumer reached it; returns the number of
    // buffers it consumed before and the steady-clock time at which it reached the marker.
    void End(uint64_t& delivered, int64_t& endNs) {
        Post(nullptr, 0, false);
        std::unique_lock<std::mutex> lock(mutex_);
        ended_.wait(lock, [this] { return endNs_ != 0; });
        delivered = delivered_;
        endNs = endNs_;
    }

  private:
    struct Item {
        char* data;
        uint32_t size;
        bool stop;
    };

    bool Post(const void* data, uint32_t size, bool stop) {
        char* copy = nullptr;
        if (data != nullptr && size != 0) {
            copy = static_cast<char*>(std::malloc(size));
            if (copy == nullptr) return false;
            std::memcpy(copy, data, size);
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            queue_.push_back(Item{copy, size, stop});
        }
        ready_.notify_one();
        return true;
    }

    void Consume() {
        uint64_t delivered = 0;
        for (;;) {
            Item item;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                ready_.wait(lock, [this] { return !queue_.empty(); });
                item = queue_.front();
                queue_.pop_front();
            }
            if (item.stop) return;
            if (item.data == nullptr) {  // the end marker
                std::lock_guard<std::mutex> lock(mutex_);
                delivered_ = delivered;
                endNs_ = NowNs();
                ended_.notify_all();
                continue;
            }
            sink_ += static_cast<unsigned char>(item.data[0]) +
                     static_cast<unsigned char>(item.data[item.size - 1]);
            ++delivered;
            std::free(item.data);
        }
    }

    std::mutex mutex_;
    std::condition_variable ready_;
    std::condition_variable ended_;
    std::deque<Item> queue_;
    uint64_t delivered_ = 0;
    int64_t endNs_ = 0;
    volatile uint32_t sink_ = 0;
    std::thread consumer_;  // last: starts once everything above exists
};

}  // namespace kivbench
