// mp4tops: converts one MP4 recording into a PS recording with the plug-in's converter, from the
// conversion message the plug-in would build for a downloaded recording.
//
// Standard output: the path of the PS media file written. Standard error: the converter's log
// lines. Exit status: the converter's result (0 success, 1 failure, 3 aborted input), or 2 for
// a usage error.

#include <sys/stat.h>
#include <tinyxml2.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "rimvaultpi/mp4parser/Mp4Parser.h"
#include "rimvaultpi/synclayer/Message.h"

namespace {

constexpr int kUsageError = 2;

const char kUsage[] =
    "Usage: mp4tops [--keep] [--start SECONDS] [--owner ID] [--device N] [--type T]\n"
    "               [--input-name NAME] INPUT.mp4 OUTPUT_ROOT/\n"
    "\n"
    "Converts INPUT.mp4 into a PS recording filed under OUTPUT_ROOT by the local date and hour\n"
    "of its start, as the plug-in does for a recording downloaded from a camera, and deletes\n"
    "INPUT.mp4 afterwards.\n"
    "\n"
    "  --keep             keep INPUT.mp4\n"
    "  --start SECONDS    recording start, UTC seconds since 1970 (default: now)\n"
    "  --owner ID         owner (device plug-in) ID, decimal or 0x-hex (default 0)\n"
    "  --device N         device number (default 0)\n"
    "  --type T           recording type (default 1)\n"
    "  --input-name NAME  name of the recorded input (default \"input 1\")\n"
    "  --help             this text\n"
    "\n"
    "Prints the path of the PS media file on standard output and the converter's log lines on\n"
    "standard error. Exit status: 0 success, 1 failure, 3 aborted input, 2 usage error.\n";

// The converter, except that --keep leaves the input where it is.
class ToolParser : public rimvault::Mp4Parser {
  public:
    ToolParser(const kivsvr::rimvault::Message& message, kivsvr::rimvault::Poster poster, bool keep)
        : Mp4Parser(message, std::move(poster)), keep_(keep) {}
    int delete_file() override { return keep_ ? 0 : Mp4Parser::delete_file(); }

  private:
    bool keep_;
};

int usage_error(const std::string& message) {
    std::fprintf(stderr, "mp4tops: %s\n(see mp4tops --help)\n", message.c_str());
    return kUsageError;
}

// A whole unsigned number (base 0: decimal, 0x-hex) no larger than `max`.
bool parse_number(const char* text, int base, uint64_t max, uint64_t& out) {
    if (text == nullptr || *text == '\0' || *text == '-' || *text == '+') return false;
    errno = 0;
    char* end = nullptr;
    const unsigned long long value = std::strtoull(text, &end, base);
    if (errno != 0 || *end != '\0' || value > max) return false;
    out = value;
    return true;
}

// The flags byte of a recording type, as the plug-in sets it.
uint8_t record_flags_of(uint64_t type) {
    if (type == 1) return 0x80;
    if (type == 3) return 0x40;
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    bool keep = false;
    uint64_t start = static_cast<uint64_t>(std::time(nullptr));
    uint64_t owner = 0;
    uint64_t device = 0;
    uint64_t type = 1;
    std::string input_name = "input 1";
    std::vector<std::string> positional;

    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        auto number = [&](const char* name, int base, uint64_t max, uint64_t& out) {
            if (!parse_number(value, base, max, out)) {
                return usage_error(std::string("bad value for ") + name +
                                   (value != nullptr ? std::string(": ") + value : ""));
            }
            ++i;
            return 0;
        };
        int error = 0;
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (arg == "--keep") {
            keep = true;
        } else if (arg == "--start") {
            error = number("--start", 10, UINT32_MAX, start);
        } else if (arg == "--owner") {
            error = number("--owner", 0, UINT32_MAX, owner);
        } else if (arg == "--device") {
            error = number("--device", 10, INT32_MAX, device);
        } else if (arg == "--type") {
            error = number("--type", 10, INT32_MAX, type);
        } else if (arg == "--input-name") {
            if (value == nullptr) return usage_error("--input-name needs a value");
            input_name = value;
            ++i;
        } else if (arg.size() > 1 && arg[0] == '-' && arg != "--") {
            return usage_error("unknown option " + arg);
        } else if (arg == "--") {
            for (++i; i < argc; ++i) positional.push_back(argv[i]);
        } else {
            positional.push_back(arg);
        }
        if (error != 0) return error;
    }
    if (positional.size() != 2) return usage_error("expected INPUT.mp4 and OUTPUT_ROOT/");

    kivsvr::rimvault::Message message;
    message.source = static_cast<uint32_t>(owner);
    message.device = static_cast<int32_t>(device);
    message.start_time = static_cast<uint32_t>(start);
    message.source_path = positional[0];
    message.input_name = input_name;
    message.output_root = positional[1];
    message.record_flags = record_flags_of(type);

    auto print_log = [](const tinyxml2::XMLDocument& document, unsigned long) {
        const tinyxml2::XMLElement* root = document.RootElement();
        const char* text = root != nullptr ? root->GetText() : nullptr;
        if (text == nullptr) return;
        const size_t length = std::strlen(text);
        std::fputs(text, stderr);
        if (length == 0 || text[length - 1] != '\n') std::fputc('\n', stderr);
    };

    std::string written;
    int result;
    {
        ToolParser parser(message, print_log, keep);
        result = parser.parse();
        written = parser.ps_path();
    }  // the PS file is complete once the converter is gone
    struct stat info;
    if (!written.empty() && stat(written.c_str(), &info) == 0) {
        std::printf("%s\n", written.c_str());
    }
    return result;
}
