#pragma once
// The process shell around the plug-in host: command line, single-instance
// check, executable path and working directory, foreground or daemon mode.

#include <wx/app.h>
#include <wx/cmdline.h>
#include <wx/filename.h>
#include <wx/snglinst.h>

#include <memory>

class dvrcore;

// The one plug-in host of the process, from OnInit to OnExit.
extern dvrcore* g_Service;

class kivServerApp : public wxAppConsole {
  public:
    kivServerApp();

    void OnInitCmdLine(wxCmdLineParser& parser) override;
    bool OnCmdLineParsed(wxCmdLineParser& parser) override;
    bool OnInit() override;
    int OnRun() override;
    int OnExit() override;

  private:
    // Foreground: runs the core until a key arrives on standard input.
    int RunForeground();
    // Daemon: forks; the parent returns the child's start-up report.
    int RunDaemon();
    // The daemon child from the fork to the end of its signal loop.
    int RunDaemonChild();
    // Takes the single-instance lock "kivServer", first removing a leftover
    // lock file. False when another core holds it.
    bool LockInstance();

    // Held for as long as this process may run the core; the daemon parent
    // hands it to its child across the fork.
    std::unique_ptr<wxSingleInstanceChecker> InstanceChecker;
    wxFileName fnExecutable;  // absolute, normalised path of the executable
    bool bDebug = false;      // foreground switch present
};

wxDECLARE_APP(kivServerApp);
