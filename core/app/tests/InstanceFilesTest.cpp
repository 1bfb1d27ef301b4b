// Leftover single-instance locks and PID files: removed when nobody alive
// owns them, kept when a running core does.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <libdaemon/dpid.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "core/app/InstanceFiles.h"
#include "core/app/tests/TestSupport.h"

namespace {

using kiv::test::Exists;
using kiv::test::TempDir;
using kiv::test::WriteFile;

// A helper process that lives until the test ends. It either stays this test
// program (the same program name, like a second core) or becomes /bin/sleep.
// Optionally it holds a write lock on a file, as a running lock holder does.
class Helper {
  public:
    enum Kind { kSameProgram, kOtherProgram };

    explicit Helper(Kind kind, const std::string& lockPath = "") {
        int ready[2];
        if (pipe2(ready, O_CLOEXEC) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            if (!lockPath.empty()) {
                int fd = open(lockPath.c_str(), O_RDWR);  // kept across exec
                struct flock lock = {};
                lock.l_type = F_WRLCK;
                lock.l_whence = SEEK_SET;
                if (fd < 0 || fcntl(fd, F_SETLK, &lock) != 0) _exit(1);
            }
            char byte = 1;
            if (write(ready[1], &byte, 1) != 1) _exit(1);
            if (kind == kOtherProgram) {
                execl("/bin/sleep", "sleep", "60", static_cast<char*>(nullptr));
                _exit(1);
            }
            pause();
            _exit(0);
        }
        close(ready[1]);
        // One byte once set up, then end of file once exec has replaced the
        // program (the pipe closes on exec); the same program keeps it open.
        char byte = 0;
        ok_ = read(ready[0], &byte, 1) == 1;
        if (ok_ && kind == kOtherProgram) ok_ = read(ready[0], &byte, 1) == 0;
        close(ready[0]);
    }
    ~Helper() {
        if (pid_ <= 0) return;
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    Helper(const Helper&) = delete;
    Helper& operator=(const Helper&) = delete;

    pid_t pid() const { return pid_; }
    bool ok() const { return pid_ > 0 && ok_; }

  private:
    pid_t pid_ = -1;
    bool ok_ = false;
};

// The id of a process that has ended and been reaped.
pid_t DeadPid() {
    pid_t pid = fork();
    if (pid == 0) _exit(0);
    waitpid(pid, nullptr, 0);
    return pid;
}

TEST(CoreAppInstanceFiles, RunningInstanceIsAProcessOfTheSameProgram) {
    Helper same(Helper::kSameProgram);
    Helper other(Helper::kOtherProgram);
    ASSERT_TRUE(same.ok() && other.ok());
    EXPECT_TRUE(kiv::core::IsRunningInstance(getpid()));
    EXPECT_TRUE(kiv::core::IsRunningInstance(same.pid()));
    EXPECT_FALSE(kiv::core::IsRunningInstance(other.pid()));
    EXPECT_FALSE(kiv::core::IsRunningInstance(DeadPid()));
    EXPECT_FALSE(kiv::core::IsRunningInstance(0));
    EXPECT_FALSE(kiv::core::IsRunningInstance(-1));
    std::string name;
    ASSERT_TRUE(kiv::core::ProgramNameOf(other.pid(), &name));
    EXPECT_EQ(name, "sleep");
}

TEST(CoreAppInstanceFiles, LockFileIsRemovedOnlyWhenNobodyAliveOwnsIt) {
    TempDir dir;
    const std::string lock = dir / "kivServer";
    Helper same(Helper::kSameProgram);
    Helper other(Helper::kOtherProgram);
    ASSERT_TRUE(same.ok() && other.ok());

    struct Row {
        const char* what;
        std::string content;
        bool removed;
    };
    const Row rows[] = {
        {"id of a process that ended", std::to_string(DeadPid()), true},
        {"id reused by another program", std::to_string(other.pid()), true},
        {"no number", "garbage", true},
        {"empty", "", true},
        {"id of a running core", std::to_string(same.pid()), false},
        {"id of this process", std::to_string(getpid()), false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        WriteFile(lock, row.content);
        EXPECT_EQ(kiv::core::RemoveStaleInstanceLock(lock), row.removed);
        EXPECT_EQ(Exists(lock), !row.removed);
    }

    // A holder of the lock keeps the file whatever it contains.
    WriteFile(lock, std::to_string(DeadPid()));
    Helper holder(Helper::kOtherProgram, lock);
    ASSERT_TRUE(holder.ok());
    EXPECT_FALSE(kiv::core::RemoveStaleInstanceLock(lock));
    EXPECT_TRUE(Exists(lock));
}

TEST(CoreAppInstanceFiles, LockPathsThatAreNotOwnFilesAreLeftAlone) {
    TempDir dir;
    const std::string stale = std::to_string(DeadPid());

    EXPECT_FALSE(kiv::core::RemoveStaleInstanceLock(dir / "missing"));

    WriteFile(dir / "target", stale);
    ASSERT_EQ(symlink((dir / "target").c_str(), (dir / "link").c_str()), 0);
    EXPECT_FALSE(kiv::core::RemoveStaleInstanceLock(dir / "link"));
    EXPECT_TRUE(Exists(dir / "link"));
    EXPECT_TRUE(Exists(dir / "target"));

    ASSERT_EQ(mkdir((dir / "folder").c_str(), 0700), 0);
    EXPECT_FALSE(kiv::core::RemoveStaleInstanceLock(dir / "folder"));
    EXPECT_TRUE(Exists(dir / "folder"));

    WriteFile(dir / "foreign", stale);
    if (getuid() == 0 && chown((dir / "foreign").c_str(), 65534, 65534) == 0) {
        EXPECT_FALSE(kiv::core::RemoveStaleInstanceLock(dir / "foreign"));
        EXPECT_TRUE(Exists(dir / "foreign"));
    }
}

// Points libdaemon's PID file at a scratch path for one test.
class PidFileAt {
  public:
    explicit PidFileAt(const std::string& path) {
        path_ = path;
        previous_ = daemon_pid_file_proc;
        daemon_pid_file_proc = [] { return path_.c_str(); };
    }
    ~PidFileAt() { daemon_pid_file_proc = previous_; }
    PidFileAt(const PidFileAt&) = delete;
    PidFileAt& operator=(const PidFileAt&) = delete;

  private:
    static std::string path_;
    daemon_pid_file_proc_t previous_;
};
std::string PidFileAt::path_;

TEST(CoreAppInstanceFiles, PidFileIsClearedUnlessARunningCoreOwnsIt) {
    TempDir dir;
    const std::string path = dir / "kivrecorder.pid";
    PidFileAt redirect(path);
    Helper same(Helper::kSameProgram);
    Helper other(Helper::kOtherProgram);
    ASSERT_TRUE(same.ok() && other.ok());

    EXPECT_TRUE(kiv::core::ClearStalePidFile()) << "no file at all";

    struct Row {
        const char* what;
        std::string content;
        bool free;
    };
    const Row rows[] = {
        {"id of a process that ended", std::to_string(DeadPid()) + "\n", true},
        {"id reused by another program", std::to_string(other.pid()) + "\n", true},
        {"no number", "garbage\n", true},
        {"empty", "", true},
        {"this process's own id", std::to_string(getpid()) + "\n", true},
        {"id of a running core", std::to_string(same.pid()) + "\n", false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        WriteFile(path, row.content, 0644);
        EXPECT_EQ(kiv::core::ClearStalePidFile(), row.free);
        EXPECT_EQ(Exists(path), !row.free);
        if (row.free) {
            // The way is clear for libdaemon's exclusive create.
            EXPECT_EQ(daemon_pid_file_create(), 0);
            EXPECT_EQ(daemon_pid_file_remove(), 0);
        }
    }
}

}  // namespace
