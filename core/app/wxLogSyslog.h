#pragma once
// A log target that writes every record to the system log.

#include <wx/log.h>
#include <wx/string.h>

#include <string>

class wxLogSyslog : public wxLog {
  public:
    // Opens the system log with `ident`, logging the process id, falling back
    // to the console when syslog is unavailable, facility LOG_DAEMON.
    explicit wxLogSyslog(const wxString& ident = "UNKNOWN");
    // Closes the system log.
    ~wxLogSyslog() override;

    wxLogSyslog(const wxLogSyslog&) = delete;
    wxLogSyslog& operator=(const wxLogSyslog&) = delete;

    // The syslog priority for a library log level.
    static int PriorityOf(wxLogLevel level);

  protected:
    // The record's text goes out verbatim at the priority of its level.
    void DoLogRecord(wxLogLevel level, const wxString& msg, const wxLogRecordInfo& info) override;
    // Plain strings go out at LOG_INFO.
    void DoLogText(const wxString& msg) override;

  private:
    // openlog() keeps the pointer it is given: the text must outlive the log.
    std::string m_ident;
};
