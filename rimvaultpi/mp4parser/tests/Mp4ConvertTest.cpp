// The conversion: hand-built files for the sample-to-chunk walk, NAL rewriting, key flags,
// frame times, parameter sets and every failure with its log text and result; then real H.264
// files made by ffmpeg, checked against ffprobe's view of their samples, through the real PS
// writer, and cut short at many lengths.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <cmath>
#include <string>

#include "rimvaultpi/mp4parser/Mp4Parser.h"
#include "rimvaultpi/mp4parser/Mp4Time.h"
#include "rimvaultpi/mp4parser/tests/Mp4BoxBuilder.h"
#include "rimvaultpi/mp4parser/tests/Mp4TestSupport.h"
#include "rimvaultpi/psfile/PSFile.h"

namespace rimvault {
namespace {

using namespace test;

constexpr int kInfo = 25;
constexpr int kError = 75;

// A sample made of NAL units, each behind its 4-byte length.
Bytes nal_sample(std::initializer_list<Bytes> nals) {
    Bytes out;
    for (const Bytes& n : nals) out = cat({out, be32(uint32_t(n.size())), n});
    return out;
}

// A NAL unit of `type` and `length` bytes in all.
Bytes nal(uint8_t type, size_t length, uint8_t fill) {
    Bytes n(length, fill);
    if (length > 0) n[0] = type;
    return n;
}

// A small MP4 file: ftyp, the samples in an mdat (3 junk bytes before each chunk), then moov.
struct HandFile {
    std::vector<Bytes> samples;
    std::vector<uint32_t> chunks;  // samples per chunk, laid out in order
    std::vector<StscRun> runs;     // the sample-to-chunk table
    std::vector<uint32_t> keys;    // "stss" entries (no box when empty and !empty_stss)
    Bytes entry = sample_entry("avc1", 320, 240);
    const char* handler = "vide";
    uint32_t timescale = 1000;
    uint32_t duration = 0;          // 0: 40 ms per sample
    std::vector<uint32_t> sizes;    // overrides the sample sizes when not empty
    std::vector<uint32_t> offsets;  // overrides the chunk offsets when not empty

    Bytes build() const {
        const Bytes head = ftyp();
        Bytes media;
        std::vector<uint32_t> chunk_offsets;
        size_t next = 0;
        for (uint32_t count : chunks) {
            media = cat({media, Bytes(3, 0xEE)});
            chunk_offsets.push_back(uint32_t(head.size() + 8 + media.size()));
            for (uint32_t i = 0; i < count && next < samples.size(); ++i) {
                media = cat({media, samples[next++]});
            }
        }
        std::vector<uint32_t> sample_sizes = sizes;
        if (sample_sizes.empty()) {
            for (const Bytes& s : samples) sample_sizes.push_back(uint32_t(s.size()));
        }
        const uint32_t n = uint32_t(sample_sizes.size());
        Bytes tables = cat({stsd({entry}), stts({{n, 1}})});
        if (!keys.empty()) tables = cat({tables, stss(keys)});
        Bytes stsc_box = be32(uint32_t(runs.size()));
        for (const StscRun& r : runs) {
            stsc_box = cat({stsc_box, be32(r.first_chunk), be32(r.samples_per_chunk), be32(1)});
        }
        tables = cat({tables, box("stsc", full(stsc_box)), stsz(sample_sizes),
                      stco(offsets.empty() ? chunk_offsets : offsets)});
        const uint32_t total = duration != 0 ? duration : 40 * n;
        return cat({head, box("mdat", media),
                    box("moov", cat({mvhd(timescale, total), trak(tables, handler)}))});
    }
};

class Mp4Convert : public ::testing::Test {
  protected:
    // Converts `file` (written to a temporary MP4) with a converter that records the frames.
    int convert(const Bytes& file, bool real_ps = false, uint32_t start = 1000000000) {
        source = dir / "in.mp4";
        write_file(source, file);
        parser = std::make_unique<CapturingParser>(conversion_message(source, dir / "out", start),
                                                   log.poster());
        parser->fake_ps_file = !real_ps;
        return parser->parse();
    }
    const std::vector<CapturingParser::Captured>& frames() const { return parser->frames; }

    ScopedTimeZone zone{"UTC"};
    TempDir dir;
    std::string source;
    LogRecorder log;
    std::unique_ptr<CapturingParser> parser;
};

std::vector<Bytes> numbered_samples(size_t count) {
    std::vector<Bytes> samples;
    for (size_t i = 0; i < count; ++i) {
        samples.push_back(nal_sample({nal(0x65, 3 + i, uint8_t(i + 1))}));
    }
    return samples;
}

// `count` numbered samples in one chunk.
HandFile one_chunk_of(size_t count) {
    HandFile f;
    f.samples = numbered_samples(count);
    f.chunks = {uint32_t(count)};
    f.runs = {{1, uint32_t(count)}};
    return f;
}

TEST_F(Mp4Convert, SampleToChunkWalk) {
    struct Case {
        const char* name;
        std::vector<uint32_t> chunks;
        std::vector<StscRun> runs;
        size_t samples;
    };
    const Case cases[] = {
        {"one run of 3 per chunk", {3, 3, 1}, {{1, 3}}, 7},
        {"2 per chunk, then 1 from chunk 3", {2, 2, 1, 1}, {{1, 2}, {3, 1}}, 6},
        {"a run for every chunk", {1, 2, 3}, {{1, 1}, {2, 2}, {3, 3}}, 6},
        {"last chunk holds fewer than its run says", {2, 1}, {{1, 2}}, 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        HandFile f;
        f.samples = numbered_samples(c.samples);
        f.chunks = c.chunks;
        f.runs = c.runs;
        EXPECT_EQ(convert(f.build()), 0) << log.all();
        ASSERT_EQ(frames().size(), c.samples);
        for (size_t i = 0; i < c.samples; ++i) {
            EXPECT_EQ(frames()[i].bytes, annexb_of_sample(f.samples[i])) << "sample " << i;
        }
    }
}

TEST_F(Mp4Convert, NalLengthsBecomeStartCodes) {
    HandFile f;
    f.samples = {nal_sample({nal(0x06, 5, 0xAA), nal(0x65, 7, 0xBB)}),  // 20 bytes in all
                 {},                                                    // a zero-size sample
                 nal_sample({nal(0x41, 1, 0)})};
    f.chunks = {3};
    f.runs = {{1, 3}};
    ASSERT_EQ(convert(f.build()), 0) << log.all();
    ASSERT_EQ(frames().size(), 3u);
    EXPECT_EQ(frames()[0].bytes,
              cat({Bytes{0, 0, 0, 1}, nal(0x06, 5, 0xAA), Bytes{0, 0, 0, 1}, nal(0x65, 7, 0xBB)}));
    EXPECT_TRUE(frames()[1].bytes.empty());
    EXPECT_EQ(frames()[2].bytes, (Bytes{0, 0, 0, 1, 0x41}));
}

TEST_F(Mp4Convert, KeyFlagsFromSyncSamples) {
    HandFile f;
    f.samples = numbered_samples(5);
    f.chunks = {5};
    f.runs = {{1, 5}};
    ASSERT_EQ(convert(f.build()), 0);
    for (const auto& frame : frames()) EXPECT_TRUE(frame.key);  // no "stss": all sync samples

    f.keys = {4, 1};  // not necessarily in order
    ASSERT_EQ(convert(f.build()), 0);
    std::vector<bool> keys;
    for (const auto& frame : frames()) keys.push_back(frame.key);
    EXPECT_EQ(keys, (std::vector<bool>{true, false, false, true, false}));
}

// Frame i is stamped start + i * period, to the millisecond, in the PS packet's UTC date and
// time of day.
TEST_F(Mp4Convert, FrameTimesFromStartAndPeriod) {
    HandFile f;
    f.samples = numbered_samples(26);
    f.chunks = {10, 10, 6};
    f.runs = {{1, 10}, {3, 6}};
    f.duration = 26 * 500;  // 0.5 s per frame at 1000 Hz
    ASSERT_EQ(convert(f.build(), true, 1000000000), 0) << log.all();
    ASSERT_EQ(frames().size(), 26u);
    for (size_t i = 0; i < frames().size(); ++i) {
        EXPECT_EQ(frames()[i].time_ms, 1000000000000 + int64_t(i) * 500);
    }
    std::vector<PsPacket> packets;
    ASSERT_TRUE(read_ps_media(parser->ps_path(), packets));
    ASSERT_EQ(packets.size(), 26u);
    // 1 000 000 012.5 s: 2001-09-09 01:46:52.500 UTC.
    EXPECT_EQ(packets[25].packed_date, (1 << 9) | (9 << 5) | 9);
    EXPECT_EQ(packets[25].ms_of_day, (1 * 3600 + 46 * 60 + 52) * 1000u + 500);
    EXPECT_EQ(packets[0].ms_of_day, (1 * 3600 + 46 * 60 + 40) * 1000u);
    EXPECT_EQ(packets[0].flags, 0x80);  // recording type 1
    EXPECT_EQ(packets[0].stream_id, 0xD0);

    // 25 frames per second: exact milliseconds, not a sum of rounded periods.
    f.samples = numbered_samples(30);
    f.chunks = {30};
    f.runs = {{1, 30}};
    f.timescale = 90000;
    f.duration = 30 * 3600;
    ASSERT_EQ(convert(f.build(), false, 1457359509), 0);
    for (size_t i = 0; i < frames().size(); ++i) {
        EXPECT_EQ(frames()[i].time_ms, 1457359509000 + int64_t(i) * 40) << i;
    }
}

// Key frames without their own SPS get the configuration's parameter sets in front.
TEST_F(Mp4Convert, ParameterSetsBeforeKeyFramesWithoutThem) {
    const Bytes sps = {0x67, 0x42, 0xC0, 0x1E, 0xDA};
    const Bytes pps = {0x68, 0xCE, 0x3C, 0x80};
    const Bytes parameter_sets = cat({Bytes{0, 0, 0, 1}, sps, Bytes{0, 0, 0, 1}, pps});
    HandFile f;
    f.entry = sample_entry("avc1", 320, 240, avcc({sps}, {pps}));
    f.samples = {nal_sample({nal(0x65, 9, 1)}),                    // key frame, no SPS
                 nal_sample({nal(0x41, 9, 2)}),                    // not a key frame
                 nal_sample({sps, pps, nal(0x65, 9, 3)}),          // key frame with its own SPS
                 nal_sample({nal(0x06, 4, 7), nal(0x65, 9, 4)})};  // key frame, SEI first
    f.chunks = {4};
    f.runs = {{1, 4}};
    f.keys = {1, 3, 4};
    ASSERT_EQ(convert(f.build()), 0) << log.all();
    ASSERT_EQ(frames().size(), 4u);
    EXPECT_EQ(frames()[0].bytes, cat({parameter_sets, annexb_of_sample(f.samples[0])}));
    EXPECT_EQ(frames()[1].bytes, annexb_of_sample(f.samples[1]));
    EXPECT_EQ(frames()[2].bytes, annexb_of_sample(f.samples[2]));
    EXPECT_EQ(frames()[3].bytes, cat({parameter_sets, annexb_of_sample(f.samples[3])}));
}

// Which tracks become packets: only H.264 video with 4-byte NAL lengths.
TEST_F(Mp4Convert, OnlyVideoTracksAreConverted) {
    struct Case {
        const char* name;
        Bytes entry;
        const char* handler;
        int result;
        size_t frames;
        std::string log_line;
        int level;
    };
    const Case cases[] = {
        {"H.264 video", sample_entry("avc1", 8, 8), "vide", 0, 2, "", 0},
        {"H.264 without handler", sample_entry("avc3", 8, 8), nullptr, 0, 2, "", 0},
        {"audio", box("mp4a", Bytes(28, 0)), "soun", 0, 0,
         "Skipping track of sample format mp4a.\n", kInfo},
        {"audio without handler", box("mp4a", Bytes(28, 0)), nullptr, 0, 0,
         "Skipping track of sample format mp4a.\n", kInfo},
        {"text track", box("tx3g", Bytes(40, 0)), "text", 0, 0,
         "Skipping track of sample format tx3g.\n", kInfo},
        {"metadata track of H.264 format", sample_entry("avc1", 8, 8), "meta", 0, 0,
         "Skipping track of sample format avc1.\n", kInfo},
        {"video in another codec", sample_entry("hvc1", 8, 8), "vide", 1, 0,
         "Unsupported video sample format hvc1. Skipping track.\n", kError},
        {"2-byte NAL lengths", sample_entry("avc1", 8, 8, avcc({{0x67, 1}}, {{0x68, 1}}, 2)),
         "vide", 1, 0, "Unsupported video sample format avc1. Skipping track.\n", kError},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        log.lines.clear();
        HandFile f;
        f.entry = c.entry;
        f.handler = c.handler;
        f.samples = numbered_samples(2);
        f.chunks = {2};
        f.runs = {{1, 2}};
        EXPECT_EQ(convert(f.build(), true), c.result) << log.all();
        EXPECT_EQ(frames().size(), c.frames);
        if (!c.log_line.empty()) {
            EXPECT_TRUE(log.has(c.level, c.log_line)) << log.all();
        }
        EXPECT_TRUE(file_exists(parser->ps_path()));  // the recording is opened in every case
        EXPECT_FALSE(file_exists(source));
    }
}

// The failure table: each failure's log line, result, and whether the MP4 file is deleted.
TEST_F(Mp4Convert, FailuresAndTheirResults) {
    HandFile good;
    good.samples = numbered_samples(4);
    good.chunks = {2, 2};
    good.runs = {{1, 2}};

    HandFile oversized = good;  // sample 3's first NAL claims more than the largest sample
    oversized.samples[2] = cat({be32(100000), Bytes(4, 0)});
    HandFile overrun = good;  // sample 3's NAL runs past the sample's end
    overrun.samples[2] = nal_sample({nal(0x41, 5, 0)});
    overrun.sizes = {7, 8, 6, 10};
    HandFile beyond = good;          // the second chunk lies past the end of the file
    beyond.offsets = {31, 1000000};  // the first chunk stays where build() puts it
    HandFile cut_length = good;      // a sample too short to hold a NAL length
    cut_length.sizes = {7, 8, 3, 10};
    HandFile unlocated = good;  // the chunks hold fewer samples than the sizes list
    unlocated.chunks = {1, 1};
    unlocated.runs = {{1, 1}};

    struct Case {
        const char* name;
        Bytes file;
        int result;
        std::string log_line;
        size_t frames;
        bool deleted;
    };
    const Case cases[] = {
        {"not MP4", Bytes{'n', 'o', 't', ' ', 'm', 'p', '4', '!', '!'}, 1,
         "Unsupported file format - " + (dir / "in.mp4") + ".\n", 0, true},
        {"no tables", cat({ftyp(), box("free", Bytes(20, 0))}), 1,
         "No sample tables found in mp4 container.\n", 0, true},
        {"NAL length above the largest sample", oversized.build(), 3,
         "Bad frame size. Aborting parsing of mp4 container.\n", 2, true},
        {"NAL past the sample's end", overrun.build(), 3,
         "Bad frame size. Aborting parsing of mp4 container.\n", 2, true},
        {"chunk past the end of the file", beyond.build(), 3,
         "Bad frame size. Aborting parsing of mp4 container.\n", 2, true},
        {"sample shorter than a NAL length", cut_length.build(), 3,
         "Bad frame size. Aborting parsing of mp4 container.\n", 2, true},
        {"samples the chunks do not hold", unlocated.build(), 3,
         "Sample tables do not locate every sample. Aborting parsing of mp4 container.\n", 2, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        log.lines.clear();
        EXPECT_EQ(convert(c.file), c.result);
        EXPECT_TRUE(log.has(kError, c.log_line)) << log.all();
        EXPECT_EQ(frames().size(), c.frames);
        for (size_t i = 0; i < frames().size(); ++i) {
            EXPECT_EQ(frames()[i].bytes, annexb_of_sample(good.samples[i]));
        }
        EXPECT_EQ(file_exists(source), !c.deleted);
    }
}

// Tables that point every chunk at the same bytes: a small file must not make a recording of
// any size. The conversion stops once the samples read add up to more than the file.
TEST_F(Mp4Convert, SamplesReusingBytesStopAtTheFileSize) {
    HandFile reused;  // 2 000 chunks that all point at the file's one sample
    reused.samples = {nal_sample({nal(0x65, 100, 1)})};
    reused.chunks = {1};
    reused.runs = {{1, 1}};
    reused.sizes.assign(2000, uint32_t(reused.samples[0].size()));
    reused.offsets.assign(2000, 31);
    const Bytes file = reused.build();

    EXPECT_EQ(convert(file), 3);
    EXPECT_TRUE(
        log.has(kError, "Sample sizes exceed the file size. Aborting parsing of mp4 container.\n"))
        << log.all();
    EXPECT_EQ(frames().size(), file.size() / reused.samples[0].size());
    for (const auto& frame : frames()) EXPECT_EQ(frame.bytes, annexb_of_sample(reused.samples[0]));
    EXPECT_FALSE(file_exists(source));
}

// A frame larger than any PS packet can hold is left out; the frames after it are stored, with
// their own times, and the result reports the loss.
TEST_F(Mp4Convert, FrameTooLargeForAPacketIsLeftOut) {
    HandFile f = one_chunk_of(3);
    f.samples[1] = nal_sample({nal(0x41, PSFILE_MAX_PACKET, 7)});
    EXPECT_EQ(convert(f.build()), 1);
    ASSERT_EQ(frames().size(), 2u);
    EXPECT_EQ(frames()[0].bytes, annexb_of_sample(f.samples[0]));
    EXPECT_EQ(frames()[1].bytes, annexb_of_sample(f.samples[2]));
    EXPECT_EQ(frames()[1].time_ms - frames()[0].time_ms, 80);
    EXPECT_TRUE(log.has(kError, "Frame of " + std::to_string(f.samples[1].size()) +
                                    " bytes does not fit a PS packet. Skipping it.\n"))
        << log.all();
}

// Packets can date frames from 2000 to 2127 only: a clip from outside is not filed under a
// wrong date but kept, as when its recording cannot be written.
TEST_F(Mp4Convert, StartOutsideTheDatableYearsKeepsTheSource) {
    const Bytes file = one_chunk_of(2).build();
    const struct {
        uint32_t start;
        int result;
    } cases[] = {
        {0, 1},           // 1970: a camera whose clock was never set
        {946684799, 1},   // 1999-12-31T23:59:59Z
        {946684800, 0},   // 2000-01-01T00:00:00Z
        {2100000000, 0},  // 2036
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.start);
        log.lines.clear();
        EXPECT_EQ(convert(file, true, c.start), c.result);
        EXPECT_EQ(file_exists(source), c.result != 0);
        EXPECT_EQ(
            log.has(kError, "Start time of mp4 container is outside the years 2000 to 2127.\n"),
            c.result != 0)
            << log.all();
        EXPECT_EQ(frames().size(), c.result != 0 ? 0u : 2u);
    }
}

// When the recording cannot be stored, the MP4 file is its only copy and stays.
TEST_F(Mp4Convert, OutputFailuresKeepTheSource) {
    const Bytes file = one_chunk_of(4).build();

    source = dir / "in.mp4";
    write_file(source, file);
    {
        CapturingParser p(conversion_message(source, dir / "out", 1457359509), log.poster());
        p.open_result = -2;
        EXPECT_EQ(p.parse(), 1);
        EXPECT_TRUE(log.has(kError, "Error opening ps file - " + p.ps_path() + " for write\n."))
            << log.all();
        EXPECT_EQ(p.ps_path(), dir / "out/2016/03/07/14/0509-00120380r.ps");
        EXPECT_TRUE(p.frames.empty());
    }
    EXPECT_TRUE(file_exists(source));
    EXPECT_TRUE(log.has(kError, "Keeping mp4 container - " + source + ".\n")) << log.all();

    log.lines.clear();
    {
        CapturingParser p(conversion_message(source, dir / "out", 1457359509), log.poster());
        p.fail_write_at = 2;
        EXPECT_EQ(p.parse(), 1);
        EXPECT_TRUE(log.has(
            kError, "Error occured while writing frame to ps file - " + p.ps_path() + ".\n"))
            << log.all();
        EXPECT_EQ(p.frames.size(), 3u);
    }
    EXPECT_TRUE(file_exists(source));

    // Running out of memory half-way leaves the recording incomplete as well.
    log.lines.clear();
    {
        CapturingParser p(conversion_message(source, dir / "out", 1457359509), log.poster());
        p.throw_at = 1;
        EXPECT_EQ(p.parse(), 1);
        EXPECT_EQ(p.frames.size(), 2u);
    }
    EXPECT_TRUE(file_exists(source));
    EXPECT_TRUE(log.has(kError, "Keeping mp4 container - " + source + ".\n")) << log.all();

    // The real PS file, with the disk full once its headers are written: the packets are held
    // in memory until the end, and their failed write must still keep the source.
    log.lines.clear();
    {
        CapturingParser p(conversion_message(source, dir / "out", 1457359509), log.poster());
        struct rlimit old;
        ASSERT_EQ(0, ::getrlimit(RLIMIT_FSIZE, &old));
        void (*old_handler)(int) = ::signal(SIGXFSZ, SIG_IGN);
        struct rlimit limit = old;
        limit.rlim_cur = 2048;  // the media file's 1 978 header bytes, not its packets
        ASSERT_EQ(0, ::setrlimit(RLIMIT_FSIZE, &limit));
        const int result = p.parse();
        ASSERT_EQ(0, ::setrlimit(RLIMIT_FSIZE, &old));
        ::signal(SIGXFSZ, old_handler);
        EXPECT_EQ(result, 1);
        EXPECT_EQ(p.frames.size(), 4u);
        EXPECT_TRUE(log.has(
            kError, "Error occured while writing frame to ps file - " + p.ps_path() + ".\n"))
            << log.all();
    }
    EXPECT_TRUE(file_exists(source));

    log.lines.clear();
    write_file(dir / "plainfile", {1});
    {
        CapturingParser p(conversion_message(source, dir / "plainfile/below", 1457359509),
                          log.poster());
        EXPECT_EQ(p.parse(), 1);
        bool logged = false;
        for (const LogLine& l : log.lines) {
            logged |= l.level == kError &&
                      l.text.rfind("Error creating directory for ps file. What : ", 0) == 0;
        }
        EXPECT_TRUE(logged) << log.all();
    }
    EXPECT_TRUE(file_exists(source));
}

TEST_F(Mp4Convert, TrackWithoutMandatoryTablesAbortsTheStream) {
    CapturingParser p(conversion_message(dir / "none.mp4", dir / "out", 1457359509), log.poster());
    p.fake_ps_file = true;
    p.tables_for_test().resize(1);
    p.tables_for_test()[0].sample_descriptions.resize(1);
    std::istringstream in("");
    EXPECT_EQ(p.process_stream(in), 3);
    EXPECT_TRUE(log.has(kError,
                        "Did not receive mandatory sample tables. Aborting parsing of mp4 "
                        "container.\n"))
        << log.all();
}

TEST_F(Mp4Convert, MissingSourceIsReportedAndDeleteRetried) {
    CapturingParser p(conversion_message(dir / "gone.mp4", dir / "out", 0), log.poster());
    EXPECT_EQ(p.parse(), 1);
    EXPECT_TRUE(log.has(kError, "No sample tables found in mp4 container.\n")) << log.all();
    EXPECT_TRUE(log.has(
        kError, "Error deleting file - " + (dir / "gone.mp4") + ". Attempting to delete again.\n"))
        << log.all();
    EXPECT_EQ(p.slept, (std::vector<unsigned>{2}));
    EXPECT_EQ(p.delete_file(), 1);
}

// The information lines of a conversion, and the document each one travels in.
TEST_F(Mp4Convert, LogDocuments) {
    HandFile f;
    f.samples = numbered_samples(2);
    f.chunks = {2};
    f.runs = {{1, 2}};
    ASSERT_EQ(convert(f.build(), true, 1457359509), 0);
    const std::string ps = dir / "out/2016/03/07/14/0509-00120380r.ps";
    EXPECT_EQ(parser->ps_path(), ps);
    ASSERT_EQ(log.lines.size(), 3u) << log.all();
    EXPECT_EQ(log.lines[0].text, "Parsing mp4 container - " + source + ".\n");
    EXPECT_EQ(log.lines[1].text, "Opened (and PSI) " + ps + ".\n");
    EXPECT_EQ(log.lines[2].text, "Processing mp4 container stream - " + source + ".\n");
    for (const LogLine& l : log.lines) {
        EXPECT_EQ(l.level, kInfo);
        EXPECT_EQ(l.routing, 0x040u);
    }
    EXPECT_EQ(log.lines[0].xml,
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?><log_msg level=\"25\">Parsing mp4 "
              "container - " +
                  source + ".\n</log_msg>");
}

// ---- Real recordings made by ffmpeg ----

class Mp4ConvertFfmpeg : public Mp4Convert {
  protected:
    void SetUp() override {
        if (!have_ffmpeg()) GTEST_SKIP() << "ffmpeg/ffprobe not installed";
    }
    // Converts a copy of the named test file through the real PS writer.
    int convert_media(const std::string& name, bool real_ps = true) {
        const std::string file = media_file(name);
        EXPECT_FALSE(file.empty()) << "ffmpeg could not make " << name;
        return convert(read_file(file), real_ps, 1457359509);
    }
};

TEST_F(Mp4ConvertFfmpeg, EverySampleBecomesOnePacket) {
    for (const char* name : {"plain", "faststart", "audio", "text"}) {
        SCOPED_TRACE(name);
        log.lines.clear();
        const auto reference = reference_samples(media_file(name));
        ASSERT_EQ(reference.size(), 50u);
        ASSERT_EQ(convert_media(name), 0) << log.all();
        for (const LogLine& l : log.lines) EXPECT_EQ(l.level, kInfo) << l.text;
        EXPECT_FALSE(file_exists(source));

        ASSERT_EQ(frames().size(), reference.size());
        size_t keys = 0;
        for (size_t i = 0; i < reference.size(); ++i) {
            SCOPED_TRACE(i);
            EXPECT_FALSE(reference[i].annexb.empty());
            EXPECT_EQ(frames()[i].bytes, reference[i].annexb);
            EXPECT_EQ(frames()[i].key, reference[i].key);
            EXPECT_EQ(frames()[i].time_ms, 1457359509000 + int64_t(i) * 40);
            keys += reference[i].key;
        }
        EXPECT_EQ(keys, 5u);

        // The same frames, read back from the media file without the project's reader.
        const std::string ps = dir / "out/2016/03/07/14/0509-00120380r.ps";
        EXPECT_EQ(parser->ps_path(), ps);
        EXPECT_TRUE(file_exists(ps + "i"));
        std::vector<PsPacket> packets;
        ASSERT_TRUE(read_ps_media(ps, packets));
        ASSERT_EQ(packets.size(), reference.size());
        for (size_t i = 0; i < packets.size(); ++i) {
            SCOPED_TRACE(i);
            EXPECT_EQ(packets[i].payload, reference[i].annexb);
            EXPECT_EQ(packets[i].key, reference[i].key);
            EXPECT_EQ(packets[i].stream_id, 0xD0);
            EXPECT_EQ(packets[i].packed_date, (16 << 9) | (3 << 5) | 7);
            EXPECT_EQ(packets[i].ms_of_day, (14 * 3600 + 5 * 60 + 9) * 1000u + i * 40);
        }
        EXPECT_EQ(parser->channel_info(0).width, 320);
        EXPECT_EQ(parser->channel_info(0).height, 240);
        boost::filesystem::remove_all(dir / "out");
    }
}

// Without in-band parameter sets every key frame carries them, so the recording (and any part
// of it from a key frame on) decodes on its own.
TEST_F(Mp4ConvertFfmpeg, KeyFramesCarryTheConfigurationsParameterSets) {
    const auto reference = reference_samples(media_file("noinband"));
    ASSERT_EQ(reference.size(), 50u);
    ASSERT_EQ(convert_media("noinband"), 0) << log.all();
    ASSERT_EQ(frames().size(), 50u);
    Bytes stream, from_second_key;
    size_t keys_seen = 0;
    for (size_t i = 0; i < frames().size(); ++i) {
        SCOPED_TRACE(i);
        const Bytes& bytes = frames()[i].bytes;
        if (reference[i].key) {
            ++keys_seen;
            ASSERT_GT(bytes.size(), reference[i].annexb.size());
            EXPECT_EQ(Bytes(bytes.begin(), bytes.begin() + 5), (Bytes{0, 0, 0, 1, 0x67}));
            EXPECT_TRUE(std::equal(reference[i].annexb.rbegin(), reference[i].annexb.rend(),
                                   bytes.rbegin()));
        } else {
            EXPECT_EQ(bytes, reference[i].annexb);
        }
        stream.insert(stream.end(), bytes.begin(), bytes.end());
        if (keys_seen >= 2)
            from_second_key.insert(from_second_key.end(), bytes.begin(), bytes.end());
    }
    write_file(dir / "all.h264", stream);
    write_file(dir / "part.h264", from_second_key);
    std::string count;
    run("ffprobe -v error -count_frames -select_streams v:0 -show_entries stream=nb_read_frames "
        "-of csv=p=0 -f h264 " +
            (dir / "all.h264"),
        &count);
    EXPECT_EQ(std::stoi(count), 50);
    run("ffprobe -v error -count_frames -select_streams v:0 -show_entries stream=nb_read_frames "
        "-of csv=p=0 -f h264 " +
            (dir / "part.h264"),
        &count);
    EXPECT_EQ(std::stoi(count), 40);
}

// A recording cut short anywhere: never a success, never a packet that is not a whole sample.
TEST_F(Mp4ConvertFfmpeg, EveryTruncationFailsCleanly) {
    for (const char* name : {"faststart", "plain"}) {
        SCOPED_TRACE(name);
        const Bytes file = read_file(media_file(name));
        const auto reference = reference_samples(media_file(name));
        ASSERT_EQ(reference.size(), 50u);
        // Every length through the movie box of the faststart file, then a coarser step.
        for (size_t length = 0; length < file.size(); length += (length < 4096 ? 1 : 211)) {
            SCOPED_TRACE(length);
            log.lines.clear();
            const int result = convert(Bytes(file.begin(), file.begin() + long(length)));
            ASSERT_TRUE(result == 1 || result == 3) << result;
            ASSERT_LE(frames().size(), reference.size());
            for (size_t i = 0; i < frames().size(); ++i) {
                ASSERT_EQ(frames()[i].bytes, reference[i].annexb) << "frame " << i;
            }
            if (result == 3) {
                ASSERT_LT(frames().size(), reference.size());
                ASSERT_TRUE(log.has(kError, "Bad frame size. Aborting parsing of mp4 container.\n"))
                    << log.all();
            }
        }
    }
}

// Every byte of the movie box replaced (all ones, then zero): the conversion ends with one of its
// results and never crashes, hangs or writes more packets than there are samples.
TEST_F(Mp4ConvertFfmpeg, CorruptedMovieBoxNeverCrashes) {
    const Bytes file = read_file(media_file("faststart"));
    ASSERT_GT(file.size(), 64u);
    // The movie box follows the file-type box.
    const size_t moov =
        (size_t{file[0]} << 24 | size_t{file[1]} << 16 | size_t{file[2]} << 8 | file[3]);
    ASSERT_EQ(std::string(file.begin() + long(moov) + 4, file.begin() + long(moov) + 8), "moov");
    const size_t moov_end = moov + (size_t{file[moov]} << 24 | size_t{file[moov + 1]} << 16 |
                                    size_t{file[moov + 2]} << 8 | file[moov + 3]);
    for (uint8_t value : {uint8_t{0xFF}, uint8_t{0x00}}) {
        for (size_t at = moov; at < moov_end; ++at) {
            SCOPED_TRACE(at);
            Bytes corrupted = file;
            corrupted[at] = value;
            const int result = convert(corrupted);
            ASSERT_TRUE(result == 0 || result == 1 || result == 3) << result;
            ASSERT_LE(frames().size(), 50u);
        }
    }
}

}  // namespace
}  // namespace rimvault
