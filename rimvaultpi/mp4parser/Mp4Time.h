#pragma once
// Calendar arithmetic of the converter that does not depend on the process's time zone.

#include <cstdint>
#include <ctime>

namespace rimvault {

// Milliseconds of the fractional part of `seconds`, truncated toward zero (keeps the sign):
// 12.5 gives 500, -0.25 gives -250.
int milliseconds_from_time(double seconds);

// Seconds since 1970-01-01 00:00:00 GMT of a broken-down GMT time (tm_year from 1900 on), or -1
// when a field is out of range (month 0-11, day within the month, hour 0-23, minute and second
// 0-59). tm_wday, tm_yday and tm_isdst are ignored. Times before 1970 give negative values; the
// result is truncated to 32 bits, so 2038-01-19 03:14:08 wraps to -2147483648.
int32_t mkgmtime(struct tm* t);
int32_t mkgmtime(int year, int month, int day, int hour, int minute, int second);

// Days since 1970-01-01 of a proleptic Gregorian date (month 1-12).
int64_t days_from_civil(int64_t year, unsigned month, unsigned day);

// Calendar fields of a UTC time given in milliseconds since 1970-01-01 00:00:00 UTC.
struct UtcTime {
    int64_t year;
    int month;   // 1-12
    int day;     // 1-31
    int hour;    // 0-23
    int minute;  // 0-59
    int second;  // 0-59
    int millisecond;
};
UtcTime utc_from_milliseconds(int64_t milliseconds);

}  // namespace rimvault
