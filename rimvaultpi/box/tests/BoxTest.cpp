// Byte fixtures for every box payload reader, the failures they must refuse, and every
// truncation of each fixture.

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "rimvaultpi/box/Box.h"
#include "rimvaultpi/box/BoxTypes.h"
#include "rimvaultpi/box/SampleTableBoxes.h"

namespace rimvault {
namespace {

using Bytes = std::vector<uint8_t>;

std::istringstream stream_of(const Bytes& bytes, size_t length) {
    return std::istringstream(std::string(bytes.begin(), bytes.begin() + length));
}

// A box reader, its fixture payload and a text form of the entries it should yield.
struct Fixture {
    const char* name;
    std::function<std::unique_ptr<Box>()> make;
    std::function<std::string(const Box&)> dump;
    Bytes payload;
    std::string expected;
    int64_t expected_consumed;
};

std::string dump_mvhd(const Box& box) {
    std::vector<MvhdBox::SMvhd> v;
    dynamic_cast<const MvhdBox&>(box).video_characteristics(v);
    std::string out;
    for (const auto& m : v) {
        out += std::to_string(m.creation_time) + "," + std::to_string(m.modification_time) + "," +
               std::to_string(m.duration) + "," + std::to_string(m.timescale) + ";";
    }
    return out;
}

std::string dump_stts(const Box& box) {
    std::vector<SttsBox::SStts> v;
    dynamic_cast<const SttsBox&>(box).time_to_samples(v);
    std::string out;
    for (const auto& e : v) {
        out += std::to_string(e.sample_count) + "x" + std::to_string(e.sample_delta) + ";";
    }
    return out;
}

std::string dump_stsc(const Box& box) {
    std::vector<StscBox::SStsc> v;
    dynamic_cast<const StscBox&>(box).sample_to_chunks(v);
    std::string out;
    for (const auto& e : v) {
        out += std::to_string(e.first_chunk) + "," + std::to_string(e.samples_per_chunk) + "," +
               std::to_string(e.sample_description_index) + ";";
    }
    return out;
}

std::string dump_stsz(const Box& box) {
    const auto& b = dynamic_cast<const StszBox&>(box);
    std::vector<uint32_t> v;
    b.sample_size(v);
    std::string out = "const " + std::to_string(b.constant_sample_size()) + "x" +
                      std::to_string(b.constant_sample_count()) + ":";
    for (uint32_t s : v) out += std::to_string(s) + ";";
    return out;
}

std::string dump_stco(const Box& box) {
    std::vector<uint64_t> v;
    dynamic_cast<const StcoBox&>(box).chunk_offset(v);
    std::string out;
    for (uint64_t o : v) out += std::to_string(o) + ";";
    return out;
}

std::string dump_stss(const Box& box) {
    std::vector<uint32_t> v;
    dynamic_cast<const StssBox&>(box).key_samples(v);
    std::string out;
    for (uint32_t n : v) out += std::to_string(n) + ";";
    return out;
}

std::string hex(const std::vector<uint8_t>& bytes) {
    std::string out;
    char b[4];
    for (uint8_t c : bytes) {
        std::snprintf(b, sizeof b, "%02x", c);
        out += b;
    }
    return out;
}

std::string dump_stsd(const Box& box) {
    std::vector<StsdBox::SStsd> v;
    dynamic_cast<const StsdBox&>(box).sample_decription(v);
    std::string out;
    for (const auto& d : v) {
        out += std::string(d.format) + " " + std::to_string(d.size) + " " +
               std::to_string(d.width) + "x" + std::to_string(d.height) + " dri" +
               std::to_string(d.data_reference_index) + " fc" + std::to_string(d.frame_count) +
               " avcC[" + d.avcc_type + " v" + std::to_string(d.configuration_version) + " p" +
               std::to_string(d.profile_indication) + " l" + std::to_string(d.level_indication) +
               " n" + std::to_string(d.nal_length_size) + " sps" + std::to_string(d.sps_length) +
               " pps" + std::to_string(d.pps_count) + "/" + std::to_string(d.pps_length) + " " +
               hex(d.parameter_sets) + "];";
    }
    return out;
}

template <typename T>
std::function<std::unique_ptr<Box>()> maker() {
    return [] { return std::make_unique<T>(); };
}

// A visual sample entry of `format` (86 bytes) followed by `children`.
Bytes visual_entry(const char* format, uint16_t width, uint16_t height, const Bytes& children) {
    const uint32_t size = 86 + static_cast<uint32_t>(children.size());
    Bytes e = {
        uint8_t(size >> 24), uint8_t(size >> 16), uint8_t(size >> 8), uint8_t(size),  // size
        uint8_t(format[0]), uint8_t(format[1]), uint8_t(format[2]), uint8_t(format[3]),
        0, 0, 0, 0, 0, 0,  // reserved
        0, 1,              // data_reference_index = 1
        0, 0, 0, 0,        // pre_defined, reserved
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  // pre_defined[3]
        uint8_t(width >> 8), uint8_t(width), uint8_t(height >> 8), uint8_t(height),
        0, 0x48, 0, 0,  // horizresolution 72 dpi
        0, 0x48, 0, 0,  // vertresolution
        0, 0, 0, 0,     // reserved
        0, 1,           // frame_count = 1
    };
    e.resize(e.size() + 32, 0);  // compressor name
    e.insert(e.end(), {0, 0x18, 0xFF, 0xFF});  // depth, pre_defined
    e.insert(e.end(), children.begin(), children.end());
    return e;
}

const Bytes kAvcC = {
    0, 0, 0, 26, 'a', 'v', 'c', 'C',  // size 26
    1,                 // configurationVersion
    66, 0xC0, 30,      // profile 66, compatibility, level 30
    0xFF,              // NAL length size 4
    0xE1,              // one SPS
    0, 4, 0x67, 0x42, 0xC0, 0x1E,  // SPS of 4 bytes
    1,                 // one PPS
    0, 3, 0x68, 0xCE, 0x3C,  // PPS of 3 bytes
};
const Bytes kPasp = {0, 0, 0, 16, 'p', 'a', 's', 'p', 0, 0, 0, 1, 0, 0, 0, 1};

Bytes stsd_payload() {
    Bytes children = kPasp;  // the configuration need not come first
    children.insert(children.end(), kAvcC.begin(), kAvcC.end());
    Bytes p = {0, 0, 0, 0, 0, 0, 0, 2};  // version/flags, entry_count = 2
    const Bytes avc1 = visual_entry("avc1", 320, 240, children);
    p.insert(p.end(), avc1.begin(), avc1.end());
    const Bytes mp4a = {
        0, 0, 0, 36, 'm', 'p', '4', 'a',  // an audio entry, shorter than a visual one
        0, 0, 0, 0, 0, 0, 0, 1,           // reserved, data_reference_index
        0, 0, 0, 0, 0, 0, 0, 0,           // reserved
        0, 2, 0, 16, 0, 0, 0, 0,          // channels 2, sample size 16
        0xAC, 0x44, 0, 0,                 // sample rate 44100
    };
    p.insert(p.end(), mp4a.begin(), mp4a.end());
    return p;
}

std::vector<Fixture> fixtures() {
    Bytes mvhd0 = {
        0, 0, 0, 0,            // version 0, flags
        0, 0, 0, 1,            // creation_time = 1
        0, 0, 0, 2,            // modification_time = 2
        0, 0, 0x03, 0xE8,      // timescale = 1000
        0, 0x01, 0xD4, 0xC0,   // duration = 120000
    };
    mvhd0.resize(mvhd0.size() + 80, 0);  // rate, volume, matrix...: left to the walker's skip
    Bytes mvhd1 = {
        1, 0, 0, 0,                          // version 1
        0, 0, 0, 1, 0, 0, 0, 0,              // creation_time = 2^32
        0, 0, 0, 0, 0, 0, 0, 5,              // modification_time = 5
        0, 1, 0x5F, 0x90,                    // timescale = 90000
        0, 0, 0, 2, 0, 0, 0, 0,              // duration = 2^33
    };
    return {
        {"mvhd v0", maker<MvhdBox>(), dump_mvhd, mvhd0, "1,2,120000,1000;", 20},
        {"mvhd v1", maker<MvhdBox>(), dump_mvhd, mvhd1, "4294967296,5,8589934592,90000;", 32},
        {"stts", maker<SttsBox>(), dump_stts,
         {0, 0, 0, 0,              // version/flags
          0, 0, 0, 2,              // entry_count = 2
          0, 0, 0, 3, 0, 0, 2, 0,  // 3 samples of 512
          0, 0, 0, 1, 0, 0, 4, 0}, // 1 sample of 1024
         "3x512;1x1024;", 24},
        {"stsc", maker<StscBox>(), dump_stsc,
         {0, 0, 0, 0, 0, 0, 0, 2,              // entry_count = 2
          0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0, 1,  // from chunk 1: 2 samples, description 1
          0, 0, 0, 3, 0, 0, 0, 1, 0, 0, 0, 1}, // from chunk 3: 1 sample
         "1,2,1;3,1,1;", 32},
        {"stsz table", maker<StszBox>(), dump_stsz,
         {0, 0, 0, 0,
          0, 0, 0, 0,              // sample_size 0: a table follows
          0, 0, 0, 3,              // sample_count = 3
          0, 0, 0, 10, 0, 0, 0, 20, 0, 0, 1, 0},
         "const 0x0:10;20;256;", 24},
        {"stsz constant", maker<StszBox>(), dump_stsz,
         {0, 0, 0, 0,
          0, 0, 0x04, 0xD2,        // sample_size 1234 for every sample
          0, 0, 0, 5},             // sample_count = 5, no table
         "const 1234x5:", 12},
        {"stz2 4-bit", maker<Stz2Box>(), dump_stsz,
         {0, 0, 0, 0,
          0, 0, 0, 4,              // reserved, field_size 4
          0, 0, 0, 3,              // sample_count = 3
          0x12, 0x30},             // 1, 2, 3 (and a pad nibble)
         "const 0x0:1;2;3;", 14},
        {"stz2 8-bit", maker<Stz2Box>(), dump_stsz,
         {0, 0, 0, 0, 0, 0, 0, 8, 0, 0, 0, 2, 200, 7},
         "const 0x0:200;7;", 14},
        {"stz2 16-bit", maker<Stz2Box>(), dump_stsz,
         {0, 0, 0, 0, 0, 0, 0, 16, 0, 0, 0, 2, 0x12, 0x34, 0, 1},
         "const 0x0:4660;1;", 16},
        {"stco", maker<StcoBox>(), dump_stco,
         {0, 0, 0, 0, 0, 0, 0, 2,
          0, 0, 0, 0x30,           // 48
          0xFF, 0xFF, 0xFF, 0xFF}, // 4294967295
         "48;4294967295;", 16},
        {"co64", maker<Co64Box>(), dump_stco,
         {0, 0, 0, 0, 0, 0, 0, 1,
          0, 0, 0, 1, 0, 0, 0, 8}, // 2^32 + 8
         "4294967304;", 16},
        {"stss", maker<StssBox>(), dump_stss,
         {0, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0, 1, 0, 0, 0, 26},
         "1;26;", 16},
        {"stss empty", maker<StssBox>(), dump_stss, {0, 0, 0, 0, 0, 0, 0, 0}, "", 8},
        {"stsd", maker<StsdBox>(), dump_stsd, stsd_payload(),
         "avc1 128 320x240 dri1 fc1 avcC[avcC v1 p66 l30 n4 sps4 pps1/3 "
         "000000016742c01e0000000168ce3c];"
         "mp4a 36 0x0 dri0 fc0 avcC[ v0 p0 l0 n0 sps0 pps0/0 ];",
         static_cast<int64_t>(stsd_payload().size())},
    };
}

TEST(Mp4Boxes, ReadEveryFixture) {
    for (const Fixture& f : fixtures()) {
        SCOPED_TRACE(f.name);
        auto box = f.make();
        auto in = stream_of(f.payload, f.payload.size());
        EXPECT_EQ(box->process_data(in, static_cast<int64_t>(f.payload.size())),
                  f.expected_consumed);
        EXPECT_TRUE(box->valid());
        EXPECT_EQ(f.dump(*box), f.expected);
    }
}

TEST(Mp4Boxes, ZeroPayloadReadsNothing) {
    for (const Fixture& f : fixtures()) {
        SCOPED_TRACE(f.name);
        auto box = f.make();
        auto in = stream_of(f.payload, f.payload.size());
        EXPECT_EQ(box->process_data(in, 0), 0);
        EXPECT_EQ(in.tellg(), 0);
        EXPECT_EQ(f.dump(*box), f.dump(*f.make()));
    }
}

// A payload length shorter than the fixture: the box reads nothing past it and yields either
// the whole result (it did not need the rest) or nothing.
TEST(Mp4Boxes, EveryShortPayloadStaysInsideIt) {
    for (const Fixture& f : fixtures()) {
        SCOPED_TRACE(f.name);
        const std::string empty = f.dump(*f.make());
        for (size_t length = 1; length < f.payload.size(); ++length) {
            SCOPED_TRACE(length);
            auto box = f.make();
            auto in = stream_of(f.payload, f.payload.size());
            const int64_t consumed = box->process_data(in, static_cast<int64_t>(length));
            EXPECT_LE(consumed, static_cast<int64_t>(length));
            EXPECT_LE(static_cast<int64_t>(in.tellg()), static_cast<int64_t>(length));
            if (box->valid()) {
                EXPECT_EQ(f.dump(*box), f.expected);
            } else {
                EXPECT_EQ(f.dump(*box), empty);
            }
            if (length < static_cast<size_t>(f.expected_consumed)) {
                EXPECT_FALSE(box->valid());
            }
        }
    }
}

// The stream ends before the payload length the caller announced.
TEST(Mp4Boxes, EveryTruncatedStreamFailsCleanly) {
    for (const Fixture& f : fixtures()) {
        SCOPED_TRACE(f.name);
        const std::string empty = f.dump(*f.make());
        for (size_t length = 0; length < f.payload.size(); ++length) {
            SCOPED_TRACE(length);
            auto box = f.make();
            auto in = stream_of(f.payload, length);
            const int64_t consumed =
                box->process_data(in, static_cast<int64_t>(f.payload.size()));
            EXPECT_LE(consumed, static_cast<int64_t>(length));
            if (box->valid()) {
                EXPECT_EQ(f.dump(*box), f.expected);
            } else {
                EXPECT_EQ(f.dump(*box), empty);
            }
            if (length < static_cast<size_t>(f.expected_consumed)) {
                EXPECT_FALSE(box->valid());
            }
        }
    }
}

// Counts that the payload cannot hold are refused before anything is allocated for them.
TEST(Mp4Boxes, CountsBeyondThePayloadAreRefused) {
    struct Case {
        const char* name;
        std::function<std::unique_ptr<Box>()> make;
        std::function<std::string(const Box&)> dump;
        Bytes payload;
    };
    const Bytes huge = {0xFF, 0xFF, 0xFF, 0xFF};
    auto with_count = [](Bytes head, const Bytes& count, Bytes tail) {
        head.insert(head.end(), count.begin(), count.end());
        head.insert(head.end(), tail.begin(), tail.end());
        return head;
    };
    const Bytes version = {0, 0, 0, 0};
    const std::vector<Case> cases = {
        {"stts", maker<SttsBox>(), dump_stts, with_count(version, huge, {0, 0, 0, 1, 0, 0, 0, 1})},
        {"stsc", maker<StscBox>(), dump_stsc, with_count(version, huge, Bytes(12, 1))},
        {"stsz", maker<StszBox>(), dump_stsz,
         with_count({0, 0, 0, 0, 0, 0, 0, 0}, huge, {0, 0, 0, 1})},
        {"stz2", maker<Stz2Box>(), dump_stsz,
         with_count({0, 0, 0, 0, 0, 0, 0, 16}, huge, {0, 1})},
        {"stz2 bad field size", maker<Stz2Box>(), dump_stsz,
         with_count({0, 0, 0, 0, 0, 0, 0, 5}, {0, 0, 0, 1}, {0, 1})},
        {"stco", maker<StcoBox>(), dump_stco, with_count(version, huge, {0, 0, 0, 1})},
        {"co64", maker<Co64Box>(), dump_stco, with_count(version, {0, 0, 0, 2}, Bytes(12, 1))},
        {"stss", maker<StssBox>(), dump_stss, with_count(version, {0, 0, 0, 2}, {0, 0, 0, 1})},
        {"stsd", maker<StsdBox>(), dump_stsd, with_count(version, huge, Bytes(8, 0))},
        {"stsd entry longer than payload", maker<StsdBox>(), dump_stsd,
         with_count(version, {0, 0, 0, 1}, {0, 0, 0, 99, 'a', 'v', 'c', '1'})},
        {"stsd entry shorter than its header", maker<StsdBox>(), dump_stsd,
         with_count(version, {0, 0, 0, 1}, {0, 0, 0, 4, 'a', 'v', 'c', '1'})},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto box = c.make();
        auto in = stream_of(c.payload, c.payload.size());
        EXPECT_LE(box->process_data(in, static_cast<int64_t>(c.payload.size())),
                  static_cast<int64_t>(c.payload.size()));
        EXPECT_FALSE(box->valid());
        EXPECT_EQ(c.dump(*box), c.dump(*c.make()));
    }
}

// A malformed configuration inside an entry costs the entry its parameter sets, not the
// description, and the next entry is still found by the entry's own size.
TEST(Mp4Boxes, MalformedAvcConfigurationKeepsTheEntry) {
    Bytes bad_avcc = kAvcC;
    bad_avcc[14] = 0x40;  // SPS length 0x4004: longer than the box
    Bytes payload = {0, 0, 0, 0, 0, 0, 0, 2};
    const Bytes entry = visual_entry("avc1", 640, 480, bad_avcc);
    payload.insert(payload.end(), entry.begin(), entry.end());
    const Bytes second = visual_entry("avc1", 32, 16, {});
    payload.insert(payload.end(), second.begin(), second.end());

    StsdBox box;
    auto in = stream_of(payload, payload.size());
    EXPECT_EQ(box.process_data(in, static_cast<int64_t>(payload.size())),
              static_cast<int64_t>(payload.size()));
    EXPECT_TRUE(box.valid());
    std::vector<StsdBox::SStsd> d;
    box.sample_decription(d);
    ASSERT_EQ(d.size(), 2u);
    EXPECT_EQ(d[0].width, 640);
    EXPECT_EQ(d[0].nal_length_size, 0);
    EXPECT_TRUE(d[0].parameter_sets.empty());
    EXPECT_EQ(d[1].width, 32);
    EXPECT_EQ(d[1].height, 16);
}

TEST(Mp4Boxes, BigEndianConversions) {
    const uint8_t bytes[] = {0x89, 0xAB, 0xCD, 0xEF};
    EXPECT_EQ(Box::convert32_bit_big_endian(bytes), 0x89ABCDEFu);
    EXPECT_EQ(Box::convert16_bit_big_endian(bytes), 0x89ABu);
    EXPECT_EQ(Box::convert8_bit_big_endian(bytes), 0x89u);
}

TEST(Mp4Boxes, TypeClassification) {
    struct Case {
        const char* type;
        bool container;
        bool skipped;
    };
    const Case cases[] = {
        {"moov", true, false}, {"trak", true, false}, {"meta", true, false},
        {"xml ", true, false}, {"drm ", true, false}, {"stbl", true, false},
        {"mdat", false, true}, {"udta", false, true}, {"mvex", false, true},
        {"hdlr", false, true}, {"free", false, true}, {"rdrf", false, true},
        {"co64", false, false}, {"stz2", false, false}, {"avc1", false, false},
        {"mp4a", false, false}, {"stsd", false, false}, {"xml", false, false},
        {"", false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.type);
        EXPECT_EQ(is_container_type(c.type), c.container);
        EXPECT_EQ(is_skipped_type(c.type), c.skipped);
    }
    EXPECT_EQ(Xml, "xml ");
    EXPECT_EQ(Drm, "drm ");
    EXPECT_EQ(Moov, "moov");
}

}  // namespace
}  // namespace rimvault
