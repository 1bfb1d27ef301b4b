#include "rimvaultpi/rimvault/RimvaultTypes.h"

#include <cinttypes>
#include <cstdio>

namespace rimvault {

std::string FormatUtc(TimePoint t) {
    // Break whole seconds down into a proleptic Gregorian UTC date without time_t, which is
    // 32 bits wide on the i386 target.
    int64_t seconds = WholeSeconds(t);
    int64_t days = seconds / 86400;
    int64_t secondOfDay = seconds % 86400;
    if (secondOfDay < 0) {
        secondOfDay += 86400;
        --days;
    }
    days += 719468;  // shift the epoch to 0000-03-01
    const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const int64_t dayOfEra = days - era * 146097;
    const int64_t yearOfEra =
        (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const int64_t monthFromMarch = (5 * dayOfYear + 2) / 153;
    const int64_t day = dayOfYear - (153 * monthFromMarch + 2) / 5 + 1;
    const int64_t month = monthFromMarch < 10 ? monthFromMarch + 3 : monthFromMarch - 9;
    const int64_t year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);

    char text[64];
    std::snprintf(text, sizeof text,
                  "%04" PRId64 "-%02" PRId64 "-%02" PRId64 "T%02" PRId64 ":%02" PRId64 ":%02" PRId64
                  "Z",
                  year, month, day, secondOfDay / 3600, secondOfDay / 60 % 60, secondOfDay % 60);
    return text;
}

std::string UuidText(const Uuid& id) {
    // Written into a fixed buffer: this text goes into most log lines and every operation of
    // the state file.
    static const char kHex[] = "0123456789abcdef";
    char text[36];
    size_t n = 0;
    for (size_t i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) text[n++] = '-';
        text[n++] = kHex[id.data[i] >> 4];
        text[n++] = kHex[id.data[i] & 0x0F];
    }
    return std::string(text, sizeof text);
}

}  // namespace rimvault
