// Output naming and channel set-up: the file name, the channel identity, the directory by local
// date and hour, never overwriting a recording, and the channel records of the PS file.

#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "rimvaultpi/mp4parser/Mp4Parser.h"
#include "rimvaultpi/mp4parser/tests/Mp4BoxBuilder.h"
#include "rimvaultpi/mp4parser/tests/Mp4TestSupport.h"

namespace rimvault {
namespace {

using namespace test;

TEST(Mp4Naming, FileNames) {
    struct Case {
        int minute, second;
        unsigned channel;
        const char* expected;
    };
    const Case cases[] = {
        {0, 0, 0x00120380, "0000-00120380r.ps"},
        {5, 9, 0x00120380, "0509-00120380r.ps"},
        {59, 59, 0xABCDEF12, "5959-ABCDEF12r.ps"},
        {1, 2, 0x80, "0102-00000080r.ps"},
    };
    for (const Case& c : cases) {
        std::string name = "previous content";
        Mp4Parser::generate_ps_file_name(c.minute, c.second, c.channel, name);
        EXPECT_EQ(name, c.expected);
    }
}

TEST(Mp4Naming, ChannelIdentity) {
    struct Case {
        uint32_t source;
        int32_t device, stream, channel_class;
        uint32_t expected;
    };
    const Case cases[] = {
        {0x00120000, 3, 0, 0, 0x00120380},
        {0xF012FFFF, 3, 0, 0, 0x00120380},      // only bits 16 to 27 of the owner
        {0x00120000, 0x1FF, 0, 0, 0x0012FF80},  // only the device's low byte
        {0, 0, 1, 1, 0x10000081},
        {0, 0, -128, 0, 0x00000000},
    };
    for (const Case& c : cases) {
        kivsvr::rimvault::Message m;
        m.source = c.source;
        m.device = c.device;
        m.stream = c.stream;
        m.channel_class = c.channel_class;
        EXPECT_EQ(Mp4Parser(m, nullptr).channel(), c.expected) << std::hex << c.source;
    }
}

class Mp4OutputPath : public ::testing::Test {
  protected:
    std::string path_for(const std::string& root, uint32_t start) {
        Mp4Parser parser(conversion_message("", root, start), nullptr);
        return parser.create_ps_file_path();
    }
    TempDir dir;
};

TEST_F(Mp4OutputPath, LocalDateAndHourOfTheStart) {
    struct Case {
        const char* zone;
        uint32_t start;
        const char* expected;
    };
    const Case cases[] = {
        {"UTC", 1457359509, "/2016/03/07/14/0509-00120380r.ps"},
        {"Europe/Berlin", 1457359509, "/2016/03/07/15/0509-00120380r.ps"},
        {"Europe/Berlin", 1467900309, "/2016/07/07/16/0509-00120380r.ps"},  // summer time
        {"America/New_York", 1457359509, "/2016/03/07/09/0509-00120380r.ps"},
        {"America/New_York", 1457319600, "/2016/03/06/22/0000-00120380r.ps"},  // UTC is next day
        {"UTC", 1577934245, "/2020/01/02/03/0405-00120380r.ps"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.zone) + " " + std::to_string(c.start));
        ScopedTimeZone zone(c.zone);
        const std::string path = path_for(dir.path() + "/", c.start);
        EXPECT_EQ(path, dir.path() + c.expected);
        EXPECT_TRUE(boost::filesystem::is_directory(path.substr(0, path.rfind('/'))));
        // The directory already exists the second time.
        EXPECT_EQ(path_for(dir.path() + "/", c.start), path);
    }
}

TEST_F(Mp4OutputPath, RootWithoutTrailingSlashGetsOne) {
    ScopedTimeZone zone("UTC");
    EXPECT_EQ(path_for(dir / "rec", 1577934245), dir / "rec/2020/01/02/03/0405-00120380r.ps");
    EXPECT_FALSE(file_exists(dir / "rec2020"));
}

// A second recording that starts in the same second (or whose name is taken by any file, even
// a lone index) takes the next free second of the name.
TEST_F(Mp4OutputPath, ExistingRecordingsAreNeverOverwritten) {
    ScopedTimeZone zone("UTC");
    const std::string hour = dir / "2016/03/07/14/";
    const std::string first = path_for(dir.path(), 1457359509);
    ASSERT_EQ(first, hour + "0509-00120380r.ps");
    write_file(first, {1});
    EXPECT_EQ(path_for(dir.path(), 1457359509), hour + "0510-00120380r.ps");
    write_file(hour + "0510-00120380r.psi", {1});
    EXPECT_EQ(path_for(dir.path(), 1457359509), hour + "0511-00120380r.ps");
    EXPECT_EQ(read_file(first), Bytes{1});

    // The last seconds of the hour: names go back to the nearest free second before the start,
    // never past 59:59.
    const uint32_t last = 1457359509 + (59 - 5) * 60 + 50;  // 14:59:59
    write_file(hour + "5959-00120380r.ps", {1});
    EXPECT_EQ(path_for(dir.path(), last), hour + "5958-00120380r.ps");
    write_file(hour + "5958-00120380r.ps", {1});
    EXPECT_EQ(path_for(dir.path(), last - 1), hour + "5957-00120380r.ps");
    // Another device's recording of the same second is no conflict.
    kivsvr::rimvault::Message other = conversion_message("", dir.path(), 1457359509);
    other.device = 4;
    EXPECT_EQ(Mp4Parser(other, nullptr).create_ps_file_path(), hour + "0509-00120480r.ps");
}

TEST_F(Mp4OutputPath, DirectoryThatCannotBeMadeThrows) {
    write_file(dir / "file", {1});
    EXPECT_THROW(path_for(dir / "file", 1457359509), boost::filesystem::filesystem_error);
}

// Channel descriptors and the channel records they become in the file's stream map.
TEST(Mp4Channels, RecordsFromTheFirstVideoTrack) {
    ScopedTimeZone zone("UTC");
    TempDir dir;
    LogRecorder log;
    kivsvr::rimvault::Message message = conversion_message("", dir.path(), 1457359509);
    message.input_name = "cam one";
    message.record_flags2 = 2;
    Mp4Parser parser(message, log.poster());

    EXPECT_EQ(parser.intialize_channel("x"), 3);
    EXPECT_TRUE(log.has(75, "Unable to initialize channel sample tables is empty.\n"));

    // An audio track first, then two video tracks of different sizes.
    const Bytes common = cat({stts({{1, 1}}), stsc({{1, 1}}), stsz({1}), stco({0})});
    const Bytes file =
        box("moov", cat({trak(cat({stsd({box("mp4a", Bytes(28, 0))}), common}), "soun"),
                         trak(cat({stsd({sample_entry("avc1", 4096, 2160)}), common})),
                         trak(cat({stsd({sample_entry("avc1", 320, 240)}), common}))}));
    std::istringstream in(std::string(file.begin(), file.end()));
    parser.walk_boxes(in);
    ASSERT_EQ(parser.tables().size(), 3u);
    ASSERT_EQ(parser.intialize_channel("cam one"), 0);
    EXPECT_EQ(parser.channel_info(0).width, 4096);
    EXPECT_EQ(parser.channel_info(1).width, 320);
    EXPECT_EQ(parser.channel_info(2).width, 4096);
    EXPECT_EQ(parser.channel_info(31).height, 2160);
    EXPECT_EQ(parser.channel_info(31).name, "cam one");

    const std::string path = parser.create_ps_file_path();
    ASSERT_EQ(parser.open_ps_file(path), 0);
    EXPECT_TRUE(log.has(25, "Opened (and PSI) " + path + ".\n")) << log.all();

    const Bytes media = read_file(path);
    ASSERT_GE(media.size(), 1978u);
    const uint8_t* map = media.data() + 16;
    EXPECT_EQ(map[18], 2);  // the file's packet attribute
    struct Slot {
        int slot;
        uint8_t type, id, b4, b5;
    };
    const Slot slots[] = {
        {0, 0x85, 0xD0, 255, 135},  // 4096 / 16 does not fit 8 bits
        {1, 0x85, 0xD1, 20, 15},   {15, 0x85, 0xDF, 255, 135},
        {16, 0x90, 0xC0, 0, 0},  // audio: parameter and rate 0
        {31, 0x90, 0xCF, 0, 0},
    };
    for (const Slot& s : slots) {
        SCOPED_TRACE(s.slot);
        const uint8_t* e = map + 106 + 58 * s.slot;
        EXPECT_EQ(e[0], s.type);
        EXPECT_EQ(e[1], s.id);
        EXPECT_EQ(e[4], s.b4);
        EXPECT_EQ(e[5], s.b5);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(e + 26), 7), "cam one");
    }
}

}  // namespace
}  // namespace rimvault
