#include "core/threads/Threads.h"

#include <chrono>
#include <cstdio>
#include <exception>

namespace kiv {
namespace threads {

void Semaphore::wait() {
    std::unique_lock<std::mutex> lock(mtx);
    cv.wait(lock, [this] { return nCount > 0; });
    --nCount;
}

bool Semaphore::wait(int msecs) {
    std::unique_lock<std::mutex> lock(mtx);
    if (!cv.wait_for(lock, std::chrono::milliseconds(msecs), [this] { return nCount > 0; }))
        return false;
    --nCount;
    return true;
}

void Semaphore::post() {
    {
        std::lock_guard<std::mutex> lock(mtx);
        ++nCount;
    }
    cv.notify_one();
}

void Trigger::wait() {
    std::unique_lock<std::mutex> lock(mtx);
    cv.wait(lock, [this] { return bSignaled; });
    bSignaled = false;
}

bool Trigger::wait(int msecs) {
    std::unique_lock<std::mutex> lock(mtx);
    if (!cv.wait_for(lock, std::chrono::milliseconds(msecs), [this] { return bSignaled; }))
        return false;
    bSignaled = false;
    return true;
}

void Trigger::post() {
    {
        std::lock_guard<std::mutex> lock(mtx);
        bSignaled = true;
    }
    cv.notify_one();
}

void Trigger::reset() {
    std::lock_guard<std::mutex> lock(mtx);
    bSignaled = false;
}

void SleepMs(int msecs) { std::this_thread::sleep_for(std::chrono::milliseconds(msecs)); }

bool IsCurrentThread(std::thread::id id) { return id == std::this_thread::get_id(); }

Thread::Thread(bool autoDelete) : bAutoDelete(autoDelete) {}

Thread::~Thread() {
    if (thread.joinable()) {
        if (thread.get_id() == std::this_thread::get_id())
            thread.detach();
        else
            thread.join();
    }
}

void Thread::start() {
    if (bAutoDelete) {
        // The object may be deleted by the new thread at any moment: touch no member after.
        std::thread(&Thread::run, this).detach();
    } else {
        thread = std::thread(&Thread::run, this);
    }
}

void Thread::signal() {
    bSignaled = true;
    relaxsem.post();
}

void Thread::waitfor() {
    if (!bAutoDelete && thread.joinable()) thread.join();
}

bool Thread::relax(int msecs) {
    if (bSignaled) return true;
    relaxsem.wait(msecs);
    return bSignaled;
}

void Thread::run() {
    // Nothing thrown by the hooks may end the process.
    try {
        execute();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "thread: unhandled exception: %s\n", e.what());
    } catch (...) {
        std::fprintf(stderr, "thread: unhandled exception\n");
    }
    try {
        cleanup();
    } catch (...) {
        std::fprintf(stderr, "thread: unhandled exception in cleanup\n");
    }
    bFinished = true;
    if (bAutoDelete) delete this;
}

}  // namespace threads
}  // namespace kiv
