// The conversion command over a converter type: runs it, answers 3 without one, ignores cancel,
// keeps exceptions inside, and owns the converter for its own lifetime.

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "rimvaultpi/mp4parser/Mp4Parser.h"
#include "rimvaultpi/mp4parser/tests/Mp4TestSupport.h"
#include "rimvaultpi/synclayer/VideoContainerConverterCommand.h"

namespace rimvault {
namespace {

using kivsvr::rimvault::ICommand;
using kivsvr::rimvault::Message;
using kivsvr::rimvault::Poster;
using kivsvr::rimvault::VideoContainerConverterCommand;

struct Counts {
    int made = 0;
    int parsed = 0;
    int destroyed = 0;
    std::string source;
};
Counts counts;

struct FakeConverter {
    FakeConverter(const Message& message, Poster poster) {
        ++counts.made;
        counts.source = message.source_path;
        if (poster) poster(tinyxml2::XMLDocument(), 0);
    }
    ~FakeConverter() { ++counts.destroyed; }
    int parse() {
        ++counts.parsed;
        return 7;
    }
};

struct UnmakeableConverter {
    UnmakeableConverter(const Message&, Poster) { throw std::runtime_error("no converter"); }
    int parse() {
        ++counts.parsed;
        return 0;
    }
};

struct ThrowingConverter {
    ThrowingConverter(const Message&, Poster) {}
    int parse() { throw std::runtime_error("failed"); }
};

class Mp4Command : public ::testing::Test {
  protected:
    void SetUp() override { counts = Counts(); }
};

TEST_F(Mp4Command, RunsTheConverterAndOwnsIt) {
    Message message;
    message.source_path = "/tmp/clip.mp4";
    int posted = 0;
    {
        VideoContainerConverterCommand<FakeConverter> command(
            message, [&](const tinyxml2::XMLDocument&, unsigned long) { ++posted; });
        ICommand& as_command = command;
        EXPECT_EQ(counts.made, 1);
        EXPECT_EQ(counts.source, "/tmp/clip.mp4");
        EXPECT_EQ(posted, 1);  // the converter got the poster
        EXPECT_EQ(as_command.cancel(), 0);
        EXPECT_EQ(counts.parsed, 0);         // cancel does nothing ...
        EXPECT_EQ(as_command.execute(), 7);  // ... and does not stop a later execute
        EXPECT_EQ(counts.parsed, 1);
        EXPECT_EQ(counts.destroyed, 0);
    }
    EXPECT_EQ(counts.destroyed, 1);
}

TEST_F(Mp4Command, WithoutAConverterExecuteAnswersThree) {
    VideoContainerConverterCommand<UnmakeableConverter> command(Message(), nullptr);
    EXPECT_EQ(command.execute(), 3);
    EXPECT_EQ(command.cancel(), 0);
    EXPECT_EQ(counts.parsed, 0);
}

TEST_F(Mp4Command, ExceptionOfTheConversionStaysInside) {
    VideoContainerConverterCommand<ThrowingConverter> command(Message(), nullptr);
    EXPECT_EQ(command.execute(), 1);
}

// The instance the plug-in uses, on a file that is not MP4: the converter's result and log.
TEST_F(Mp4Command, OverTheMp4Converter) {
    test::TempDir dir;
    test::write_file(dir / "clip.mp4", {'n', 'o', 't', ' ', 'm', 'p', '4', '.', '.'});
    test::LogRecorder log;
    VideoContainerConverterCommand<Mp4Parser> command(
        test::conversion_message(dir / "clip.mp4", dir.path(), 0), log.poster());
    EXPECT_EQ(command.execute(), 1);
    EXPECT_TRUE(log.has(75, "Unsupported file format - " + (dir / "clip.mp4") + ".\n"))
        << log.all();
    EXPECT_FALSE(test::file_exists(dir / "clip.mp4"));
}

}  // namespace
}  // namespace rimvault
