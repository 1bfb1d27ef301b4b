// The mp4tops command line: options, output, exit status and what happens to the input.

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "rimvaultpi/mp4parser/tests/Mp4TestSupport.h"

namespace rimvault {
namespace {

using namespace test;

class Mp4Tool : public ::testing::Test {
  protected:
    void SetUp() override {
        const char* bin = std::getenv("KIV_BIN_DIR");
        ASSERT_NE(bin, nullptr) << "KIV_BIN_DIR is not set";
        tool = std::string(bin) + "/mp4tops";
        ASSERT_TRUE(file_exists(tool));
    }

    // Runs mp4tops with `args` under TZ=UTC; standard error goes to err_file.
    int mp4tops(const std::string& args, std::string* out = nullptr) {
        return run("TZ=UTC " + tool + " " + args + " 2>" + (dir / "stderr.txt"), out);
    }
    std::string err() const {
        const Bytes b = read_file(dir / "stderr.txt");
        return std::string(b.begin(), b.end());
    }
    // A copy of a test recording to convert.
    std::string copy_of(const std::string& name) {
        const std::string file = media_file(name);
        EXPECT_FALSE(file.empty());
        const std::string copy = dir / (name + ".mp4");
        write_file(copy, read_file(file));
        return copy;
    }

    std::string tool;
    TempDir dir;
};

TEST_F(Mp4Tool, HelpAndUsageErrors) {
    std::string out;
    EXPECT_EQ(mp4tops("--help", &out), 0);
    EXPECT_NE(out.find("Usage: mp4tops [--keep] [--start SECONDS] [--owner ID] [--device N]"),
              std::string::npos);

    struct Case {
        const char* args;
        const char* message;
    };
    const Case cases[] = {
        {"", "expected INPUT.mp4 and OUTPUT_ROOT/"},
        {"in.mp4", "expected INPUT.mp4 and OUTPUT_ROOT/"},
        {"in.mp4 out/ extra", "expected INPUT.mp4 and OUTPUT_ROOT/"},
        {"--frobnicate in.mp4 out/", "unknown option --frobnicate"},
        {"--start abc in.mp4 out/", "bad value for --start: abc"},
        {"--start 4294967296 in.mp4 out/", "bad value for --start: 4294967296"},
        {"--start -1 in.mp4 out/", "bad value for --start: -1"},
        {"--owner 0x1g in.mp4 out/", "bad value for --owner: 0x1g"},
        {"--device in.mp4 out/", "bad value for --device: in.mp4"},
        {"in.mp4 out/ --type", "bad value for --type"},
        {"in.mp4 out/ --input-name", "--input-name needs a value"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args);
        EXPECT_EQ(mp4tops(c.args, &out), 2);
        EXPECT_EQ(out, "");
        EXPECT_EQ(err().rfind(std::string("mp4tops: ") + c.message + "\n", 0), 0u) << err();
    }
}

TEST_F(Mp4Tool, ConvertsAndKeepsOnRequest) {
    if (!have_ffmpeg()) GTEST_SKIP() << "ffmpeg/ffprobe not installed";
    const std::string input = copy_of("plain");
    std::string out;
    ASSERT_EQ(mp4tops("--keep --start 1457359509 --owner 0x00120000 --device 3 --input-name "
                      "lobby " +
                          input + " " + (dir / "rec"),
                      &out),
              0)
        << err();
    const std::string ps = dir / "rec/2016/03/07/14/0509-00120380r.ps";
    EXPECT_EQ(out, ps + "\n");
    EXPECT_TRUE(file_exists(input));
    EXPECT_NE(err().find("Processing mp4 container stream - " + input + ".\n"), std::string::npos)
        << err();

    std::vector<PsPacket> packets;
    ASSERT_TRUE(read_ps_media(ps, packets));
    EXPECT_EQ(packets.size(), 50u);
    EXPECT_EQ(packets[0].flags, 0x80);  // recording type 1
    const Bytes media = read_file(ps);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(media.data()) + 16 + 106 + 26, 5), "lobby");

    // Without --keep the input goes, as after a download; type 3 flags the packets 0x40.
    ASSERT_EQ(mp4tops("--start 1457359509 --owner 1179648 --device 3 --type 3 " + input + " " +
                          (dir / "rec/"),
                      &out),
              0)
        << err();
    EXPECT_EQ(out, dir / "rec/2016/03/07/14/0510-00120380r.ps\n");  // the first one stays
    EXPECT_FALSE(file_exists(input));
    ASSERT_TRUE(read_ps_media(dir / "rec/2016/03/07/14/0510-00120380r.ps", packets));
    EXPECT_EQ(packets.size(), 50u);
    EXPECT_EQ(packets[0].flags, 0x40);
}

TEST_F(Mp4Tool, ExitStatusIsTheConverterResult) {
    const std::string text = dir / "text.mp4";
    write_file(text, Bytes(64, 'x'));
    std::string out;
    EXPECT_EQ(mp4tops("--keep " + text + " " + (dir / "rec"), &out), 1);
    EXPECT_EQ(out, "");
    EXPECT_EQ(err(), "Unsupported file format - " + text + ".\n");

    if (!have_ffmpeg()) GTEST_SKIP() << "ffmpeg/ffprobe not installed";
    const std::string input = copy_of("faststart");
    Bytes cut = read_file(input);
    cut.resize(cut.size() - 100);
    write_file(input, cut);
    EXPECT_EQ(mp4tops("--start 1577934245 " + input + " " + (dir / "rec"), &out), 3);
    EXPECT_EQ(out, dir / "rec/2020/01/02/03/0405-00000080r.ps\n");
    EXPECT_NE(err().find("Bad frame size. Aborting parsing of mp4 container.\n"),
              std::string::npos);
}

}  // namespace
}  // namespace rimvault
