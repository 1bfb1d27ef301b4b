// An outside reader: the media file of a recording is an MPEG-2 program stream that ffprobe and
// ffmpeg demux and decode frame by frame.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "rimvaultpi/psfile/PSFile.h"
#include "rimvaultpi/psfile/tests/PSTestUtil.h"

using namespace pstest;

namespace {

struct AccessUnit {
    std::vector<uint8_t> bytes;
    bool key = false;
};

// Splits an H.264 Annex-B stream into access units: a unit ends before an access unit
// delimiter, SEI, SPS or PPS that follows a slice, or before a slice whose first_mb_in_slice
// is 0 (its first bit after the NAL header is 1) that follows a slice.
std::vector<AccessUnit> SplitAccessUnits(const std::vector<uint8_t>& es) {
    std::vector<size_t> starts;  // offsets of start codes (00 00 01 or 00 00 00 01)
    for (size_t i = 0; i + 3 <= es.size(); ++i) {
        if (es[i] == 0 && es[i + 1] == 0 && es[i + 2] == 1) {
            starts.push_back(i > 0 && es[i - 1] == 0 ? i - 1 : i);
            i += 2;
        }
    }
    std::vector<AccessUnit> units;
    AccessUnit current;
    bool haveSlice = false;
    for (size_t k = 0; k < starts.size(); ++k) {
        const size_t begin = starts[k];
        const size_t end = k + 1 < starts.size() ? starts[k + 1] : es.size();
        const size_t header = es[begin + 2] == 1 ? begin + 3 : begin + 4;
        if (header >= end) continue;
        const int type = es[header] & 0x1F;
        const bool slice = type == 1 || type == 5;
        const bool firstSlice = slice && header + 1 < end && (es[header + 1] & 0x80) != 0;
        const bool startsUnit = type == 9 || type == 6 || type == 7 || type == 8 || firstSlice;
        if (haveSlice && startsUnit) {
            units.push_back(current);
            current = AccessUnit();
            haveSlice = false;
        }
        current.bytes.insert(current.bytes.end(), es.begin() + begin, es.begin() + end);
        if (type == 5) current.key = true;
        if (slice) haveSlice = true;
    }
    if (!current.bytes.empty()) units.push_back(current);
    return units;
}

}  // namespace

TEST(PSFileOutsideReader, FfmpegDemuxesAndDecodesThePackets) {
    if (!HaveTool("ffmpeg") || !HaveTool("ffprobe")) GTEST_SKIP() << "ffmpeg is not installed";
    TempDir dir;
    const std::string es = dir.File("in.h264");
    int status;
    RunCommand(
        "ffmpeg -nostdin -v error -f lavfi -i testsrc=size=320x240:rate=25 -t 2 -c:v libx264 "
        "-bf 0 -g 12 -pix_fmt yuv420p -f h264 '" +
            es + "' 2>&1",
        status);
    ASSERT_EQ(0, status) << "ffmpeg could not make the H.264 sample";
    const auto units = SplitAccessUnits(ReadAll(es));
    ASSERT_EQ(50u, units.size());
    ASSERT_TRUE(units[0].key);

    const std::string media = dir.File("decoded.ps");
    auto channels = Channels();
    ASSERT_EQ(0xE0, channels[0].streamId);
    ASSERT_EQ(0x1B, channels[0].streamType);
    uint32_t keys = 0;
    {
        CPSFile f;
        ASSERT_EQ(0, f.Open(media.c_str(), FileHeader(), 32, channels.data()));
        for (uint32_t i = 0; i < units.size(); ++i) {
            ASSERT_LT(units[i].bytes.size(), 65000u);  // the PES length field holds 16 bits
            ASSERT_EQ(0, f.Write(Frame(0, 36000000 + 40 * i, units[i].bytes, units[i].key)));
            keys += units[i].key ? 1 : 0;
        }
    }
    EXPECT_EQ(5u, keys);

    // Every packet of the media file is a PES packet that demuxes and decodes: read from the
    // data start, all 50 frames decode without a single error.
    const std::string packets = "-skip_initial_bytes 1978 -i '" + media + "'";
    const std::string frames = RunCommand(
        "ffprobe -v error -select_streams v:0 -count_frames -show_entries "
        "stream=codec_name,nb_read_frames,width,height -of default=noprint_wrappers=1 " +
            packets + " 2>&1",
        status);
    ASSERT_EQ(0, status) << frames;
    EXPECT_EQ("codec_name=h264\nwidth=320\nheight=240\nnb_read_frames=50\n", frames);
    EXPECT_EQ("", RunCommand("ffmpeg -nostdin -v error " + packets + " -f null - 2>&1", status));
    EXPECT_EQ(0, status);
    EXPECT_EQ("50\n", RunCommand("ffmpeg -nostdin -v error " + packets +
                                     " -map 0:v:0 -f framemd5 - 2>/dev/null | grep -vc '^#'",
                                 status));

    // The whole file: the stream map announces H.264 (stream type 0x1B) for stream 0xE0. The
    // map has no CRC field, and this demuxer reads four bytes past the map as its CRC: those
    // are the first packet's start code, so it loses the first packet (and with it the first
    // group of pictures) and resumes at the second. Every later packet is demuxed in order.
    const std::string whole =
        RunCommand("ffprobe -v error -select_streams v:0 -show_entries packet=pts -of csv=p=0 '" +
                       media + "' 2>/dev/null",
                   status);
    ASSERT_EQ(0, status);
    std::string expected;
    for (uint32_t i = 1; i < 50; ++i) expected += std::to_string(90 * (36000000 + 40 * i)) + "\n";
    EXPECT_EQ(expected, whole);

    // The payloads read back are the elementary stream, byte for byte.
    CPSFile r;
    ASSERT_EQ(0, r.Open(media.c_str()));
    std::vector<uint8_t> joined, buffer;
    for (uint32_t i = 0; i < r.Count(0); ++i) {
        _PSFILE_PACKET p;
        ASSERT_EQ(0, ReadWithData(r, 0, i, buffer, p));
        joined.insert(joined.end(), p.payload, p.payload + p.payloadSize);
    }
    EXPECT_EQ(ReadAll(es), joined);
}
