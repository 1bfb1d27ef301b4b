#pragma once
// Helpers shared by the tests of the process shell: scratch directories,
// small files and a capture of the system log.

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace kiv {
namespace test {

// A fresh directory under /tmp, removed with everything in it.
class TempDir {
  public:
    TempDir() {
        char pattern[] = "/tmp/kiv-coreapp-XXXXXX";
        const char* made = mkdtemp(pattern);
        if (made != nullptr) path_ = made;
    }
    ~TempDir() {
        std::error_code ignored;
        if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

inline void WriteFile(const std::string& path, const std::string& content, mode_t mode = 0600) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
    chmod(path.c_str(), mode);
}

inline bool ReadFile(const std::string& path, std::string* content) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream text;
    text << in.rdbuf();
    *content = text.str();
    return true;
}

inline bool Exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

// Receives what processes send to the system log while it lives. Only
// possible where no log daemon owns /dev/log: the capture then binds it and
// removes it again. Available() says whether the capture runs.
class SyslogCapture {
  public:
    static constexpr const char* kPath = "/dev/log";

    SyslogCapture() {
        sockaddr_un addr = {};
        addr.sun_family = AF_UNIX;
        snprintf(addr.sun_path, sizeof addr.sun_path, "%s", kPath);
        if (Exists(kPath) && !Abandoned(addr)) return;
        fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (fd_ < 0) return;
        if (bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
            close(fd_);
            fd_ = -1;
            return;
        }
        chmod(kPath, 0666);
    }
    ~SyslogCapture() {
        if (fd_ < 0) return;
        close(fd_);
        unlink(kPath);
    }
    SyslogCapture(const SyslogCapture&) = delete;
    SyslogCapture& operator=(const SyslogCapture&) = delete;

    bool Available() const { return fd_ >= 0; }

    // Waits up to `timeoutMs` for a record that contains `needle`; returns
    // the record ("<priority>timestamp ident[pid]: text") or "".
    std::string WaitFor(const std::string& needle, int timeoutMs = 20000) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            for (const std::string& record : records_) {
                if (record.find(needle) != std::string::npos) return record;
            }
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (!Available() || left.count() <= 0) return "";
            pollfd p = {fd_, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left.count())) > 0) Drain();
        }
    }

    const std::vector<std::string>& records() {
        Drain();
        return records_;
    }

  private:
    // A socket file nobody listens on (left by a capture that was killed):
    // removed so that it can be bound again.
    static bool Abandoned(const sockaddr_un& addr) {
        struct stat st;
        if (lstat(kPath, &st) != 0 || !S_ISSOCK(st.st_mode)) return false;
        int probe = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (probe < 0) return false;
        bool refused = connect(probe, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 &&
                       errno == ECONNREFUSED;
        close(probe);
        return refused && unlink(kPath) == 0;
    }

    void Drain() {
        char buffer[4096];
        for (;;) {
            ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
            if (n <= 0) break;
            records_.emplace_back(buffer, static_cast<size_t>(n));
        }
    }

    int fd_ = -1;
    std::vector<std::string> records_;
};

}  // namespace test
}  // namespace kiv
