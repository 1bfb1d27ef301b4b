// The system-log target, checked on what actually reaches the log socket.

#include <gtest/gtest.h>
#include <syslog.h>
#include <unistd.h>

#include <string>

#include "core/app/tests/TestSupport.h"
#include "core/app/wxLogSyslog.h"

namespace {

using kiv::test::SyslogCapture;

// "<priority>" as syslog() writes it for facility LOG_DAEMON.
std::string DaemonPriority(int level) { return "<" + std::to_string(LOG_DAEMON | level) + ">"; }

std::string Tag(const std::string& ident) { return ident + "[" + std::to_string(getpid()) + "]: "; }

bool EndsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() &&
           text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

TEST(CoreAppSyslog, EachLevelGoesOutAtItsPriorityWithTheTextVerbatim) {
    SyslogCapture capture;
    if (!capture.Available()) GTEST_SKIP() << "/dev/log belongs to a log daemon; cannot capture";

    struct Row {
        wxLogLevel level;
        int priority;
    };
    const Row rows[] = {
        {wxLOG_FatalError, LOG_CRIT}, {wxLOG_Error, LOG_ERR},     {wxLOG_Warning, LOG_WARNING},
        {wxLOG_Message, LOG_INFO},    {wxLOG_Status, LOG_NOTICE}, {wxLOG_Info, LOG_INFO},
        {wxLOG_Debug, LOG_DEBUG},     {wxLOG_Trace, LOG_DEBUG},   {wxLOG_Progress, LOG_INFO},
        {wxLOG_User, LOG_INFO},       {wxLOG_Max, LOG_INFO},
    };
    // The identity comes from a temporary: the target must keep its own copy.
    wxLogSyslog target(wxString("kivtest") + "-ident");
    for (const Row& row : rows) {
        // Format directives must reach the log as plain text.
        std::string text = "level " + std::to_string(row.level) + " 100% %s %n %d";
        target.LogRecord(row.level, wxString::FromUTF8(text.c_str()), wxLogRecordInfo());
        std::string record = capture.WaitFor("level " + std::to_string(row.level) + " ");
        SCOPED_TRACE(text);
        ASSERT_FALSE(record.empty());
        EXPECT_EQ(record.rfind(DaemonPriority(row.priority), 0), 0u) << record;
        EXPECT_TRUE(EndsWith(record, Tag("kivtest-ident") + text)) << record;
    }
    target.LogText("plain string hook");
    std::string plain = capture.WaitFor("plain string hook");
    EXPECT_EQ(plain.rfind(DaemonPriority(LOG_INFO), 0), 0u) << plain;
    EXPECT_TRUE(EndsWith(plain, Tag("kivtest-ident") + "plain string hook")) << plain;
}

TEST(CoreAppSyslog, ActiveTargetReceivesTheLibraryLogFunctions) {
    SyslogCapture capture;
    if (!capture.Available()) GTEST_SKIP() << "/dev/log belongs to a log daemon; cannot capture";

    wxLog* previous = wxLog::SetActiveTarget(new wxLogSyslog("kivtest-active"));
    wxLogError("error through the library %s", "100%");
    wxLogWarning("warning through the library");
    wxLogMessage("message through the library");
    delete wxLog::SetActiveTarget(previous);

    struct Expected {
        const char* text;
        int priority;
    };
    const Expected rows[] = {{"error through the library 100%", LOG_ERR},
                             {"warning through the library", LOG_WARNING},
                             {"message through the library", LOG_INFO}};
    for (const Expected& row : rows) {
        std::string record = capture.WaitFor(row.text);
        EXPECT_EQ(record.rfind(DaemonPriority(row.priority), 0), 0u) << record;
        // No time stamp or level word in front of the text.
        EXPECT_TRUE(EndsWith(record, Tag("kivtest-active") + row.text)) << record;
    }
}

TEST(CoreAppSyslog, DefaultIdentityAndCloseOnDestruction) {
    SyslogCapture capture;
    if (!capture.Available()) GTEST_SKIP() << "/dev/log belongs to a log daemon; cannot capture";

    {
        wxLogSyslog target;
        target.LogRecord(wxLOG_Warning, "with the default identity", wxLogRecordInfo());
        std::string record = capture.WaitFor("with the default identity");
        EXPECT_EQ(record.rfind(DaemonPriority(LOG_WARNING), 0), 0u) << record;
        EXPECT_TRUE(EndsWith(record, Tag("UNKNOWN") + "with the default identity")) << record;
    }
    // Once closed, the next record goes out under the program's own name.
    syslog(LOG_NOTICE, "after the target is gone");
    std::string after = capture.WaitFor("after the target is gone");
    ASSERT_FALSE(after.empty());
    EXPECT_EQ(after.find("UNKNOWN"), std::string::npos) << after;
}

}  // namespace
