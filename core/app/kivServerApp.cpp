#include "core/app/kivServerApp.h"

#include <libdaemon/dfork.h>
#include <libdaemon/dlog.h>
#include <libdaemon/dpid.h>
#include <libdaemon/dsignal.h>
#include <sys/select.h>
#include <sys/stat.h>
#include <unistd.h>
#include <wx/filefn.h>
#include <wx/log.h>
#include <wx/utils.h>

#include <cerrno>
#include <csignal>
#include <cstdio>

#include "core/app/InstanceFiles.h"
#include "core/app/wxLogSyslog.h"
#include "core/host/dvrcore.h"
#include "core/pluginabi/KivVersion.h"

dvrcore* g_Service = nullptr;

wxIMPLEMENT_APP_CONSOLE(kivServerApp);

namespace {

const char kInstanceName[] = "kivServer";
const char kDaemonIdent[] = "kivrecorder";
const int kReportTimeoutSeconds = 60;

// Start-up reports of the daemon child besides 0 (running).
enum DaemonReport {
    kReportPidFile = 1,   // PID file could not be created
    kReportSignals = 2,   // signal pipe could not be set up
    kReportInstance = 3,  // another core took the single-instance lock
};

const wxCmdLineEntryDesc kCommandLine[] = {
    {wxCMD_LINE_SWITCH, "d", "debug", "do not daemonize", wxCMD_LINE_VAL_NONE,
     wxCMD_LINE_PARAM_OPTIONAL},
    {wxCMD_LINE_NONE, nullptr, nullptr, nullptr, wxCMD_LINE_VAL_NONE, 0},
};

// Every normalisation except case folding.
const int kNormalizeFlags = wxPATH_NORM_ENV_VARS | wxPATH_NORM_DOTS | wxPATH_NORM_TILDE |
                            wxPATH_NORM_ABSOLUTE | wxPATH_NORM_LONG | wxPATH_NORM_SHORTCUT;

// The absolute path of the running program from the name it was started by.
// A bare name was found through "PATH" the way the shell finds programs (the
// first directory holding an executable file of that name); a name with a
// slash is relative to the current directory. When neither names an existing
// file (a caller may pass any argv[0]), the kernel's record of the program is
// used so that the plug-in directories are still found beside it.
wxFileName ResolveExecutable(const wxString& argv0) {
    wxFileName fn(argv0);
    if (!fn.IsAbsolute() && argv0.find('/') == wxString::npos) {
        wxPathList dirs;
        dirs.AddEnvList("PATH");
        for (size_t i = 0; i < dirs.GetCount(); ++i) {
            wxFileName candidate(dirs[i], argv0);
            if (candidate.FileExists() && candidate.IsFileExecutable()) {
                fn = candidate;
                break;
            }
        }
    }
    fn.Normalize(kNormalizeFlags);
    if (!fn.FileExists()) {
        char self[4096];
        ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
        if (n > 0) {
            self[n] = '\0';
            fn.Assign(wxString::FromUTF8(self));
        }
    }
    return fn;
}

void WriteConsole(const char* text) {
    fputs(text, stdout);
    fflush(stdout);
}

}  // namespace

kivServerApp::kivServerApp() { LockInstance(); }

bool kivServerApp::LockInstance() {
    // The checker's default place: the user's home directory.
    wxString path = wxGetHomeDir();
    if (!path.EndsWith("/")) path += '/';
    path += kInstanceName;
    kiv::core::RemoveStaleInstanceLock(std::string(path.fn_str()));

    InstanceChecker.reset(new wxSingleInstanceChecker);
    InstanceChecker->Create(kInstanceName);
    return !InstanceChecker->IsAnotherRunning();
}

void kivServerApp::OnInitCmdLine(wxCmdLineParser& parser) {
    wxAppConsole::OnInitCmdLine(parser);
    parser.SetDesc(kCommandLine);
}

bool kivServerApp::OnCmdLineParsed(wxCmdLineParser& parser) {
    if (!wxAppConsole::OnCmdLineParsed(parser)) return false;
    bDebug = parser.Found("debug");
    if (InstanceChecker && InstanceChecker->IsAnotherRunning()) {
        wxLogError(_("kivServer is already running.  Stop kivServer first."));
        return false;
    }
    return true;
}

bool kivServerApp::OnInit() {
    if (!wxAppConsole::OnInit()) return false;
    fnExecutable = ResolveExecutable(argv[0]);
    if (!wxSetWorkingDirectory(fnExecutable.GetPath())) {
        wxLogSysError("Could not change to directory %s", fnExecutable.GetPath());
    }
    g_Service = new dvrcore(fnExecutable);
    return true;
}

int kivServerApp::OnRun() { return bDebug ? RunForeground() : RunDaemon(); }

int kivServerApp::OnExit() {
    delete g_Service;
    g_Service = nullptr;
    return wxAppConsole::OnExit();
}

int kivServerApp::RunForeground() {
    WriteConsole("starting the core...\n");
    g_Service->Start();
    WriteConsole("\npress any key to stop the core\n\n");
    getchar();
    WriteConsole("\nstopping the core...\n\n");
    g_Service->Stop();
    return 0;
}

int kivServerApp::RunDaemon() {
    daemon_pid_file_ident = daemon_log_ident = kDaemonIdent;
    if (daemon_retval_init() < 0) {
        wxLogSysError(_("Could not create the start-up report pipe"));
        return 255;
    }
    // The child takes the lock over: held here it would vanish when this
    // parent exits, and a second start would then run a second daemon.
    InstanceChecker.reset();
    fflush(stdout);
    fflush(stderr);

    pid_t pid = daemon_fork();
    if (pid < 0) {
        int error = errno;
        daemon_retval_done();
        return error != 0 ? error : 255;
    }
    if (pid > 0) {
        int report = daemon_retval_wait(kReportTimeoutSeconds);
        if (report < 0) {
            wxLogError(_("Timeout waiting for service to signal that it is running."));
            wxLogError(
                _("Please verify that the service is responding by connecting to it with "
                  "a client."));
            return 255;
        }
        if (report != 0) wxLogError("Daemon returned %i", report);
        return report;
    }
    return RunDaemonChild();
}

int kivServerApp::RunDaemonChild() {
    umask(022);
    wxSetWorkingDirectory(fnExecutable.GetPath());
    delete wxLog::SetActiveTarget(new wxLogSyslog(kDaemonIdent));

    // A child that cannot run properly reports why and ends: left running it
    // would hold plug-ins and devices while no one can find or stop it.
    if (!LockInstance()) {
        wxLogError(_("kivServer is already running.  Stop kivServer first."));
        daemon_retval_send(kReportInstance);
        return kReportInstance;
    }
    bool pidFileFree = kiv::core::ClearStalePidFile();
    if (!pidFileFree) errno = EEXIST;
    if (!pidFileFree || daemon_pid_file_create() < 0) {
        wxLogSysError(_("Could not create PID file"));
        daemon_retval_send(kReportPidFile);
        return kReportPidFile;
    }
    // SIGHUP joins the pipe so that it is logged and otherwise ignored: its
    // default action would end the daemon without stopping the plug-ins.
    if (daemon_signal_init(SIGINT, SIGTERM, SIGQUIT, SIGHUP, 0) < 0) {
        wxLogSysError(_("Could not register signal handlers"));
        daemon_pid_file_remove();
        daemon_retval_send(kReportSignals);
        return kReportSignals;
    }

    g_Service->Start();
    wxLogMessage("Successfully started version %s", kiv::GetVersion());
    daemon_retval_send(0);

    const int fd = daemon_signal_fd();
    for (;;) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(fd, &readable);
        if (select(fd + 1, &readable, nullptr, nullptr, nullptr) < 0) {
            if (errno == EINTR) continue;
            wxLogSysError("select() failed.");
            break;
        }
        if (!FD_ISSET(fd, &readable)) continue;
        int sig = daemon_signal_next();
        if (sig < 1) {
            wxLogSysError("daemon_signal_next() failed.");
            break;
        }
        if (sig == SIGINT || sig == SIGQUIT || sig == SIGTERM) {
            wxLogMessage("Received signal %i, Exiting...", sig);
            break;
        }
        wxLogWarning("Received signal %i but did nothing with it.", sig);
    }

    g_Service->Stop();
    daemon_signal_done();
    daemon_pid_file_remove();
    wxLogMessage("Done");
    return 0;
}
