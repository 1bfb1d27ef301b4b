// The box walk over hand-built files: tracks and their tables, header sizes (large, zero,
// impossible), boxes that overrun their parent or the file, readers that leave bytes unread,
// unknown and malformed boxes, truncation, and the frame period taken from the movie header.

#include <gtest/gtest.h>

#include <cmath>
#include <sstream>
#include <string>

#include "rimvaultpi/mp4parser/Mp4Parser.h"
#include "rimvaultpi/mp4parser/tests/Mp4BoxBuilder.h"
#include "rimvaultpi/mp4parser/tests/Mp4TestSupport.h"

namespace rimvault {
namespace {

using namespace test;

// A complete set of video tables: 3 samples in 2 chunks.
Bytes video_tables(uint32_t first_offset = 100) {
    return cat({stsd({sample_entry("avc1", 320, 240)}), stts({{3, 512}}), stss({1}), stsc({{1, 2}}),
                stsz({10, 20, 30}), stco({first_offset, first_offset + 30})});
}

Bytes audio_tables() {
    return cat({stsd({box("mp4a", Bytes(28, 0))}), stts({{5, 1024}}), stsc({{1, 5}}),
                stsz({4, 4, 4, 4, 4}), stco({900})});
}

class Mp4Walk : public ::testing::Test {
  protected:
    const std::vector<Mp4Parser::sample_tables>& walk(const Bytes& file) {
        std::istringstream in(std::string(file.begin(), file.end()));
        parser.walk_boxes(in);
        return parser.tables();
    }

    LogRecorder log;
    Mp4Parser parser{conversion_message("", "", 0), log.poster()};
};

TEST_F(Mp4Walk, ReadsEveryTrackWithItsTablesAndHandler) {
    const auto& tables = walk(cat(
        {ftyp(), box("free", {}),
         box("moov", cat({mvhd(1000, 2000), trak(video_tables()), trak(audio_tables(), "soun")})),
         box("mdat", Bytes(16, 0))}));
    ASSERT_EQ(tables.size(), 2u);
    const auto& video = tables[0];
    EXPECT_EQ(video.handler_type, "vide");
    ASSERT_EQ(video.sample_descriptions.size(), 1u);
    EXPECT_STREQ(video.sample_descriptions[0].format, "avc1");
    EXPECT_EQ(video.sample_descriptions[0].width, 320);
    EXPECT_EQ(video.sample_sizes, (std::vector<uint32_t>{10, 20, 30}));
    EXPECT_EQ(video.chunk_offsets, (std::vector<uint64_t>{100, 130}));
    EXPECT_EQ(video.key_samples, (std::vector<uint32_t>{1}));
    ASSERT_EQ(video.sample_to_chunks.size(), 1u);
    EXPECT_EQ(video.sample_to_chunks[0].samples_per_chunk, 2u);
    ASSERT_EQ(video.time_to_samples.size(), 1u);
    EXPECT_EQ(video.time_to_samples[0].sample_delta, 512u);
    ASSERT_EQ(video.video_characteristics.size(), 1u);  // the movie header precedes the tracks
    EXPECT_EQ(video.video_characteristics[0].duration, 2000u);

    const auto& audio = tables[1];
    EXPECT_EQ(audio.handler_type, "soun");
    EXPECT_STREQ(audio.sample_descriptions[0].format, "mp4a");
    EXPECT_EQ(audio.sample_count(), 5u);
    EXPECT_TRUE(audio.key_samples.empty());
    EXPECT_TRUE(audio.video_characteristics.empty());
    EXPECT_EQ(log.all(), "");
}

// A track's record closes at the end of its "trak", so a sync-sample table written after the
// chunk offsets stays with its own track instead of moving to the next one.
TEST_F(Mp4Walk, TablesAfterTheMandatoryOnesStayWithTheirTrack) {
    const Bytes first = cat({stsd({sample_entry("avc1", 320, 240)}), stts({{3, 512}}),
                             stsc({{1, 3}}), stsz({1, 2, 3}), stco({100}), stss({1, 3})});
    const Bytes second = cat({stsd({sample_entry("avc1", 64, 48)}), stts({{2, 512}}),
                              stsc({{1, 2}}), stsz({5, 6}), stco({200})});
    const auto& tables = walk(cat({ftyp(), box("moov", cat({trak(first), trak(second)}))}));
    ASSERT_EQ(tables.size(), 2u);
    EXPECT_EQ(tables[0].key_samples, (std::vector<uint32_t>{1, 3}));
    EXPECT_TRUE(tables[1].key_samples.empty());
    EXPECT_EQ(tables[1].sample_descriptions[0].width, 64);
}

TEST_F(Mp4Walk, LaterTableOfTheSameTypeReplacesTheEarlierOne) {
    const Bytes tables_with_two_stts =
        cat({stts({{1, 1}, {2, 2}}), stsd({sample_entry("avc1", 8, 8)}), stts({{7, 9}}),
             stsc({{1, 7}}), stsz({1, 1, 1, 1, 1, 1, 1}), stco({0})});
    const auto& tables = walk(box("moov", trak(tables_with_two_stts)));
    ASSERT_EQ(tables.size(), 1u);
    ASSERT_EQ(tables[0].time_to_samples.size(), 1u);
    EXPECT_EQ(tables[0].time_to_samples[0].sample_count, 7u);
}

TEST_F(Mp4Walk, IncompleteTracksAreDroppedWithALogLine) {
    struct Case {
        const char* name;
        Bytes tables;
    };
    const Case cases[] = {
        {"no descriptions", cat({stsd({}), stts({{1, 1}}), stsc({{1, 1}}), stsz({1}), stco({0})})},
        {"no sizes", cat({stsd({sample_entry("avc1", 8, 8)}), stts({{1, 1}}), stsc({{1, 1}}),
                          stsz({}), stco({0})})},
        {"no chunk offsets",
         cat({stsd({sample_entry("avc1", 8, 8)}), stts({{1, 1}}), stsc({{1, 1}}), stsz({1})})},
        {"empty stts, like a fragmented file",
         cat({stsd({sample_entry("avc1", 8, 8)}), stts({}), stsc({}), stsz({}), stco({})})},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        log.lines.clear();
        EXPECT_TRUE(walk(cat({ftyp(), box("moov", trak(c.tables))})).empty());
        EXPECT_TRUE(log.has(25, "Skipping track without complete sample tables.\n")) << log.all();
    }
}

TEST_F(Mp4Walk, SixtyFourBitChunkOffsetsAndCompactSizes) {
    const Bytes stz2 = box("stz2", full(cat({be32(8), be32(3), Bytes{7, 8, 9}})));
    const Bytes tables = cat({stsd({sample_entry("avc1", 8, 8)}), stts({{3, 1}}), stsc({{1, 3}}),
                              stz2, co64({0x123456789ull})});
    const auto& t = walk(box("moov", trak(tables)));
    ASSERT_EQ(t.size(), 1u);
    EXPECT_EQ(t[0].chunk_offsets, (std::vector<uint64_t>{0x123456789ull}));
    EXPECT_EQ(t[0].sample_sizes, (std::vector<uint32_t>{7, 8, 9}));
}

TEST_F(Mp4Walk, ConstantSampleSizeCountsEverySample) {
    const Bytes constant = box("stsz", full(cat({be32(1500), be32(4)})));
    const Bytes tables = cat(
        {stsd({sample_entry("avc1", 8, 8)}), stts({{4, 1}}), stsc({{1, 4}}), constant, stco({0})});
    const auto& t = walk(box("moov", trak(tables)));
    ASSERT_EQ(t.size(), 1u);
    EXPECT_TRUE(t[0].sample_sizes.empty());
    EXPECT_EQ(t[0].sample_count(), 4u);
    EXPECT_EQ(t[0].sample_size(3), 1500u);
}

// How each header size is walked: large sizes, size 0, sizes that cannot be walked past.
TEST_F(Mp4Walk, HeaderSizes) {
    const Bytes track = box("moov", trak(video_tables()));
    struct Case {
        const char* name;
        Bytes file;
        size_t tracks;
    };
    const Case cases[] = {
        {"large size skips exactly its payload",
         cat({ftyp(), large_box("free", Bytes(40, 0xAB)), track}), 1},
        {"large size on a container", cat({ftyp(), large_box("moov", trak(video_tables()))}), 1},
        {"empty free box", cat({ftyp(), box("free", {}), box("free", {}), track}), 1},
        {"size 0 runs to the end of the file",
         cat({ftyp(), box_with_size(0, "moov", trak(video_tables()))}), 1},
        {"size 0 on the last box after the tables",
         cat({ftyp(), track, box_with_size(0, "mdat", Bytes(9, 1))}), 1},
        {"size 0 inside a container runs to the container's end",
         cat({ftyp(),
              box("moov", cat({trak(video_tables()), box_with_size(0, "udta", Bytes(5, 0))}))}),
         1},
        {"size 4 ends the walk", cat({ftyp(), box_with_size(4, "free", {}), track}), 0},
        {"size 7 ends the walk after what was read",
         cat({ftyp(), track, box_with_size(7, "free", {}), track}), 1},
        {"large size below its header ends the walk",
         cat({ftyp(), be32(1), fourcc("free"), be64(15), track}), 0},
        {"box past the end of the file ends the walk",
         cat({ftyp(), track, box_with_size(1000, "free", Bytes(10, 0)), track}), 1},
        {"child past the end of its parent ends the walk",
         cat({ftyp(), box("moov", cat({box_with_size(500, "trak", {}), trak(video_tables())}))}),
         0},
        {"fewer than 8 bytes left at the end", cat({ftyp(), track, Bytes{0, 0, 0}}), 1},
        {"fewer than 8 bytes left inside a container",
         cat({ftyp(), box("moov", cat({trak(video_tables()), Bytes{1, 2, 3}})), track}), 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(walk(c.file).size(), c.tracks);
    }
}

// Whatever a reader leaves unread, the walk goes on at the end of the box, and a reader never
// reads into the next box.
TEST_F(Mp4Walk, ResumesAtTheEndOfEveryBox) {
    const Bytes padded_stco = box("stco", full(cat({be32(1), be32(64), Bytes(12, 0xEE)})));
    const Bytes lying_stsz = box("stsz", full(cat({be32(0), be32(1000), be32(1)})));
    const Bytes short_entry_stsd = stsd({box("mp4a", Bytes(4, 0))});
    const Bytes tables = cat({short_entry_stsd, lying_stsz, stsd({sample_entry("avc1", 8, 8)}),
                              stts({{1, 1}}), stsc({{1, 1}}), padded_stco, stsz({5}), stss({1})});
    const auto& t = walk(cat({ftyp(), box("moov", trak(tables))}));
    ASSERT_EQ(t.size(), 1u);
    EXPECT_EQ(t[0].chunk_offsets, (std::vector<uint64_t>{64}));
    EXPECT_EQ(t[0].sample_sizes, (std::vector<uint32_t>{5}));
    EXPECT_EQ(t[0].key_samples, (std::vector<uint32_t>{1}));
    EXPECT_STREQ(t[0].sample_descriptions[0].format, "avc1");
    EXPECT_TRUE(log.has(25, "Ignoring malformed box : stsz\n")) << log.all();
}

TEST_F(Mp4Walk, UnknownBoxesAreLoggedAndSkipped) {
    Bytes many;
    for (int i = 0; i < 40; ++i) many = cat({many, box("zzzz", {})});
    walk(cat({ftyp(), box("wxyz", Bytes(3, 0)),
              box_with_size(8,
                            "\x01"
                            "ab\x7F",
                            {}),
              box("moov", cat({box("co65", Bytes(4, 0)), trak(video_tables())})), many}));
    EXPECT_TRUE(log.has(25, "Unknown box type : wxyz\n")) << log.all();
    EXPECT_TRUE(log.has(25, "Unknown box type : \\x01ab\\x7F\n")) << log.all();
    EXPECT_TRUE(log.has(25, "Unknown box type : co65\n")) << log.all();
    size_t unknown = 0;
    for (const LogLine& l : log.lines) unknown += l.text.rfind("Unknown box type", 0) == 0;
    EXPECT_EQ(unknown, 32u);  // a file full of them does not flood the log
    EXPECT_EQ(parser.tables().size(), 1u);
}

// Every kind of line about a single box or track counts towards one cap per conversion.
TEST_F(Mp4Walk, LinesAboutSingleBoxesAndTracksAreCapped) {
    Bytes many;
    for (int i = 0; i < 100; ++i) {
        many = cat({many, box("trak", {}), box("stts", Bytes(2, 0)), box("zzzz", {})});
    }
    walk(cat({ftyp(), box("moov", many)}));
    EXPECT_TRUE(log.has(25, "Skipping track without complete sample tables.\n")) << log.all();
    EXPECT_TRUE(log.has(25, "Ignoring malformed box : stts\n")) << log.all();
    EXPECT_TRUE(log.has(25, "Unknown box type : zzzz\n")) << log.all();
    EXPECT_EQ(log.lines.size(), 32u) << log.all();
}

// "meta" as a full box (version and flags before its children) and as a plain container.
TEST_F(Mp4Walk, MetaChildrenAreFoundInBothForms) {
    walk(cat({ftyp(), box("meta", full(cat({hdlr("mdir"), box("abcd", {})})))}));
    EXPECT_TRUE(log.has(25, "Unknown box type : abcd\n")) << log.all();
    log.lines.clear();
    walk(cat({ftyp(), box("meta", cat({hdlr("mdir"), box("efgh", {})}))}));
    EXPECT_TRUE(log.has(25, "Unknown box type : efgh\n")) << log.all();
}

TEST_F(Mp4Walk, TablesOutsideAnyTrackFormARecordWhenComplete) {
    const auto& t = walk(cat({ftyp(), video_tables(), stss({2})}));
    ASSERT_EQ(t.size(), 1u);
    EXPECT_EQ(t[0].key_samples, (std::vector<uint32_t>{1}));
}

TEST_F(Mp4Walk, NestingDeeperThanTheLimitIsSkipped) {
    Bytes nested = trak(video_tables());
    for (int i = 0; i < 40; ++i) nested = box("moov", nested);
    EXPECT_TRUE(walk(cat({ftyp(), nested})).empty());
    Bytes shallow = trak(video_tables());
    for (int i = 0; i < 20; ++i) shallow = box("moov", shallow);
    EXPECT_EQ(walk(cat({ftyp(), shallow})).size(), 1u);
}

// Every truncation of a two-track file: no crash, and only whole tracks that the full file
// also yields.
TEST_F(Mp4Walk, EveryTruncationYieldsOnlyCompleteTracks) {
    const Bytes file = cat({ftyp(), box("moov", cat({mvhd(1000, 2000), trak(video_tables()),
                                                     trak(audio_tables(), "soun")}))});
    const auto full_tables = walk(file);
    ASSERT_EQ(full_tables.size(), 2u);
    for (size_t length = 0; length < file.size(); ++length) {
        SCOPED_TRACE(length);
        const auto& t = walk(Bytes(file.begin(), file.begin() + static_cast<long>(length)));
        ASSERT_LE(t.size(), 2u);
        for (size_t i = 0; i < t.size(); ++i) {
            EXPECT_EQ(t[i].sample_sizes, full_tables[i].sample_sizes);
            EXPECT_EQ(t[i].chunk_offsets, full_tables[i].chunk_offsets);
            EXPECT_EQ(t[i].handler_type, full_tables[i].handler_type);
        }
    }
}

TEST_F(Mp4Walk, FramePeriodFromTheMovieHeader) {
    struct Case {
        const char* name;
        Bytes header;
        uint32_t samples;
        long double expected;
    };
    const Case cases[] = {
        {"1000 Hz, 120 s, 3000 samples", mvhd(1000, 120000), 3000, 0.04L},
        {"90 kHz, 300 s, 9000 samples", mvhd(90000, 27000000), 9000, 1.0L / 30},
        {"product above 2^32", mvhd(90000, 150000000), 50000, 1.0L / 30},
        {"version 1 header",
         box("mvhd",
             full(cat({be64(0), be64(0), be32(90000), be64(27000000), Bytes(80, 0)}), 1u << 24)),
         9000, 1.0L / 30},
        {"no movie header", {}, 3000, 0.065L},
        {"duration 0", mvhd(1000, 0), 3000, 0.065L},
        {"timescale 0", mvhd(0, 120000), 3000, 0.065L},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Bytes tables = cat({stsd({sample_entry("avc1", 8, 8)}), stts({{c.samples, 1}}),
                                  stsc({{1, 1}}), stsz({1}), stco({0})});
        const auto& t = walk(cat({ftyp(), box("moov", cat({c.header, trak(tables)}))}));
        ASSERT_EQ(t.size(), 1u);
        EXPECT_NEAR(static_cast<double>(parser.frame_real_time(t[0])),
                    static_cast<double>(c.expected), 1e-12);
    }
    // The period counts the samples of the track it is asked for.
    const Bytes many = cat({stsd({sample_entry("avc1", 8, 8)}), stts({{100, 1}}), stsc({{1, 1}}),
                            stsz({1}), stco({0})});
    const Bytes few = cat({stsd({sample_entry("avc1", 8, 8)}), stts({{50, 1}}), stsc({{1, 1}}),
                           stsz({1}), stco({0})});
    const auto& t = walk(box("moov", cat({mvhd(1000, 4000), trak(many), trak(few)})));
    ASSERT_EQ(t.size(), 2u);
    EXPECT_NEAR(static_cast<double>(parser.frame_real_time(t[0])), 0.04, 1e-12);
    EXPECT_NEAR(static_cast<double>(parser.frame_real_time(t[1])), 0.08, 1e-12);
}

TEST(Mp4Format, FtypDecidesTheFormat) {
    struct Case {
        const char* name;
        Bytes bytes;
        bool mp4;
    };
    const Case cases[] = {
        {"ftyp", ftyp(), true},
        {"moov first", box("moov", {}), false},
        {"shorter than 8 bytes", Bytes{0, 0, 0, 8, 'f', 't', 'y'}, false},
        {"empty", {}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::istringstream in(std::string(c.bytes.begin(), c.bytes.end()));
        in.seekg(0, std::ios::end);  // wherever the stream stands
        EXPECT_EQ(Mp4Parser::is_mp4_format(in), c.mp4);
    }

    TempDir dir;
    LogRecorder log;
    Mp4Parser parser(conversion_message("", "", 0), log.poster());
    write_file(dir / "text.mp4", Bytes{'h', 'e', 'l', 'l', 'o', ' ', 'w', 'o', 'r', 'l', 'd'});
    write_file(dir / "real.mp4", ftyp());
    write_file(dir / "empty.mp4", {});
    EXPECT_TRUE(parser.is_unsupported_file_format(dir / "text.mp4"));
    EXPECT_TRUE(parser.is_unsupported_file_format(dir / "empty.mp4"));
    EXPECT_FALSE(parser.is_unsupported_file_format(dir / "real.mp4"));
    EXPECT_FALSE(parser.is_unsupported_file_format(dir / "missing.mp4"));
}

}  // namespace
}  // namespace rimvault
