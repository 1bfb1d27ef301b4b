// The real core program, run from a scratch directory that holds a link to
// it and an empty "plugins" directory: foreground mode, command line, finding
// itself through PATH, daemon mode with its PID file, lock and signals.
//
// This test program adopts the daemons it starts (child subreaper), so it can
// collect their exit status and never leaves one behind.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "core/app/tests/TestSupport.h"

extern char** environ;

namespace {

using kiv::test::Exists;
using kiv::test::ReadFile;
using kiv::test::SyslogCapture;
using kiv::test::TempDir;
using kiv::test::WriteFile;

const char kPidFile[] = "/var/run/kivrecorder.pid";
const char kAlreadyRunning[] = "kivServer is already running.  Stop kivServer first.";
const int kTimeoutMs = 30000;

std::string ProcLink(pid_t pid, const char* what) {
    char link[64];
    snprintf(link, sizeof link, "/proc/%d/%s", static_cast<int>(pid), what);
    char target[PATH_MAX];
    ssize_t n = readlink(link, target, sizeof target - 1);
    return n > 0 ? std::string(target, static_cast<size_t>(n)) : std::string();
}

std::string RealPath(const std::string& path) {
    char resolved[PATH_MAX];
    return realpath(path.c_str(), resolved) != nullptr ? resolved : "";
}

std::string UmaskOf(pid_t pid) {
    std::string status;
    ReadFile("/proc/" + std::to_string(pid) + "/status", &status);
    size_t at = status.find("Umask:\t");
    return at == std::string::npos ? "" : status.substr(at + 7, 4);
}

std::string Trimmed(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\0')) text.pop_back();
    return text;
}

pid_t PidInFile(const std::string& path) {
    std::string text;
    if (!ReadFile(path, &text)) return 0;
    return static_cast<pid_t>(atoi(text.c_str()));
}

// Waits for an adopted or own child to end; the raw wait status, or -1 (and
// the process killed) when it does not end in time.
int WaitForExit(pid_t pid, int timeoutMs = kTimeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        int status = 0;
        pid_t got = waitpid(pid, &status, WNOHANG);
        if (got == pid) return status;
        if (got < 0) return -1;
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
            return -1;
        }
        poll(nullptr, 0, 10);
    }
}

// True while `pid` is a running child (own or adopted) of this process.
bool StillRunning(pid_t pid) { return pid > 0 && waitpid(pid, nullptr, WNOHANG) == 0; }

// Every process whose parent is this one: the cores started and the daemons
// adopted.
std::vector<pid_t> Children() {
    std::vector<pid_t> children;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/proc", error)) {
        std::string stat;
        if (!ReadFile(entry.path().string() + "/stat", &stat)) continue;
        // pid (comm) state ppid ...: comm may hold blanks and parentheses.
        size_t close = stat.rfind(')');
        if (close == std::string::npos) continue;
        int ppid = 0;
        char state = 0;
        if (sscanf(stat.c_str() + close + 1, " %c %d", &state, &ppid) == 2 && ppid == getpid()) {
            children.push_back(static_cast<pid_t>(atoi(stat.c_str())));
        }
    }
    return children;
}

// One started core with its standard streams on pipes.
class CoreProcess {
  public:
    struct Launch {
        std::string program;            // path to execute
        std::vector<std::string> argv;  // argv[0] first
        std::string cwd;
        std::vector<std::string> env;  // NAME=value, replacing inherited ones
    };

    explicit CoreProcess(const Launch& launch) {
        int in[2], out[2], err[2];
        if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
            return;
        }
        std::vector<std::string> env = launch.env;
        for (char** e = environ; *e != nullptr; ++e) {
            std::string entry = *e;
            std::string name = entry.substr(0, entry.find('=') + 1);
            bool replaced = false;
            for (const std::string& mine : launch.env) replaced |= mine.rfind(name, 0) == 0;
            if (!replaced) env.push_back(entry);
        }
        std::vector<char*> argv, envp;
        for (const std::string& a : launch.argv) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        for (const std::string& e : env) envp.push_back(const_cast<char*>(e.c_str()));
        envp.push_back(nullptr);

        pid_ = fork();
        if (pid_ == 0) {
            if (dup2(in[0], 0) < 0 || dup2(out[1], 1) < 0 || dup2(err[1], 2) < 0) _exit(126);
            if (chdir(launch.cwd.c_str()) != 0) _exit(126);
            execve(launch.program.c_str(), argv.data(), envp.data());
            _exit(127);
        }
        close(in[0]);
        close(out[1]);
        close(err[1]);
        in_ = in[1];
        out_ = out[0];
        err_ = err[0];
    }
    ~CoreProcess() {
        CloseInput();
        if (pid_ > 0 && !exited_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (out_ >= 0) close(out_);
        if (err_ >= 0) close(err_);
    }
    CoreProcess(const CoreProcess&) = delete;
    CoreProcess& operator=(const CoreProcess&) = delete;

    pid_t pid() const { return pid_; }
    const std::string& out() const { return out_text_; }
    const std::string& err() const { return err_text_; }

    // Reads the output until standard output contains `text`.
    bool WaitForOutput(const std::string& text, int timeoutMs = kTimeoutMs) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (out_text_.find(text) == std::string::npos) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0 || !ReadSome(static_cast<int>(left.count()))) return false;
        }
        return true;
    }

    void SendKey(const char* key = "x\n") {
        ssize_t n = write(in_, key, strlen(key));
        (void)n;
        CloseInput();
    }

    // Collects all output and the exit status; -1 on time-out.
    int Wait(int timeoutMs = kTimeoutMs) {
        CloseInput();
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (out_ >= 0 || err_ >= 0) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0 || !ReadSome(static_cast<int>(left.count()))) break;
        }
        int status = WaitForExit(pid_, 1000);
        exited_ = true;
        return status;
    }

  private:
    void CloseInput() {
        if (in_ >= 0) close(in_);
        in_ = -1;
    }

    // False on time-out or when both streams have ended.
    bool ReadSome(int timeoutMs) {
        pollfd fds[2] = {{out_, POLLIN, 0}, {err_, POLLIN, 0}};
        if (out_ < 0 && err_ < 0) return false;
        if (poll(fds, 2, timeoutMs) <= 0) return false;
        int* fd[2] = {&out_, &err_};
        std::string* text[2] = {&out_text_, &err_text_};
        for (int i = 0; i < 2; ++i) {
            if (fds[i].revents == 0) continue;
            char buffer[4096];
            ssize_t n = read(*fd[i], buffer, sizeof buffer);
            if (n > 0) {
                text[i]->append(buffer, static_cast<size_t>(n));
            } else {
                close(*fd[i]);
                *fd[i] = -1;
            }
        }
        return true;
    }

    pid_t pid_ = -1;
    int in_ = -1, out_ = -1, err_ = -1;
    bool exited_ = false;
    std::string out_text_, err_text_;
};

class CoreAppProcess : public testing::Test {
  protected:
    static void SetUpTestSuite() { prctl(PR_SET_CHILD_SUBREAPER, 1); }

    void SetUp() override {
        const char* binDir = getenv("KIV_BIN_DIR");
        ASSERT_NE(binDir, nullptr) << "KIV_BIN_DIR names the build's bin directory";
        real_core_ = std::string(binDir) + "/core";
        ASSERT_EQ(access(real_core_.c_str(), X_OK), 0) << real_core_;
        bin_ = root_ / "bin";
        home_ = root_ / "home";
        elsewhere_ = root_ / "elsewhere";
        for (const std::string& d : {bin_, bin_ + "/plugins", home_, elsewhere_}) {
            ASSERT_EQ(mkdir(d.c_str(), 0755), 0) << d;
        }
        core_ = bin_ + "/core";
        ASSERT_EQ(symlink(real_core_.c_str(), core_.c_str()), 0);
    }

    // Nothing started here outlives the test, whatever went wrong.
    void TearDown() override {
        for (pid_t pid : Children()) {
            if (PidInFile(kPidFile) == pid) unlink(kPidFile);
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }

    CoreProcess::Launch Launch(std::vector<std::string> args, const std::string& home = "") {
        CoreProcess::Launch launch;
        launch.program = core_;
        launch.argv = {core_};
        launch.argv.insert(launch.argv.end(), args.begin(), args.end());
        launch.cwd = elsewhere_;
        launch.env = {"HOME=" + (home.empty() ? home_ : home)};
        return launch;
    }

    // Daemon tests write the real PID file: they need /var/run and must not
    // meet a daemon that runs on this machine. Empty when they can run.
    static std::string DaemonRoomProblem() {
        if (access("/var/run", W_OK) != 0) return "/var/run is not writable";
        pid_t owner = PidInFile(kPidFile);
        if (owner > 0 && kill(owner, 0) == 0) {
            return "a kivrecorder daemon (pid " + std::to_string(owner) + ") runs on this machine";
        }
        return "";
    }

    // Starts the daemon; returns its pid once the parent has ended with
    // status 0, or 0 when no daemon runs.
    pid_t StartDaemon(const std::string& home = "") {
        CoreProcess parent(Launch({}, home));
        int status = parent.Wait();
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status << "\n"
                                                                   << parent.err();
        pid_t pid = PidInFile(kPidFile);
        // The daemon is adopted by this test once its parent has ended.
        EXPECT_TRUE(StillRunning(pid)) << "PID file names " << pid;
        EXPECT_NE(pid, parent.pid());
        return StillRunning(pid) ? pid : 0;
    }

    // Stops the daemon with `sig` and checks that it ended cleanly.
    void StopDaemon(pid_t pid, int sig = SIGTERM) {
        ASSERT_EQ(kill(pid, sig), 0);
        int status = WaitForExit(pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
        EXPECT_FALSE(Exists(kPidFile));
        EXPECT_FALSE(Exists(home_ + "/kivServer"));
    }

    TempDir root_;
    std::string real_core_, core_, bin_, home_, elsewhere_;
};

#define REQUIRE_DAEMON_ROOM()                          \
    do {                                               \
        std::string problem = DaemonRoomProblem();     \
        if (!problem.empty()) GTEST_SKIP() << problem; \
    } while (false)

const char kForegroundOutput[] =
    "starting the core...\n"
    "\npress any key to stop the core\n\n"
    "\nstopping the core...\n\n";
const char kPrompt[] = "\npress any key to stop the core\n\n";

TEST_F(CoreAppProcess, ForegroundSwitchRunsUntilOneKey) {
    for (const char* option : {"-d", "--debug"}) {
        SCOPED_TRACE(option);
        CoreProcess core(Launch({option}));
        ASSERT_TRUE(core.WaitForOutput(kPrompt)) << core.out() << core.err();
        EXPECT_EQ(core.out(), std::string(kForegroundOutput).substr(0, core.out().size()));
        // The working directory is the link's directory, where "plugins" is.
        EXPECT_EQ(ProcLink(core.pid(), "cwd"), bin_);
        EXPECT_EQ(PidInFile(home_ + "/kivServer"), core.pid());

        core.SendKey();
        int status = core.Wait();
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << core.err();
        EXPECT_EQ(core.out(), kForegroundOutput);
        EXPECT_FALSE(Exists(home_ + "/kivServer"));
    }
}

TEST_F(CoreAppProcess, UnknownSwitchIsRefusedWithUsage) {
    CoreProcess core(Launch({"-x"}));
    int status = core.Wait();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) != 0) << status;
    EXPECT_NE(core.err().find("Usage:"), std::string::npos) << core.err();
    EXPECT_NE(core.err().find("-d, --debug"), std::string::npos) << core.err();
    EXPECT_NE(core.err().find("do not daemonize"), std::string::npos) << core.err();
    EXPECT_EQ(core.out().find("starting the core"), std::string::npos) << core.out();
    EXPECT_FALSE(Exists(home_ + "/kivServer"));
}

TEST_F(CoreAppProcess, ProgramIsFoundBesidesTheNameItWasStartedBy) {
    // Decoys: a core dump named "core" and a directory named "core" earlier in
    // PATH, and an executable "bin/core" under a PATH directory, which a name
    // with a slash must not be looked up in.
    const std::string decoys = root_ / "decoys";
    ASSERT_EQ(mkdir(decoys.c_str(), 0755), 0);
    WriteFile(decoys + "/core", "not a program", 0644);
    ASSERT_EQ(mkdir((root_ / "dirs").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((root_ / "dirs/core").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((decoys + "/bin").c_str(), 0755), 0);
    WriteFile(decoys + "/bin/core", "#!/bin/sh\nexit 3\n", 0755);
    const std::string path =
        "PATH=" + decoys + ":" + root_ / "dirs" + ":" + bin_ + ":/usr/bin:/bin";
    // A copy of the program for the start by a name that names no file.
    const std::string copyDir = root_ / "copy";
    ASSERT_EQ(mkdir(copyDir.c_str(), 0755), 0);
    ASSERT_EQ(mkdir((copyDir + "/plugins").c_str(), 0755), 0);
    std::filesystem::copy_file(real_core_, copyDir + "/core");

    struct Row {
        const char* argv0;
        std::string program;
        std::string cwd;
        std::string expectedDir;
    };
    const Row rows[] = {
        {"core", core_, elsewhere_, bin_},
        {"bin/core", core_, root_.path(), bin_},
        {"./bin/../bin/core", core_, root_.path(), bin_},
        // An argv[0] that names no file: the kernel's record of the program.
        {"no-such-program", copyDir + "/core", elsewhere_, copyDir},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.argv0);
        CoreProcess::Launch launch = Launch({"-d"});
        launch.program = row.program;
        launch.argv[0] = row.argv0;
        launch.cwd = row.cwd;
        launch.env.push_back(path);
        CoreProcess core(launch);
        ASSERT_TRUE(core.WaitForOutput(kPrompt)) << core.out() << core.err();
        EXPECT_EQ(ProcLink(core.pid(), "cwd"), row.expectedDir);
        core.SendKey();
        int status = core.Wait();
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << core.err();
        // The host's status document lands beside the program, not where it
        // was started from.
        EXPECT_TRUE(Exists(row.expectedDir + "/plugins.xml"));
        EXPECT_FALSE(Exists(row.cwd + "/plugins.xml"));
        unlink((row.expectedDir + "/plugins.xml").c_str());
    }
}

TEST_F(CoreAppProcess, SecondForegroundStartIsRefused) {
    CoreProcess first(Launch({"-d"}));
    ASSERT_TRUE(first.WaitForOutput(kPrompt)) << first.err();

    CoreProcess second(Launch({"-d"}));
    int status = second.Wait();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) != 0) << status;
    EXPECT_NE(second.err().find(kAlreadyRunning), std::string::npos) << second.err();
    EXPECT_EQ(second.out(), "");

    // The refused start leaves the running one's lock in place.
    EXPECT_EQ(PidInFile(home_ + "/kivServer"), first.pid());
    first.SendKey();
    status = first.Wait();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

TEST_F(CoreAppProcess, LeftoverLockFileDoesNotBlockTheStart) {
    pid_t dead = fork();
    if (dead == 0) _exit(0);
    waitpid(dead, nullptr, 0);

    struct Row {
        const char* what;
        std::string content;
    };
    const Row rows[] = {
        {"id of a process that ended", std::to_string(dead)},
        {"id reused by another program", std::to_string(getpid())},
        {"no number", "garbage"},
        {"empty", ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        WriteFile(home_ + "/kivServer", row.content, 0600);
        CoreProcess core(Launch({"-d"}));
        ASSERT_TRUE(core.WaitForOutput(kPrompt)) << core.out() << core.err();
        EXPECT_EQ(PidInFile(home_ + "/kivServer"), core.pid());
        core.SendKey();
        int status = core.Wait();
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << core.err();
        EXPECT_FALSE(Exists(home_ + "/kivServer"));
    }
}

TEST_F(CoreAppProcess, DaemonRunsUntilSigterm) {
    REQUIRE_DAEMON_ROOM();
    SyslogCapture log;
    pid_t daemon = StartDaemon();
    ASSERT_GT(daemon, 0);
    EXPECT_TRUE(StillRunning(daemon));
    EXPECT_EQ(ProcLink(daemon, "cwd"), bin_);
    EXPECT_EQ(UmaskOf(daemon), "0022");
    // The daemon itself holds the single-instance lock, not its ended parent.
    EXPECT_EQ(PidInFile(home_ + "/kivServer"), daemon);
    EXPECT_EQ(Trimmed(ProcLink(daemon, "exe")), RealPath(real_core_));

    StopDaemon(daemon, SIGTERM);

    if (!log.Available()) return;  // the exit status and the files say enough
    const std::string tag = "kivrecorder[" + std::to_string(daemon) + "]: ";
    const std::string info = "<" + std::to_string(LOG_DAEMON | LOG_INFO) + ">";
    for (const char* text :
         {"Successfully started version 3.2.7.40511", "Received signal 15, Exiting...", "Done"}) {
        std::string record = log.WaitFor(tag + text);
        EXPECT_EQ(record.rfind(info, 0), 0u) << text << ": " << record;
        EXPECT_EQ(Trimmed(record).substr(Trimmed(record).size() - strlen(text)), text);
    }
}

TEST_F(CoreAppProcess, DaemonStopsOnSigintAndSigquit) {
    REQUIRE_DAEMON_ROOM();
    for (int sig : {SIGINT, SIGQUIT}) {
        SCOPED_TRACE(sig);
        pid_t daemon = StartDaemon();
        ASSERT_GT(daemon, 0);
        StopDaemon(daemon, sig);
    }
}

TEST_F(CoreAppProcess, DaemonLogsAndIgnoresSighup) {
    REQUIRE_DAEMON_ROOM();
    SyslogCapture log;
    pid_t daemon = StartDaemon();
    ASSERT_GT(daemon, 0);
    ASSERT_EQ(kill(daemon, SIGHUP), 0);
    if (log.Available()) {
        std::string record = log.WaitFor("Received signal 1 but did nothing with it.");
        EXPECT_EQ(record.rfind("<" + std::to_string(LOG_DAEMON | LOG_WARNING) + ">", 0), 0u)
            << record;
        EXPECT_TRUE(StillRunning(daemon));
        EXPECT_EQ(PidInFile(kPidFile), daemon);
    }
    // Killed by SIGHUP it would end by that signal, not with status 0.
    StopDaemon(daemon, SIGTERM);
}

TEST_F(CoreAppProcess, SecondStartIsRefusedWhileTheDaemonRuns) {
    REQUIRE_DAEMON_ROOM();
    pid_t daemon = StartDaemon();
    ASSERT_GT(daemon, 0);

    for (std::vector<std::string> args : {std::vector<std::string>{}, {"-d"}}) {
        SCOPED_TRACE(args.empty() ? "daemon" : "foreground");
        CoreProcess second(Launch(args));
        int status = second.Wait();
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) != 0) << status;
        EXPECT_NE(second.err().find(kAlreadyRunning), std::string::npos) << second.err();
        EXPECT_EQ(second.out(), "");
    }
    EXPECT_TRUE(StillRunning(daemon));
    EXPECT_EQ(PidInFile(kPidFile), daemon);
    EXPECT_EQ(PidInFile(home_ + "/kivServer"), daemon);
    StopDaemon(daemon);
}

TEST_F(CoreAppProcess, DaemonChildThatCannotCreateThePidFileReportsAndEnds) {
    REQUIRE_DAEMON_ROOM();
    SyslogCapture log;
    pid_t daemon = StartDaemon();
    ASSERT_GT(daemon, 0);

    // Another user's home: the lock is free, the PID file is the running one's.
    const std::string otherHome = root_ / "other-home";
    ASSERT_EQ(mkdir(otherHome.c_str(), 0755), 0);
    CoreProcess second(Launch({}, otherHome));
    int status = second.Wait();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
    EXPECT_NE(second.err().find("Daemon returned 1"), std::string::npos) << second.err();

    // Its daemon child was adopted by this test: it must end by itself, with
    // the code it reported, and release its lock.
    pid_t child = 0;
    int childStatus = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kTimeoutMs);
    while (child <= 0 && std::chrono::steady_clock::now() < deadline) {
        pid_t got = waitpid(-1, &childStatus, WNOHANG);
        if (got > 0 && got != daemon) child = got;
        if (got <= 0) poll(nullptr, 0, 10);
    }
    ASSERT_GT(child, 0) << "the failed daemon child did not end";
    EXPECT_TRUE(WIFEXITED(childStatus) && WEXITSTATUS(childStatus) == 1) << childStatus;
    EXPECT_FALSE(Exists(otherHome + "/kivServer"));
    if (log.Available()) {
        std::string record = log.WaitFor("Could not create PID file");
        EXPECT_EQ(record.rfind("<" + std::to_string(LOG_DAEMON | LOG_ERR) + ">", 0), 0u) << record;
    }

    EXPECT_TRUE(StillRunning(daemon));
    EXPECT_EQ(PidInFile(kPidFile), daemon);
    StopDaemon(daemon);
}

TEST_F(CoreAppProcess, LeftoversOfAKilledDaemonDoNotBlockTheRestart) {
    REQUIRE_DAEMON_ROOM();
    pid_t killed = StartDaemon();
    ASSERT_GT(killed, 0);
    ASSERT_EQ(kill(killed, SIGKILL), 0);
    ASSERT_NE(WaitForExit(killed), -1);
    ASSERT_EQ(PidInFile(kPidFile), killed);
    ASSERT_EQ(PidInFile(home_ + "/kivServer"), killed);

    pid_t restarted = StartDaemon();
    ASSERT_GT(restarted, 0);
    EXPECT_NE(restarted, killed);
    EXPECT_EQ(PidInFile(home_ + "/kivServer"), restarted);
    StopDaemon(restarted);
}

TEST_F(CoreAppProcess, LeftoverPidFileDoesNotBlockTheDaemon) {
    REQUIRE_DAEMON_ROOM();
    struct Row {
        const char* what;
        std::string content;
    };
    const Row rows[] = {
        {"id reused by another program", std::to_string(getpid()) + "\n"},
        {"no number", "garbage\n"},
        {"empty", ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        WriteFile(kPidFile, row.content, 0644);
        pid_t daemon = StartDaemon();
        ASSERT_GT(daemon, 0);
        StopDaemon(daemon);
    }
}

}  // namespace
