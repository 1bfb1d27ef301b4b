// Time conversion: GMT calendar arithmetic, millisecond split, the local hour difference and the
// local calendar used for filing, each under fixed time zones.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <string>

#include "rimvaultpi/mp4parser/Mp4Parser.h"
#include "rimvaultpi/mp4parser/Mp4Time.h"
#include "rimvaultpi/mp4parser/tests/Mp4TestSupport.h"

namespace rimvault {
namespace {

using test::ScopedTimeZone;

TEST(Mp4Time, MkgmtimeTable) {
    struct Case {
        int year, month, day, hour, minute, second;
        int32_t expected;
    };
    const Case cases[] = {
        {1970, 1, 1, 0, 0, 0, 0},
        {2000, 3, 1, 0, 0, 0, 951868800},
        {2000, 2, 29, 0, 0, 0, 951782400},  // divisible by 400: leap year
        {2016, 3, 7, 14, 5, 9, 1457359509},
        {2038, 1, 19, 3, 14, 7, 2147483647},
        {2038, 1, 19, 3, 14, 8, INT32_MIN},  // the 32-bit result wraps
        {1969, 12, 31, 0, 0, 0, -86400},     // before 1970: negative, not a day of 1969 counted up
        {1900, 1, 1, 0, 0, 0, static_cast<int32_t>(-2208988800LL + 4294967296LL)},
        // Rejected fields.
        {2100, 2, 29, 0, 0, 0, -1},  // divisible by 100 only: not a leap year
        {2015, 2, 29, 0, 0, 0, -1},
        {2016, 4, 31, 0, 0, 0, -1},
        {2016, 0, 1, 0, 0, 0, -1},
        {2016, 13, 1, 0, 0, 0, -1},
        {2016, 1, 0, 0, 0, 0, -1},
        {2016, 1, 1, 24, 0, 0, -1},
        {2016, 1, 1, -1, 0, 0, -1},
        {2016, 1, 1, 0, 60, 0, -1},
        {2016, 1, 1, 0, 0, 60, -1},  // no leap second
        {2016, 1, 1, 0, 0, -1, -1},
        {1899, 12, 31, 0, 0, 0, -1},  // tm_year below 0
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.year) + "-" + std::to_string(c.month) + "-" +
                     std::to_string(c.day) + " " + std::to_string(c.hour) + ":" +
                     std::to_string(c.minute) + ":" + std::to_string(c.second));
        EXPECT_EQ(mkgmtime(c.year, c.month, c.day, c.hour, c.minute, c.second), c.expected);
    }
}

TEST(Mp4Time, MkgmtimeIgnoresDayOfWeekYearAndDst) {
    struct tm t = {};
    t.tm_year = 116;
    t.tm_mon = 2;
    t.tm_mday = 7;
    t.tm_hour = 14;
    t.tm_min = 5;
    t.tm_sec = 9;
    t.tm_wday = 6;
    t.tm_yday = 300;
    t.tm_isdst = 1;
    ScopedTimeZone zone("Europe/Berlin");  // the process's zone plays no part
    EXPECT_EQ(mkgmtime(&t), 1457359509);
    EXPECT_EQ(mkgmtime(nullptr), -1);
}

TEST(Mp4Time, MillisecondsFromTime) {
    struct Case {
        double seconds;
        int expected;
    };
    const Case cases[] = {
        {12.5, 500}, {7.9996, 999}, {-0.25, -250}, {3.0, 0}, {0.001, 1}, {1000000012.5, 500},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.seconds);
        EXPECT_EQ(milliseconds_from_time(c.seconds), c.expected);
    }
}

TEST(Mp4Time, UtcCalendarOfMilliseconds) {
    struct Case {
        int64_t ms;
        int64_t year;
        int month, day, hour, minute, second, millisecond;
    };
    const Case cases[] = {
        {0, 1970, 1, 1, 0, 0, 0, 0},
        {1000000012500, 2001, 9, 9, 1, 46, 52, 500},
        {-1, 1969, 12, 31, 23, 59, 59, 999},
        {951868800000 - 1, 2000, 2, 29, 23, 59, 59, 999},
        {4102444800000, 2100, 1, 1, 0, 0, 0, 0},
        {int64_t{4294967295} * 1000, 2106, 2, 7, 6, 28, 15, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.ms);
        const UtcTime u = utc_from_milliseconds(c.ms);
        EXPECT_EQ(u.year, c.year);
        EXPECT_EQ(u.month, c.month);
        EXPECT_EQ(u.day, c.day);
        EXPECT_EQ(u.hour, c.hour);
        EXPECT_EQ(u.minute, c.minute);
        EXPECT_EQ(u.second, c.second);
        EXPECT_EQ(u.millisecond, c.millisecond);
    }
    // Every day of four centuries maps back to itself.
    for (int64_t day = -146097; day < 146097 * 3; day += 7) {
        const UtcTime u = utc_from_milliseconds(day * 86400000);
        ASSERT_EQ(
            days_from_civil(u.year, static_cast<unsigned>(u.month), static_cast<unsigned>(u.day)),
            day);
    }
}

// Seconds of a UTC calendar time, for readable cases.
int64_t utc(int year, int month, int day, int hour, int minute, int second) {
    return days_from_civil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) * 86400 +
           hour * 3600 + minute * 60 + second;
}

TEST(Mp4Time, LocalGmtHourDifferenceStaysWithinTheZoneRange) {
    struct Case {
        const char* zone;
        int64_t now;
        int expected;
    };
    const Case cases[] = {
        {"UTC", utc(2020, 6, 1, 12, 0, 0), 0},
        {"Etc/GMT-2", utc(2020, 6, 1, 12, 0, 0), -2},       // two hours east
        {"Etc/GMT-2", utc(2020, 6, 1, 23, 0, 0), -2},       // local date is already tomorrow
        {"Etc/GMT-2", utc(2020, 12, 31, 22, 30, 0), -2},    // ... and tomorrow is next year
        {"America/New_York", utc(2020, 7, 1, 2, 0, 0), 4},  // local date still yesterday
        {"America/New_York", utc(2020, 1, 1, 12, 0, 0), 5},
        {"Europe/Berlin", utc(2020, 1, 15, 23, 30, 0), -1},
        {"Europe/Berlin", utc(2020, 7, 15, 22, 30, 0), -2},
        {"Pacific/Kiritimati", utc(2020, 7, 15, 12, 0, 0), -14},
        {"Etc/GMT+12", utc(2020, 7, 15, 6, 0, 0), 12},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.zone) + " " + std::to_string(c.now));
        ScopedTimeZone zone(c.zone);
        EXPECT_EQ(Mp4Parser::calculate_local_gmt_hour_difference(c.now), c.expected);
    }
    ScopedTimeZone zone("Etc/GMT-3");
    EXPECT_EQ(Mp4Parser::calculate_local_gmt_hour_difference(), -3);
}

TEST(Mp4Time, CalendarAdjustments) {
    struct tm t = {};
    t.tm_year = 116;
    t.tm_mon = 2;
    t.tm_mday = 1;
    t.tm_hour = 2;
    EXPECT_EQ(Mp4Parser::substract_time_difference(&t, 5), &t);
    EXPECT_EQ(t.tm_hour, -3);
    EXPECT_EQ(Mp4Parser::adjust_time_yesterday(&t), &t);
    EXPECT_EQ(t.tm_mday, 0);
    EXPECT_EQ(t.tm_hour, 21);
    {
        ScopedTimeZone zone("UTC");
        struct tm normalised = t;
        mktime(&normalised);
        EXPECT_EQ(normalised.tm_mon, 1);
        EXPECT_EQ(normalised.tm_mday, 29);  // 2016 is a leap year
    }
    Mp4Parser::adjust_time_yesterday(&t);  // hour not negative: unchanged
    EXPECT_EQ(t.tm_mday, 0);
    EXPECT_EQ(t.tm_hour, 21);

    t.tm_isdst = 0;
    Mp4Parser::adjust_time_daylight_savings(&t);
    EXPECT_EQ(t.tm_hour, 21);
    t.tm_isdst = 1;
    Mp4Parser::adjust_time_daylight_savings(&t);
    EXPECT_EQ(t.tm_hour, 20);

    Mp4Parser::substract_time_difference(&t, -4);  // a zone west of GMT adds hours
    EXPECT_EQ(t.tm_hour, 24);

    EXPECT_EQ(Mp4Parser::substract_time_difference(nullptr, 1), nullptr);
    EXPECT_EQ(Mp4Parser::adjust_time_yesterday(nullptr), nullptr);
    EXPECT_EQ(Mp4Parser::adjust_time_daylight_savings(nullptr), nullptr);
}

// The server's clock and the camera's count the same seconds: the start never shifts, whatever
// the zone and whether daylight saving time is in force now or at the recording.
TEST(Mp4Time, ServerTimeEqualsCameraTimeAcrossDaylightSaving) {
    const char* zones[] = {"UTC", "Europe/Berlin", "America/New_York", "Etc/GMT-2"};
    const int64_t starts[] = {
        utc(2016, 1, 15, 12, 0, 0),   // winter
        utc(2016, 7, 15, 12, 0, 0),   // summer
        utc(2016, 3, 27, 1, 30, 0),   // Berlin's spring change
        utc(2016, 10, 30, 0, 30, 0),  // the repeated hour of Berlin's autumn change
        utc(2016, 3, 6, 23, 30, 0),   // GMT and local dates differ west of GMT
        utc(2099, 6, 1, 0, 0, 0),     // beyond 2038
    };
    for (const char* name : zones) {
        ScopedTimeZone zone(name);
        for (int64_t start : starts) {
            SCOPED_TRACE(std::string(name) + " " + std::to_string(start));
            EXPECT_EQ(Mp4Parser::convert_from_gmt_to_server_time(static_cast<uint32_t>(start)),
                      start);
        }
    }
}

TEST(Mp4Time, LocalCalendarForFiling) {
    struct Case {
        const char* zone;
        int64_t t;
        int year, month, day, hour, minute, second;
    };
    const Case cases[] = {
        {"UTC", 1457359509, 2016, 3, 7, 14, 5, 9},
        {"Europe/Berlin", 1457359509, 2016, 3, 7, 15, 5, 9},                     // standard time
        {"Europe/Berlin", 1467900309, 2016, 7, 7, 16, 5, 9},                     // summer time
        {"Europe/Berlin", utc(2016, 10, 30, 0, 30, 0), 2016, 10, 30, 2, 30, 0},  // first 02:30
        {"Europe/Berlin", utc(2016, 10, 30, 1, 30, 0), 2016, 10, 30, 2, 30, 0},  // second 02:30
        {"America/New_York", utc(2016, 3, 7, 3, 0, 0), 2016, 3, 6, 22, 0, 0},
        {"UTC", 4000000000, 2096, 10, 2, 7, 6, 40},  // past 2038, also on 32-bit systems
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.zone) + " " + std::to_string(c.t));
        ScopedTimeZone zone(c.zone);
        int year, month, day, hour, minute, second;
        Mp4Parser::year_month_day(c.t, year, month, day, hour, minute, second);
        EXPECT_EQ(year, c.year);
        EXPECT_EQ(month, c.month);
        EXPECT_EQ(day, c.day);
        EXPECT_EQ(hour, c.hour);
        EXPECT_EQ(minute, c.minute);
        EXPECT_EQ(second, c.second);
    }
}

}  // namespace
}  // namespace rimvault
