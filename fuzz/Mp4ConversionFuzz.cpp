// The MP4 converter on a fuzzed file: the box walk, the conversion into a PS recording, and a
// read-back of whatever recording it wrote (the writer's output must always be readable).
#include <boost/filesystem/operations.hpp>
#include <string>
#include <vector>

#include "fuzz/FuzzScratch.h"
#include "fuzz/FuzzTargets.h"
#include "rimvaultpi/mp4parser/Mp4Parser.h"
#include "rimvaultpi/psfile/PSFile.h"

namespace kivfuzz {
namespace {

// Every packet of a recording the converter just wrote reads back whole.
void CheckRecording(const std::string& path) {
    boost::system::error_code ec;
    if (!boost::filesystem::exists(path, ec)) return;  // conversion failed before opening it
    CPSFile file;
    if (file.Open(path.c_str()) != PSFILE_OK) Fail("converted recording does not open");
    static std::vector<uint8_t> buffer(PSFILE_MAX_PACKET);
    const uint32_t count = file.Count(PSFILE_ALL_SLOTS);
    for (uint32_t i = 0; i < count; ++i) {
        _PSFILE_PACKET packet = {};
        packet.channel = PSFILE_ALL_SLOTS;
        packet.index = i;
        packet.data = buffer.data();
        packet.size = static_cast<uint32_t>(buffer.size());
        if (file.Read(packet) != PSFILE_OK) Fail("packet of a converted recording unreadable");
    }
}

}  // namespace

int Mp4Conversion(const uint8_t* data, size_t size) {
    const std::string input = ScratchDir() + "/input.mp4";
    const std::string outputRoot = ScratchDir() + "/out";
    WriteBytes(input, data, size);

    kivsvr::rimvault::Message message;
    message.source = 0x00020000;
    message.device = 3;
    message.start_time = 1600000000;  // 2020-09-13
    message.source_path = input;
    message.input_name = "input 1";
    message.output_root = outputRoot;
    message.record_flags = 0x80;

    std::string written;
    {
        rimvault::Mp4Parser parser(message, kivsvr::rimvault::Poster());
        parser.set_retry_sleep([](unsigned) {});
        parser.parse();
        written = parser.ps_path();
    }  // the recording is complete once the converter is gone
    if (!written.empty()) CheckRecording(written);

    // Each run starts from an empty output root (names are never reused otherwise).
    boost::system::error_code ignored;
    boost::filesystem::remove_all(outputRoot, ignored);
    return 0;
}

}  // namespace kivfuzz
