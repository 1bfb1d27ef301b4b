// The psfile command line: output formats, embedded recordings, exit status and error lines.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "rimvaultpi/psfile/PSFile.h"
#include "rimvaultpi/psfile/tests/PSTestUtil.h"

using namespace pstest;

namespace {

struct Result {
    int status;
    std::string out, err;
};

std::string ToolPath() {
    const char* bin = std::getenv("KIV_BIN_DIR");
    return bin != nullptr ? std::string(bin) + "/psfile" : std::string(PSFILE_TOOL_PATH);
}

class PSFileTool : public ::testing::Test {
  protected:
    Result Tool(const std::string& args) {
        Result r;
        const std::string out = dir_.File("stdout"), err = dir_.File("stderr");
        RunCommand("'" + ToolPath() + "' " + args + " >'" + out + "' 2>'" + err + "'", r.status);
        const auto o = ReadAll(out), e = ReadAll(err);
        r.out.assign(o.begin(), o.end());
        r.err.assign(e.begin(), e.end());
        return r;
    }

    // Three packets on slot 0 ("cam \"A\"") with one on slot 16 between the last two.
    std::string MakeRecording() {
        const std::string media = dir_.File("rec.ps");
        auto channels = Channels();
        channels[0].name = "cam \"A\"";
        CPSFile f;
        EXPECT_EQ(0, f.Open(media.c_str(), FileHeader(), 32, channels.data()));
        const auto audio = Payload(17, 9);
        for (uint32_t i = 0; i < 3; ++i) {
            if (i == 2) {
                _PSFILE_PACKET p = Frame(16, 3600000 + 60, audio);
                p.flags = 0x40;
                EXPECT_EQ(0, f.Write(p));
            }
            payloads_.push_back(Payload(50 + 40 * i, i));
            EXPECT_EQ(0, f.Write(Frame(0, 3600000 + 40 * i, payloads_.back(), i == 0)));
        }
        return media;
    }

    TempDir dir_;
    std::vector<std::vector<uint8_t>> payloads_;
};

const char kInfoJson[] =
    "{\"packets\": 4, \"first\": \"2020-01-02T01:00:00.000\", \"last\": "
    "\"2020-01-02T01:00:00.080\", \"clips\": [{\"slot\": 0, \"flags\": 0, \"start\": "
    "\"2020-01-02T01:00:00.000\", \"end\": \"2020-01-02T01:00:00.000\"}, {\"slot\": 16, "
    "\"flags\": 64, \"start\": \"2020-01-02T01:00:00.000\", \"end\": "
    "\"2020-01-02T01:00:00.000\"}], \"channels\": [{\"slot\": 0, \"stream_id\": 224, "
    "\"stream_type\": 27, \"packets\": 3, \"first\": \"2020-01-02T01:00:00.000\", \"last\": "
    "\"2020-01-02T01:00:00.080\", \"width\": 320, \"height\": 240, \"codec\": 0, \"attr\": 0, "
    "\"name\": \"cam \\\"A\\\"\"}, {\"slot\": 16, \"stream_id\": 192, \"stream_type\": 144, "
    "\"packets\": 1, \"first\": \"2020-01-02T01:00:00.060\", \"last\": "
    "\"2020-01-02T01:00:00.060\", \"width\": 0, \"height\": 0, \"sample_rate\": 16000, "
    "\"audio_flag\": 0, \"audio_param\": 0, \"codec\": 0, \"attr\": 0, \"name\": \"\"}]}\n";

}  // namespace

TEST_F(PSFileTool, InfoJson) {
    const std::string media = MakeRecording();
    const Result r = Tool("info --json '" + media + "'");
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ(kInfoJson, r.out);
    EXPECT_EQ("", r.err);
}

TEST_F(PSFileTool, InfoText) {
    const std::string media = MakeRecording();
    const Result r = Tool("info '" + media + "'");
    EXPECT_EQ(0, r.status) << r.err;
    for (const char* line :
         {"packets: 4  first: 2020-01-02T01:00:00.000  last: 2020-01-02T01:00:00.080\n",
          "channel 0: stream id 0xE0, stream type 0x1B, 3 packets, first 2020-01-02T01:00:00.000, "
          "last 2020-01-02T01:00:00.080, 320x240, codec 0, attr 0, flags 0x00, name \"cam "
          "\"A\"\"\n",
          "channel 16: stream id 0xC0, stream type 0x90, 1 packets",
          "audio rate 16000 flag 0 param 0", "clips: 2\n"}) {
        EXPECT_NE(std::string::npos, r.out.find(line)) << line << "\n" << r.out;
    }
}

TEST_F(PSFileTool, PacketsJsonAndText) {
    const std::string media = MakeRecording();
    Result r = Tool("packets --json --channel 0 '" + media + "'");
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ(
        "{\"index\": 0, \"channel\": 0, \"key\": true, \"time\": \"2020-01-02T01:00:00.000\", "
        "\"size\": 82, \"payload\": 50}\n"
        "{\"index\": 1, \"channel\": 0, \"key\": false, \"time\": \"2020-01-02T01:00:00.040\", "
        "\"size\": 122, \"payload\": 90}\n"
        "{\"index\": 2, \"channel\": 0, \"key\": false, \"time\": \"2020-01-02T01:00:00.080\", "
        "\"size\": 162, \"payload\": 130}\n",
        r.out);
    r = Tool("packets '" + media + "'");
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ(
        "0 channel 0 key 2020-01-02T01:00:00.000 size 82 payload 50\n"
        "1 channel 0     2020-01-02T01:00:00.040 size 122 payload 90\n"
        "2 channel 16 key 2020-01-02T01:00:00.060 size 49 payload 17\n"
        "3 channel 0     2020-01-02T01:00:00.080 size 162 payload 130\n",
        r.out);
    r = Tool("packets --channel 5 '" + media + "'");  // a channel without packets
    EXPECT_EQ(0, r.status);
    EXPECT_EQ("", r.out);
}

TEST_F(PSFileTool, ExtractConcatenatesPayloads) {
    const std::string media = MakeRecording();
    const std::string out = dir_.File("es.bin");
    const Result r = Tool("extract --channel 0 '" + media + "' '" + out + "'");
    EXPECT_EQ(0, r.status) << r.err;
    std::vector<uint8_t> expected;
    for (const auto& p : payloads_) expected.insert(expected.end(), p.begin(), p.end());
    EXPECT_EQ(expected, ReadAll(out));
}

TEST_F(PSFileTool, ExportAndReadTheEmbeddedRecording) {
    const std::string media = MakeRecording();
    const std::string image = dir_.File("player.bin");
    ASSERT_TRUE(WriteAll(image, Payload(1234, 3)));
    const std::string out = dir_.File("export.bin");
    Result r = Tool("export --program '" + image + "' --stream-a '" + media + "' --stream-b '" +
                    media + "i' '" + out + "'");
    ASSERT_EQ(0, r.status) << r.err;
    const size_t mediaSize = ReadAll(media).size(), indexSize = ReadAll(media + "i").size();
    EXPECT_EQ("trailer 1234\nstream-a 1314 " + std::to_string(mediaSize) + "\nstream-b " +
                  std::to_string(1314 + mediaSize) + " " + std::to_string(indexSize) +
                  "\nextra 0 0\n",
              r.out);
    EXPECT_EQ(1314 + mediaSize + indexSize, ReadAll(out).size());

    const std::string offsets = " --media-offset 1314 --index-offset " +
                                std::to_string(1314 + mediaSize) + " '" + out + "'";
    r = Tool("info --json" + offsets);
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ(kInfoJson, r.out);
    r = Tool("packets --channel 16" + offsets);
    EXPECT_EQ("0 channel 16 key 2020-01-02T01:00:00.060 size 49 payload 17\n", r.out);
    const std::string es = dir_.File("es.bin");
    r = Tool("extract --channel 0" + offsets + " '" + es + "'");
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ(payloads_[0].size() + payloads_[1].size() + payloads_[2].size(), ReadAll(es).size());
}

TEST_F(PSFileTool, ErrorsGiveOneLineAndNonZeroStatus) {
    const std::string media = MakeRecording();
    const std::string text = dir_.File("notes.txt");
    ASSERT_TRUE(WriteAll(text, {'h', 'e', 'l', 'l', 'o', '\n'}));
    struct Case {
        std::string args;
        int status;
        const char* message;
    } cases[] = {
        {"info '" + dir_.File("missing.ps") + "'", 1, "cannot open"},
        {"info '" + text + "'", 1, "is not a PS recording"},
        {"info '" + dir_.Path() + "'", 1, "is a directory"},
        {"info --media-offset 1 --index-offset 5 '" + media + "'", 1, "is not a PS recording"},
        {"packets --channel 32 '" + media + "'", 2, "bad channel '32'"},
        {"packets --channel x '" + media + "'", 2, "bad channel 'x'"},
        {"extract '" + media + "' out.bin", 2, "extract needs --channel"},
        {"extract --channel 0 '" + media + "' '" + dir_.File("no/such/dir") + "'", 1,
         "cannot create"},
        {"info --media-offset 10 '" + media + "'", 2, "go together"},
        {"info", 2, "needs one recording file"},
        {"frobnicate", 2, "unknown command"},
        {"info --bogus '" + media + "'", 2, "unknown option '--bogus'"},
        {"", 2, "missing command"},
        {"export --program '" + media + "' --stream-a '" + media + "' out.bin", 2,
         "export needs --program, --stream-a and --stream-b"},
        {"export --program '" + dir_.File("nothing") + "' --stream-a '" + media + "' --stream-b '" +
             media + "' '" + dir_.File("x.bin") + "'",
         1, "cannot open"},
    };
    for (const Case& c : cases) {
        const Result r = Tool(c.args);
        EXPECT_EQ(c.status, r.status) << c.args;
        EXPECT_EQ("", r.out) << c.args;
        EXPECT_EQ(0u, r.err.rfind("psfile: ", 0)) << c.args << ": " << r.err;
        EXPECT_NE(std::string::npos, r.err.find(c.message)) << c.args << ": " << r.err;
        EXPECT_EQ(1, std::count(r.err.begin(), r.err.end(), '\n')) << c.args << ": " << r.err;
    }
}

TEST_F(PSFileTool, Help) {
    for (const char* args : {"--help", "info --help", "export --help"}) {
        const Result r = Tool(args);
        EXPECT_EQ(0, r.status) << args;
        EXPECT_EQ(0u, r.out.find("usage: psfile")) << args;
        EXPECT_NE(std::string::npos, r.out.find("--media-offset")) << args;
        EXPECT_EQ("", r.err) << args;
    }
}
