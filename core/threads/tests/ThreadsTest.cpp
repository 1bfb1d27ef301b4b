#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "core/threads/Threads.h"

namespace {

using kiv::threads::Semaphore;
using kiv::threads::Thread;
using kiv::threads::Trigger;

TEST(CoreThreadsSemaphore, CountsPostsAndTimesOut) {
    Semaphore sem(1);
    EXPECT_TRUE(sem.wait(0));
    EXPECT_FALSE(sem.wait(10));
    sem.post();
    sem.post();
    EXPECT_TRUE(sem.wait(0));
    EXPECT_TRUE(sem.wait(0));
    EXPECT_FALSE(sem.wait(0));
}

TEST(CoreThreadsSemaphore, WakesAWaiterOnAnotherThread) {
    Semaphore sem(0);
    std::atomic<bool> passed{false};
    std::thread waiter([&] {
        sem.wait();
        passed = true;
    });
    sem.post();
    waiter.join();
    EXPECT_TRUE(passed);
}

TEST(CoreThreadsTrigger, AutoResetsAndCollapsesPosts) {
    Trigger trigger;
    EXPECT_FALSE(trigger.wait(0));
    trigger.post();
    trigger.post();
    EXPECT_TRUE(trigger.wait(0));
    EXPECT_FALSE(trigger.wait(0));  // two posts before a wait count once
    trigger.post();
    trigger.reset();
    EXPECT_FALSE(trigger.wait(0));
}

class Recorder : public Thread {
  public:
    Recorder(bool autoDelete, std::vector<int>* log, std::atomic<bool>* deleted)
        : Thread(autoDelete), pLog(log), pDeleted(deleted) {}
    ~Recorder() override {
        if (pDeleted) *pDeleted = true;
    }
    std::thread::id id;

  protected:
    void execute() override {
        id = std::this_thread::get_id();
        pLog->push_back(1);
        while (!relax(1000)) {
        }
        pLog->push_back(2);
    }
    void cleanup() override {
        EXPECT_TRUE(kiv::threads::IsCurrentThread(id));  // same thread as execute
        pLog->push_back(3);
    }

  private:
    std::vector<int>* pLog;
    std::atomic<bool>* pDeleted;
};

TEST(CoreThreadsThread, JoinableRunsExecuteThenCleanupUntilSignaled) {
    std::vector<int> log;
    Recorder t(false, &log, nullptr);
    t.start();
    kiv::threads::SleepMs(5);
    EXPECT_FALSE(t.get_finished());
    const auto before = std::chrono::steady_clock::now();
    t.signal();  // relax() ends at once, not after its 1 s
    t.waitfor();
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(900));
    EXPECT_TRUE(t.get_finished());
    EXPECT_TRUE(t.get_signaled());
    EXPECT_EQ(log, (std::vector<int>{1, 2, 3}));
    EXPECT_FALSE(kiv::threads::IsCurrentThread(t.id));
}

TEST(CoreThreadsThread, SelfDeletingThreadDeletesItself) {
    std::vector<int> log;
    std::atomic<bool> deleted{false};
    Recorder* t = new Recorder(true, &log, &deleted);
    t->signal();  // signaled before start: execute falls through
    t->start();
    for (int i = 0; i < 500 && !deleted; ++i) kiv::threads::SleepMs(2);
    EXPECT_TRUE(deleted);
    EXPECT_EQ(log, (std::vector<int>{1, 2, 3}));
}

class Thrower : public Thread {
  public:
    Thrower() : Thread(false) {}
    bool cleaned = false;

  protected:
    void execute() override { throw std::runtime_error("boom"); }
    void cleanup() override { cleaned = true; }
};

TEST(CoreThreadsThread, ExceptionInExecuteStillCleansUp) {
    Thrower t;
    testing::internal::CaptureStderr();
    t.start();
    t.waitfor();
    testing::internal::GetCapturedStderr();
    EXPECT_TRUE(t.cleaned);
    EXPECT_TRUE(t.get_finished());
}

}  // namespace
