#include "rimvaultpi/rimvault/RimvaultTypes.h"

#include <gtest/gtest.h>

#include <boost/uuid/random_generator.hpp>
#include <boost/uuid/uuid_io.hpp>

namespace rimvault {
namespace {

TEST(RimvaultFormatUtc, Table) {
    using std::chrono::milliseconds;
    const struct {
        TimePoint time;
        const char* text;
    } cases[] = {
        {FromSeconds(0), "1970-01-01T00:00:00Z"},
        {TimePoint(milliseconds(1456826390700)), "2016-03-01T09:59:50Z"},
        {FromSeconds(1456828200), "2016-03-01T10:30:00Z"},
        {FromSeconds(1456704000), "2016-02-29T00:00:00Z"},  // leap day
        {FromSeconds(951782400), "2000-02-29T00:00:00Z"},   // leap day of a century
        {FromSeconds(1609459199), "2020-12-31T23:59:59Z"},
        {FromSeconds(-1), "1969-12-31T23:59:59Z"},
        // Cut to whole seconds toward zero first: -1.5 s is -1 s.
        {TimePoint(milliseconds(-1500)), "1969-12-31T23:59:59Z"},
        {FromSeconds(-86400), "1969-12-31T00:00:00Z"},
        {FromSeconds(2147483647), "2038-01-19T03:14:07Z"},
        {FromSeconds(4102444800), "2100-01-01T00:00:00Z"},  // beyond 32-bit time_t
    };
    for (const auto& c : cases) {
        EXPECT_EQ(FormatUtc(c.time), c.text) << WholeSeconds(c.time);
    }
}

TEST(RimvaultWholeSeconds, TruncatesTowardZero) {
    using std::chrono::milliseconds;
    EXPECT_EQ(WholeSeconds(TimePoint(milliseconds(1999))), 1);
    EXPECT_EQ(WholeSeconds(TimePoint(milliseconds(-1999))), -1);
    EXPECT_EQ(WholeSeconds(FromSeconds(4102444800)), 4102444800);
}

TEST(RimvaultUuidText, SameAsTheLibraryText) {
    Uuid ids[10] = {};
    for (uint8_t& byte : ids[1].data) byte = 0xFF;
    boost::uuids::random_generator generate;
    for (size_t i = 2; i < 10; ++i) ids[i] = generate();
    for (const Uuid& id : ids) EXPECT_EQ(UuidText(id), boost::uuids::to_string(id));
}

}  // namespace
}  // namespace rimvault
