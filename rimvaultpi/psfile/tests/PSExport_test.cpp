// Export files: program image, trailer, streams; and reading a recording embedded in one.
#include <gtest/gtest.h>

#include <cstring>

#include "rimvaultpi/psfile/PSFile.h"
#include "rimvaultpi/psfile/tests/PSTestUtil.h"

using namespace pstest;

namespace {

FILE* OpenBytes(const TempDir& dir, const std::string& name, const std::vector<uint8_t>& bytes) {
    const std::string path = dir.File(name);
    if (!WriteAll(path, bytes)) return nullptr;
    return std::fopen(path.c_str(), "rb");
}

tagPSSingleBinEx TrailerAt(const std::vector<uint8_t>& out, size_t at) {
    tagPSSingleBinEx t;
    std::memset(&t, 0, sizeof(t));
    EXPECT_TRUE(t.Decode(&out[at]));
    return t;
}

}  // namespace

TEST(PSFileExport, LayoutOfImageTrailerAndStreams) {
    TempDir dir;
    const auto image = Payload(1000, 1), a = Payload(5000, 2), b = Payload(300, 3);
    const std::string outPath = dir.File("export.bin");
    {
        CPSExeCreator creator(OpenBytes(dir, "img", image), OpenBytes(dir, "b", b),
                              OpenBytes(dir, "a", a), nullptr);
        FILE* out = std::fopen(outPath.c_str(), "wb");
        ASSERT_EQ(0, creator.BuildExecutable(out));
    }
    const auto out = ReadAll(outPath);
    ASSERT_EQ(6380u, out.size());
    EXPECT_EQ(image, std::vector<uint8_t>(out.begin(), out.begin() + 1000));
    EXPECT_EQ(a, std::vector<uint8_t>(out.begin() + 1080, out.begin() + 6080));
    EXPECT_EQ(b, std::vector<uint8_t>(out.begin() + 6080, out.end()));
    // Short form, size, zero, long form.
    const uint32_t want32[] = {1080, 5000, 6080, 300, 0, 0, 80, 0};
    for (int i = 0; i < 8; ++i) EXPECT_EQ(want32[i], Le32At(out, 1000 + 4 * i)) << i;
    const uint32_t want64[] = {1080, 5000, 6080, 300, 0, 0};
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(want64[i], Le32At(out, 1032 + 8 * i)) << i;
        EXPECT_EQ(0u, Le32At(out, 1036 + 8 * i)) << i;
    }
}

TEST(PSFileExport, ExtraStreamAndEmptyStreamA) {
    TempDir dir;
    const auto image = Payload(10, 1), extra = Payload(7, 4), b = Payload(3, 3);
    const std::string outPath = dir.File("export.bin");
    {
        CPSExeCreator creator(OpenBytes(dir, "img", image), OpenBytes(dir, "b", b),
                              OpenBytes(dir, "a", {}), OpenBytes(dir, "x", extra));
        ASSERT_EQ(0, creator.BuildExecutable(std::fopen(outPath.c_str(), "wb")));
    }
    const auto out = ReadAll(outPath);
    ASSERT_EQ(10u + 80 + 7 + 3, out.size());
    const tagPSSingleBinEx t = TrailerAt(out, 10);
    EXPECT_EQ(90, t.llStartA);  // empty: starts where the next part starts
    EXPECT_EQ(0, t.llSizeA);
    EXPECT_EQ(90, t.llStartExtra);
    EXPECT_EQ(7, t.llSizeExtra);
    EXPECT_EQ(97, t.llStartB);
    EXPECT_EQ(3, t.llSizeB);
    EXPECT_EQ(90u, t.single.nStartExtra);
    EXPECT_EQ(extra, std::vector<uint8_t>(out.begin() + 90, out.begin() + 97));
}

TEST(PSFileExport, MissingStreamsAndTooLargeInputs) {
    TempDir dir;
    const auto image = Payload(100, 1), a = Payload(50, 2);
    const std::string outPath = dir.File("partial.bin");
    {
        // No stream B: -5 after the image, the placeholder trailer and stream A.
        CPSExeCreator creator(OpenBytes(dir, "img", image), nullptr, OpenBytes(dir, "a", a),
                              nullptr);
        ASSERT_EQ(-5, creator.BuildExecutable(std::fopen(outPath.c_str(), "wb")));
    }
    const auto out = ReadAll(outPath);
    ASSERT_EQ(100u + 80 + 50, out.size());
    std::vector<uint8_t> placeholder(80, 0);
    placeholder[24] = 80;
    EXPECT_EQ(placeholder, std::vector<uint8_t>(out.begin() + 100, out.begin() + 180));
    {
        CPSExeCreator creator(nullptr, OpenBytes(dir, "b", a), OpenBytes(dir, "a", a), nullptr);
        EXPECT_EQ(-2, creator.BuildExecutable(std::fopen(outPath.c_str(), "wb")));
    }
    {
        CPSExeCreator creator(OpenBytes(dir, "img", image), OpenBytes(dir, "b", a), nullptr,
                              nullptr);
        EXPECT_EQ(-3, creator.BuildExecutable(std::fopen(outPath.c_str(), "wb")));
        EXPECT_EQ(100u + 80, ReadAll(outPath).size());
    }
    {
        // Inputs above 0xEFFFFFAF bytes in total: -1, the output is untouched and still open.
        const std::string huge = dir.File("huge");
        FILE* h = std::fopen(huge.c_str(), "wb");
        ASSERT_NE(nullptr, h);
        const bool sparse = ftruncate(fileno(h), off_t{0xEFFFFFB0}) == 0;
        std::fclose(h);
        if (!sparse) GTEST_SKIP() << "no sparse files here";
        CPSExeCreator creator(std::fopen(huge.c_str(), "rb"), OpenBytes(dir, "b", {}),
                              OpenBytes(dir, "a", {}), nullptr);
        FILE* untouched = std::fopen(outPath.c_str(), "wb");
        ASSERT_EQ(-1, creator.BuildExecutable(untouched));
        EXPECT_EQ(0, std::fputc('x', untouched) == EOF);
        EXPECT_EQ(0, std::fclose(untouched));
        EXPECT_EQ(1u, ReadAll(outPath).size());
    }
}

TEST(PSFileExport, ShortAndLongTrailerForms) {
    struct Case {
        int64_t value;
        uint32_t shortForm;
    } cases[] = {
        {0, 0},
        {1080, 1080},
        {0xFFFFFFFF, 0xFFFFFFFF},
        {int64_t{1} << 32, 0xFFFFFFFF},
        {(int64_t{5} << 32) + 7, 0xFFFFFFFF},
        {-1, 0xFFFFFFFF},
    };
    for (const Case& c : cases) {
        tagPSSingleBinEx t;
        std::memset(&t, 0, sizeof(t));
        t.llStartA = c.value;
        t.llSizeB = c.value;
        t.llStartExtra = c.value;
        tagPSSingleBin s;
        t.ToSingleBin(s);
        EXPECT_EQ(c.shortForm, s.nStartA) << c.value;
        EXPECT_EQ(c.shortForm, s.nSizeB) << c.value;
        EXPECT_EQ(0u, s.nSizeA);
    }
    tagPSSingleBin s = {1, 2, 3, 4, 0xFFFFFFFF, 0xFFFFFFFF};
    tagPSSingleBinEx t;
    std::memset(&t, 0xAB, sizeof(t));
    t.FromSingleBin(s);
    EXPECT_EQ(1, t.llStartA);
    EXPECT_EQ(4, t.llSizeB);
    EXPECT_EQ(-1, t.llStartExtra);  // all ones marks "no extra stream"
    EXPECT_EQ(0xFFFFFFFF, t.llSizeExtra);
    EXPECT_EQ(0xABABABABu, t.single.nStartA);  // the first 32 bytes are left as they were
    EXPECT_EQ(0xABABABABu, t.cbSize);
}

TEST(PSFileExport, RecordingEmbeddedInAnExportReadsBack) {
    TempDir dir;
    const std::string media = dir.File("rec.ps");
    auto channels = Channels();
    std::vector<std::vector<uint8_t>> payloads;
    {
        CPSFile f;
        ASSERT_EQ(0, f.Open(media.c_str(), FileHeader(), 32, channels.data()));
        for (uint32_t i = 0; i < 25; ++i) {
            payloads.push_back(Payload(100 + 13 * i, i));
            ASSERT_EQ(0, f.Write(Frame(i % 3 == 2 ? 16 : 0, 1000 + 40 * i, payloads.back())));
        }
    }
    for (bool mediaFirst : {true, false}) {
        const std::string outPath = dir.File("export.bin");
        const std::string first = mediaFirst ? media : media + "i";
        const std::string second = mediaFirst ? media + "i" : media;
        {
            CPSExeCreator creator(OpenBytes(dir, "img", Payload(777, 5)),
                                  std::fopen(second.c_str(), "rb"), std::fopen(first.c_str(), "rb"),
                                  nullptr);
            ASSERT_EQ(0, creator.BuildExecutable(std::fopen(outPath.c_str(), "wb")));
        }
        const auto out = ReadAll(outPath);
        const tagPSSingleBinEx t = TrailerAt(out, 777);
        const int64_t mediaAt = mediaFirst ? t.llStartA : t.llStartB;
        const int64_t indexAt = mediaFirst ? t.llStartB : t.llStartA;
        CPSFile f;
        ASSERT_EQ(0, f.Open(outPath.c_str(), mediaAt, indexAt));
        EXPECT_TRUE(f.HasIndex());
        EXPECT_EQ(mediaAt + 1978, f.DataStart());
        ASSERT_EQ(25u, f.Count(PSFILE_ALL_SLOTS));
        ASSERT_EQ(8u, f.Count(16));
        std::vector<uint8_t> buffer;
        for (uint32_t i = 0; i < 25; ++i) {
            _PSFILE_PACKET p;
            ASSERT_EQ(0, ReadWithData(f, PSFILE_ALL_SLOTS, i, buffer, p)) << i;
            EXPECT_EQ(1000 + 40 * i, p.msOfDay);
            EXPECT_EQ(payloads[i], std::vector<uint8_t>(p.payload, p.payload + p.payloadSize));
        }
        PSClip c;
        ASSERT_EQ(0, f.Clip(1, c));
        EXPECT_EQ(16, c.slot);
        EXPECT_NE(0, f.Clip(2, c));
        _PSFILE_CHANNEL ch;
        ASSERT_EQ(0, f.ChannelInfo(0, ch));
        EXPECT_EQ(0xE0, ch.streamId);
    }
}
