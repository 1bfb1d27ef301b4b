#include "core/app/wxLogSyslog.h"

#include <syslog.h>

wxLogSyslog::wxLogSyslog(const wxString& ident) : m_ident(ident.utf8_string()) {
    openlog(m_ident.c_str(), LOG_PID | LOG_CONS, LOG_DAEMON);
}

wxLogSyslog::~wxLogSyslog() { closelog(); }

int wxLogSyslog::PriorityOf(wxLogLevel level) {
    switch (level) {
        case wxLOG_FatalError:
            return LOG_CRIT;
        case wxLOG_Error:
            return LOG_ERR;
        case wxLOG_Warning:
            return LOG_WARNING;
        case wxLOG_Message:
            return LOG_INFO;
        case wxLOG_Status:
            return LOG_NOTICE;
        case wxLOG_Info:
            return LOG_INFO;
        case wxLOG_Debug:
        case wxLOG_Trace:
            return LOG_DEBUG;
        default:
            return LOG_INFO;
    }
}

void wxLogSyslog::DoLogRecord(wxLogLevel level, const wxString& msg, const wxLogRecordInfo&) {
    syslog(PriorityOf(level), "%s", msg.utf8_str().data());
}

void wxLogSyslog::DoLogText(const wxString& msg) { syslog(LOG_INFO, "%s", msg.utf8_str().data()); }
