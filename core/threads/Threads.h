#pragma once
// A small threads layer: a thread with execute/cleanup hooks (self-deleting or
// joinable), a counting semaphore, an auto-reset trigger, a millisecond sleep
// and a same-thread test.

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace kiv {
namespace threads {

// Counting semaphore.
class Semaphore {
  public:
    explicit Semaphore(int initial = 0) : nCount(initial) {}
    Semaphore(const Semaphore&) = delete;
    Semaphore& operator=(const Semaphore&) = delete;

    void wait();
    // Waits at most `msecs` milliseconds; false on time-out.
    bool wait(int msecs);
    void post();

  private:
    std::mutex mtx;
    std::condition_variable cv;
    int nCount;
};

// Auto-reset trigger: post() lets exactly one wait() through (or the next one,
// when nobody waits); several posts before a wait count once.
class Trigger {
  public:
    Trigger() = default;
    Trigger(const Trigger&) = delete;
    Trigger& operator=(const Trigger&) = delete;

    void wait();
    bool wait(int msecs);
    void post();
    void reset();

  private:
    std::mutex mtx;
    std::condition_variable cv;
    bool bSignaled = false;
};

// Sleeps for `msecs` milliseconds.
void SleepMs(int msecs);

// True when `id` is the calling thread.
bool IsCurrentThread(std::thread::id id);

// A thread object. execute() runs on the new thread, then cleanup() on the
// same thread. A self-deleting thread deletes its object afterwards; a
// joinable one is ended by waitfor() and then deleted by its owner.
class Thread {
  public:
    explicit Thread(bool autoDelete);
    // REQUIRES: for a joinable thread, waitfor() returned (or start() was never called).
    virtual ~Thread();
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;

    // Starts the thread. A self-deleting thread may already be gone when start() returns.
    void start();
    // Asks the thread to stop: sets the signaled flag and wakes relax().
    void signal();
    // Joins a joinable thread.
    void waitfor();

    bool get_signaled() const { return bSignaled.load(); }
    bool get_finished() const { return bFinished.load(); }

  protected:
    virtual void execute() = 0;
    virtual void cleanup() {}
    // Waits on the thread's own semaphore up to `msecs` ms; returns true when
    // the thread was signaled (at once if it already was).
    bool relax(int msecs);

  private:
    void run();

    const bool bAutoDelete;
    std::thread thread;
    std::atomic<bool> bSignaled{false};
    std::atomic<bool> bFinished{false};
    Semaphore relaxsem;
};

}  // namespace threads
}  // namespace kiv
