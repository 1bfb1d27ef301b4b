// Time conversion of the converter. Built with 64-bit time_t (also on i386), so every time
// handed to the C library fits.

#include "rimvaultpi/mp4parser/Mp4Time.h"

#include <cmath>

#include "rimvaultpi/mp4parser/Mp4Parser.h"

namespace rimvault {
namespace {

constexpr int64_t kMsPerDay = 86400000;

bool is_leap(int64_t year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

// Days per month, common years then leap years.
constexpr int32_t ndays[2][12] = {
    {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31},
    {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31},
};

int64_t floor_div(int64_t a, int64_t b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0))); }

}  // namespace

int milliseconds_from_time(double seconds) {
    double whole;
    const double fraction = std::modf(seconds, &whole);
    return static_cast<int>(fraction * 1000.0f);
}

int64_t days_from_civil(int64_t year, unsigned month, unsigned day) {
    // Counts in 400-year eras starting on 1 March, so the leap day is the last day of a year.
    year -= month <= 2;
    const int64_t era = floor_div(year, 400);
    const int64_t year_of_era = year - era * 400;
    const int64_t day_of_year = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    const int64_t day_of_era =
        year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
    return era * 146097 + day_of_era - 719468;
}

UtcTime utc_from_milliseconds(int64_t milliseconds) {
    const int64_t days = floor_div(milliseconds, kMsPerDay);
    int64_t in_day = milliseconds - days * kMsPerDay;
    UtcTime out;
    out.millisecond = static_cast<int>(in_day % 1000);
    in_day /= 1000;
    out.second = static_cast<int>(in_day % 60);
    out.minute = static_cast<int>(in_day / 60 % 60);
    out.hour = static_cast<int>(in_day / 3600);
    // Inverse of days_from_civil.
    const int64_t z = days + 719468;
    const int64_t era = floor_div(z, 146097);
    const int64_t day_of_era = z - era * 146097;
    const int64_t year_of_era =
        (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
    const int64_t day_of_year =
        day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
    const int64_t mp = (5 * day_of_year + 2) / 153;
    out.day = static_cast<int>(day_of_year - (153 * mp + 2) / 5 + 1);
    out.month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    out.year = year_of_era + era * 400 + (out.month <= 2);
    return out;
}

int32_t mkgmtime(struct tm* t) {
    if (t == nullptr) return -1;
    const int64_t year = int64_t{t->tm_year} + 1900;
    if (t->tm_year < 0 || t->tm_mon < 0 || t->tm_mon > 11) return -1;
    if (t->tm_mday < 1 || t->tm_mday > ndays[is_leap(year)][t->tm_mon]) return -1;
    if (t->tm_hour < 0 || t->tm_hour > 23 || t->tm_min < 0 || t->tm_min > 59 || t->tm_sec < 0 ||
        t->tm_sec > 59) {
        return -1;
    }
    const int64_t days = days_from_civil(year, static_cast<unsigned>(t->tm_mon) + 1,
                                         static_cast<unsigned>(t->tm_mday));
    const int64_t seconds = t->tm_sec + 60 * (t->tm_min + 60 * (t->tm_hour + 24 * days));
    // Truncated to 32 bits (two's complement), as the result type says.
    return static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(seconds)));
}

int32_t mkgmtime(int year, int month, int day, int hour, int minute, int second) {
    struct tm t = {};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    t.tm_wday = -1;
    t.tm_yday = -1;
    t.tm_isdst = 0;
    return mkgmtime(&t);
}

long double Mp4Parser::time_to_sample_duration(uint32_t timescale,
                                               const std::vector<SttsBox::SStts>& table) {
    // Floating point: the product can exceed 64 bits for a hostile table; x87 long double
    // holds every 64-bit integer exactly.
    long double samples = 0;
    for (const SttsBox::SStts& entry : table) samples += entry.sample_count;
    return static_cast<long double>(timescale) * samples;
}

long double Mp4Parser::frame_real_time(const sample_tables& track) const {
    constexpr long double kDefaultPeriod = 0.065L;
    if (movie_header.empty() || movie_header.front().duration == 0) return kDefaultPeriod;
    const long double ticks =
        time_to_sample_duration(movie_header.front().timescale, track.time_to_samples);
    if (ticks == 0) return kDefaultPeriod;
    return static_cast<long double>(movie_header.front().duration) / ticks;
}

int Mp4Parser::calculate_local_gmt_hour_difference() {
    return calculate_local_gmt_hour_difference(static_cast<int64_t>(std::time(nullptr)));
}

int Mp4Parser::calculate_local_gmt_hour_difference(int64_t now) {
    const time_t t = static_cast<time_t>(now);
    struct tm gmt = {};
    struct tm local = {};
    if (gmtime_r(&t, &gmt) == nullptr || localtime_r(&t, &local) == nullptr) return 0;
    int difference = gmt.tm_hour - local.tm_hour;
    // When the two calendars show different dates the hours belong to different days.
    const int64_t gmt_day = days_from_civil(int64_t{gmt.tm_year} + 1900, gmt.tm_mon + 1u,
                                            static_cast<unsigned>(gmt.tm_mday));
    const int64_t local_day = days_from_civil(int64_t{local.tm_year} + 1900, local.tm_mon + 1u,
                                              static_cast<unsigned>(local.tm_mday));
    difference += static_cast<int>(24 * (gmt_day - local_day));
    return difference;
}

struct tm* Mp4Parser::substract_time_difference(struct tm* t, int hours) {
    if (t != nullptr) t->tm_hour -= hours;
    return t;
}

struct tm* Mp4Parser::adjust_time_yesterday(struct tm* t) {
    if (t != nullptr && t->tm_hour < 0) {
        t->tm_mday -= 1;
        t->tm_hour += 24;
    }
    return t;
}

struct tm* Mp4Parser::adjust_time_daylight_savings(struct tm* t) {
    if (t != nullptr && t->tm_isdst != 0) t->tm_hour -= 1;
    return t;
}

int64_t Mp4Parser::convert_from_gmt_to_server_time(uint32_t gmt_seconds) {
    // Both clocks count seconds since 1970-01-01 00:00:00 UTC, so the instant is the same
    // number; the local time zone (with daylight saving time as in force at that instant)
    // applies only where the recording is filed by local date and hour (year_month_day).
    return int64_t{gmt_seconds};
}

void Mp4Parser::year_month_day(int64_t t, int& year, int& month, int& day, int& hour, int& minute,
                               int& second) {
    const time_t value = static_cast<time_t>(t);
    struct tm local = {};
    if (localtime_r(&value, &local) == nullptr) {
        // Out of the C library's range: fall back to the UTC calendar.
        const UtcTime utc = utc_from_milliseconds(t * 1000);
        year = static_cast<int>(utc.year);
        month = utc.month;
        day = utc.day;
        hour = utc.hour;
        minute = utc.minute;
        second = utc.second;
        return;
    }
    year = local.tm_year + 1900;
    month = local.tm_mon + 1;
    day = local.tm_mday;
    hour = local.tm_hour;
    minute = local.tm_min;
    second = local.tm_sec;
}

}  // namespace rimvault
