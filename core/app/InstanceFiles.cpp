#include "core/app/InstanceFiles.h"

#include <fcntl.h>
#include <libdaemon/dpid.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace kiv {
namespace core {

namespace {

// Reads the target of /proc/<pid>/exe (or /proc/self/exe for 0) and keeps the
// part after the last slash, without the " (deleted)" mark of a replaced binary.
bool ReadProgramName(const char* procLink, std::string* name) {
    char target[4096];
    ssize_t n = readlink(procLink, target, sizeof target - 1);
    if (n <= 0) return false;
    std::string path(target, static_cast<size_t>(n));
    const std::string deleted = " (deleted)";
    if (path.size() > deleted.size() &&
        path.compare(path.size() - deleted.size(), deleted.size(), deleted) == 0) {
        path.resize(path.size() - deleted.size());
    }
    size_t slash = path.rfind('/');
    *name = slash == std::string::npos ? path : path.substr(slash + 1);
    return !name->empty();
}

// A decimal process id at the start of `text` (leading blanks allowed); 0 when
// there is none or it does not fit.
pid_t ParsePid(const char* text) {
    char* end = nullptr;
    errno = 0;
    long value = strtol(text, &end, 10);
    if (end == text || errno != 0 || value <= 0 || value > 0x7fffffffL) return 0;
    return static_cast<pid_t>(value);
}

}  // namespace

bool ProgramNameOf(pid_t pid, std::string* name) {
    char link[64];
    snprintf(link, sizeof link, "/proc/%ld/exe", static_cast<long>(pid));
    return ReadProgramName(link, name);
}

bool IsRunningInstance(pid_t pid) {
    if (pid <= 0) return false;
    if (kill(pid, 0) != 0 && errno == ESRCH) return false;
    std::string theirs;
    if (!ProgramNameOf(pid, &theirs)) {
        // ENOENT: gone meanwhile or a zombie. Anything else: cannot tell.
        return errno != ENOENT;
    }
    std::string ours;
    if (!ReadProgramName("/proc/self/exe", &ours)) return true;
    return theirs == ours;
}

bool RemoveStaleInstanceLock(const std::string& path) {
    int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st;
    bool candidate = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == getuid();
    if (candidate) {
        // A live holder keeps a write lock on the whole file.
        struct flock probe = {};
        probe.l_type = F_WRLCK;
        probe.l_whence = SEEK_SET;
        candidate = fcntl(fd, F_GETLK, &probe) == 0 && probe.l_type == F_UNLCK;
    }
    char text[32] = {};
    if (candidate) {
        ssize_t n = read(fd, text, sizeof text - 1);
        text[n > 0 ? n : 0] = '\0';
    }
    close(fd);
    if (!candidate) return false;
    // The holder writes its id right after locking: a running core named in an
    // unlocked file is a starter caught between those two steps.
    if (IsRunningInstance(ParsePid(text))) return false;
    return unlink(path.c_str()) == 0;
}

bool ClearStalePidFile() {
    // Removes a file that names a dead process or holds no number, and
    // answers -1 when no file is left; 0 for an empty file.
    pid_t pid = daemon_pid_file_is_running();
    if (pid < 0) return true;
    if (pid != getpid() && IsRunningInstance(pid)) return false;
    daemon_pid_file_remove();
    return true;
}

}  // namespace core
}  // namespace kiv
