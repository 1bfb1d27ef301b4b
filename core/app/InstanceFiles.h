#pragma once
// Clean-up of the files that mark a running core: the single-instance lock and
// the daemon's PID file. A crash, a kill -9 or a power cut leaves them behind;
// after a restart the process id they name may belong to an unrelated program,
// and an empty or garbled file names nobody. Such leftovers must not keep the
// recorder from starting, while the files of a live core are never touched.

#include <sys/types.h>

#include <string>

namespace kiv {
namespace core {

// The file name (no directory) of the program that process `pid` runs; false
// when it cannot be read (process gone, zombie, no permission).
bool ProgramNameOf(pid_t pid, std::string* name);

// True when process `pid` exists and runs a program with the same file name
// as this process. When the process exists but its program cannot be read
// (no permission), the answer is true: better refuse to start than run twice.
bool IsRunningInstance(pid_t pid);

// Removes the single-instance lock file at `path` when it is left over: no
// process holds a lock on it and the process id it contains (if any) is not a
// running core. A file of another owner or type is left alone. Returns true
// when it removed the file.
// REQUIRES: this process holds no lock on that file (closing a descriptor of
// a file drops this process's locks on it).
bool RemoveStaleInstanceLock(const std::string& path);

// Checks the libdaemon PID file before it is created: a file naming a running
// core is kept and the answer is false; a file naming a dead process or
// another program, or with no usable process id, is removed. True when the
// PID file can now be created.
bool ClearStalePidFile();

}  // namespace core
}  // namespace kiv
