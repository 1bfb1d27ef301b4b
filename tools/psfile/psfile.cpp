// psfile: command-line access to PS recordings for the people who handle them.
//
//   psfile info [--json] FILE
//   psfile packets [--json] [--channel N] FILE
//   psfile extract --channel N FILE OUT
//   psfile export --program IMG --stream-a FILE --stream-b FILE [--extra FILE] OUT
//
// info, packets and extract also take --media-offset A --index-offset B to read a recording
// embedded in an export. Exit status: 0 success, 1 the files could not be read or written,
// 2 the command line is wrong. Errors are one line on standard error.
#include "rimvaultpi/psfile/PSFile.h"

#include <errno.h>
#include <sys/stat.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

const char kUsage[] =
    "usage: psfile COMMAND [OPTIONS] ...\n"
    "\n"
    "  psfile info [--json] FILE\n"
    "      file description, channels with packets, packet count, first and last time, clips\n"
    "  psfile packets [--json] [--channel N] FILE\n"
    "      one line per packet, all channels in file order or channel N (0-31)\n"
    "  psfile extract --channel N FILE OUT\n"
    "      the channel's payloads, concatenated in order, written to OUT\n"
    "  psfile export --program IMG --stream-a FILE --stream-b FILE [--extra FILE] OUT\n"
    "      a self-contained export: IMG, an 80-byte trailer, stream A, the extra file, "
    "stream B\n"
    "\n"
    "  --media-offset A --index-offset B   (info, packets, extract) read a recording stored\n"
    "      inside an export: media at byte A, index at byte B of FILE\n"
    "  --help   this text\n"
    "\n"
    "FILE is the media file; its index is FILE followed by \"i\" (without it the media is\n"
    "scanned). Exit status: 0 success, 1 the files could not be read or written, 2 wrong "
    "usage.\n";

// Reports one error line and gives the exit status to return.
int Error(int status, const std::string& message) {
    std::fprintf(stderr, "psfile: %s\n", message.c_str());
    return status;
}

struct Options {
    std::string command;
    bool json = false;
    bool help = false;
    int channel = -1;
    int64_t mediaOffset = 0;
    int64_t indexOffset = 0;
    bool offsets = false;
    std::string program, streamA, streamB, extra;
    std::vector<std::string> files;
};

bool ParseNumber(const char* text, int64_t max, int64_t& out) {
    if (text == nullptr || *text < '0' || *text > '9') return false;
    errno = 0;
    char* end = nullptr;
    const long long v = std::strtoll(text, &end, 10);
    if (errno != 0 || *end != '\0' || v < 0 || v > max) return false;
    out = v;
    return true;
}

// Fills `o` from the command line; on a mistake returns false with `error` set.
bool ParseOptions(int argc, char** argv, Options& o, std::string& error) {
    if (argc < 2) {
        error = "missing command (try psfile --help)";
        return false;
    }
    o.command = argv[1];
    if (o.command == "--help" || o.command == "-h" || o.command == "help") {
        o.help = true;
        return true;
    }
    if (o.command != "info" && o.command != "packets" && o.command != "extract" &&
        o.command != "export") {
        error = "unknown command '" + o.command + "' (try psfile --help)";
        return false;
    }
    bool haveMedia = false, haveIndex = false;
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&](const char* name) -> const char* {
            if (i + 1 >= argc) {
                error = std::string("option ") + name + " needs a value";
                return nullptr;
            }
            return argv[++i];
        };
        if (arg == "--help" || arg == "-h") {
            o.help = true;
        } else if (arg == "--json" && (o.command == "info" || o.command == "packets")) {
            o.json = true;
        } else if (arg == "--channel" && (o.command == "packets" || o.command == "extract")) {
            const char* v = value("--channel");
            int64_t n;
            if (v == nullptr) return false;
            if (!ParseNumber(v, PSFILE_SLOTS - 1, n)) {
                error = std::string("bad channel '") + v + "' (a slot number from 0 to 31)";
                return false;
            }
            o.channel = static_cast<int>(n);
        } else if ((arg == "--media-offset" || arg == "--index-offset") && o.command != "export") {
            const char* v = value(arg.c_str());
            int64_t n;
            if (v == nullptr) return false;
            if (!ParseNumber(v, INT64_MAX, n)) {
                error = "bad " + arg + " '" + v + "' (a byte offset)";
                return false;
            }
            if (arg == "--media-offset") {
                o.mediaOffset = n;
                haveMedia = true;
            } else {
                o.indexOffset = n;
                haveIndex = true;
            }
        } else if (o.command == "export" && (arg == "--program" || arg == "--stream-a" ||
                                             arg == "--stream-b" || arg == "--extra")) {
            const char* v = value(arg.c_str());
            if (v == nullptr) return false;
            std::string& target = arg == "--program"    ? o.program
                                  : arg == "--stream-a" ? o.streamA
                                  : arg == "--stream-b" ? o.streamB
                                                        : o.extra;
            target = v;
        } else if (arg.size() > 1 && arg[0] == '-') {
            error = "unknown option '" + arg + "' for " + o.command + " (try psfile --help)";
            return false;
        } else {
            o.files.push_back(arg);
        }
    }
    if (o.help) return true;
    if (haveMedia != haveIndex) {
        error = "--media-offset and --index-offset go together";
        return false;
    }
    o.offsets = haveMedia;
    if (o.offsets && o.indexOffset == 0) {
        error = "--index-offset must be above 0 for an embedded recording";
        return false;
    }
    const size_t wanted = o.command == "info" || o.command == "packets" ? 1 : 2;
    if (o.command == "export") {
        if (o.program.empty() || o.streamA.empty() || o.streamB.empty()) {
            error = "export needs --program, --stream-a and --stream-b";
            return false;
        }
        if (o.files.size() != 1) {
            error = "export needs one output file";
            return false;
        }
        return true;
    }
    if (o.command == "extract" && o.channel < 0) {
        error = "extract needs --channel N";
        return false;
    }
    if (o.files.size() != wanted) {
        error = o.command + (wanted == 1 ? " needs one recording file" : " needs FILE and OUT");
        return false;
    }
    return true;
}

// Opens the recording named on the command line; on failure returns the exit status.
int OpenRecording(const Options& o, CPSFile& file) {
    const std::string& path = o.files[0];
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) {
        return Error(kExitFailed, "cannot open '" + path + "': " + std::strerror(errno));
    }
    if (S_ISDIR(st.st_mode)) return Error(kExitFailed, "'" + path + "' is a directory");
    const int32_t rc =
        o.offsets ? file.Open(path.c_str(), o.mediaOffset, o.indexOffset) : file.Open(path.c_str());
    if (rc == PSFILE_EOPEN) {
        return Error(kExitFailed, "cannot open '" + path + "': " + std::strerror(errno));
    }
    _PSFILE_HEADER header;
    if (rc != PSFILE_OK || (!file.HasIndex() && file.FileInfo(header) != PSFILE_OK &&
                            file.Count(PSFILE_ALL_SLOTS) == 0)) {
        return Error(kExitFailed,
                     "'" + path + "' is not a PS recording" +
                         (rc != PSFILE_OK ? " (error " + std::to_string(rc) + ")" : std::string()));
    }
    return kExitOk;
}

std::string FormatTime(uint16_t year, uint16_t month, uint16_t day, int hour, int minute,
                       int second, int millisecond) {
    char text[64];
    std::snprintf(text, sizeof(text), "%04u-%02u-%02uT%02d:%02d:%02d.%03d", year, month, day, hour,
                  minute, second, millisecond);
    return text;
}

std::string FormatTime(const _PSFILE_PACKET& p) {
    return FormatTime(p.year, p.month, p.day, p.hour, p.minute, p.second, p.millisecond);
}

std::string FormatTime(const struct tm& t) {
    return FormatTime(static_cast<uint16_t>(t.tm_year + 1900), static_cast<uint16_t>(t.tm_mon + 1),
                      static_cast<uint16_t>(t.tm_mday), t.tm_hour, t.tm_min, t.tm_sec, 0);
}

std::string JsonString(const char* text) {
    std::string out = "\"";
    for (const char* c = text == nullptr ? "" : text; *c != '\0'; ++c) {
        const unsigned char b = static_cast<unsigned char>(*c);
        if (b == '"' || b == '\\') {
            out += '\\';
            out += static_cast<char>(b);
        } else if (b < 0x20 || b >= 0x7F) {
            char esc[8];
            std::snprintf(esc, sizeof(esc), "\\u%04x", b);
            out += esc;
        } else {
            out += static_cast<char>(b);
        }
    }
    return out + "\"";
}

std::string Quoted(const char* text) {
    std::string out = "\"";
    for (const char* c = text == nullptr ? "" : text; *c != '\0'; ++c) {
        const unsigned char b = static_cast<unsigned char>(*c);
        out += b < 0x20 || b >= 0x7F ? '?' : static_cast<char>(b);
    }
    return out + "\"";
}

int Info(const Options& o) {
    CPSFile file;
    if (int status = OpenRecording(o, file); status != kExitOk) return status;
    const uint32_t total = file.Count(PSFILE_ALL_SLOTS);
    _PSFILE_PACKET first{}, last{};
    const bool haveTimes = file.PacketTimes(PSFILE_ALL_SLOTS, first, last) == PSFILE_OK;
    _PSFILE_HEADER header{};
    const bool haveHeader = file.FileInfo(header) == PSFILE_OK;

    std::vector<PSClip> clips;
    PSClip clip;
    for (uint32_t n = 0; file.Clip(n, clip) == PSFILE_OK; ++n) clips.push_back(clip);

    std::string out;
    if (o.json) {
        out += "{\"packets\": " + std::to_string(total);
        out += ", \"first\": " + (haveTimes ? "\"" + FormatTime(first) + "\"" : "null");
        out += ", \"last\": " + (haveTimes ? "\"" + FormatTime(last) + "\"" : "null");
        out += ", \"clips\": [";
        for (size_t i = 0; i < clips.size(); ++i) {
            out += i == 0 ? "" : ", ";
            out += "{\"slot\": " + std::to_string(clips[i].slot) +
                   ", \"flags\": " + std::to_string(clips[i].flags) + ", \"start\": \"" +
                   FormatTime(clips[i].start) + "\", \"end\": \"" + FormatTime(clips[i].end) +
                   "\"}";
        }
        out += "], \"channels\": [";
    } else {
        out += "file: " + o.files[0] + (file.HasIndex() ? "" : " (no index: media scanned)") + "\n";
        if (haveHeader) {
            char line[256];
            std::snprintf(line, sizeof(line),
                          "description: packet attribute %u, info bytes %u %u %u, info words "
                          "0x%08" PRIX32 " 0x%08" PRIX32 " 0x%08" PRIX32 " 0x%08" PRIX32 "\n",
                          header.packetAttr, header.infoByte1, header.infoByte2, header.infoByte3,
                          header.infoWord0, header.infoWord1, header.infoWord2, header.infoWord3);
            out += line;
            out += "title: " + Quoted(header.title) + "\n";
        } else {
            out += "description: none (no stream map)\n";
        }
        out += "packets: " + std::to_string(total);
        if (haveTimes) out += "  first: " + FormatTime(first) + "  last: " + FormatTime(last);
        out += "\n";
    }

    bool firstChannel = true;
    for (uint32_t slot = 0; slot < PSFILE_SLOTS; ++slot) {
        const uint32_t count = file.Count(slot);
        if (count == 0) continue;
        _PSFILE_CHANNEL ch{};
        (void)file.ChannelInfo(slot, ch);  // without a stream map only the counts are known
        _PSFILE_PACKET cf{}, cl{};
        const bool times = file.PacketTimes(slot, cf, cl) == PSFILE_OK;
        const bool video = slot < 16;
        const unsigned width = video ? ch.widthDiv16 * 16u : 0;
        const unsigned height = video ? ch.heightDiv16 * 16u : 0;
        if (o.json) {
            out += firstChannel ? "" : ", ";
            out += "{\"slot\": " + std::to_string(slot) +
                   ", \"stream_id\": " + std::to_string(ch.streamId) +
                   ", \"stream_type\": " + std::to_string(ch.streamType) +
                   ", \"packets\": " + std::to_string(count) +
                   ", \"first\": " + (times ? "\"" + FormatTime(cf) + "\"" : "null") +
                   ", \"last\": " + (times ? "\"" + FormatTime(cl) + "\"" : "null") +
                   ", \"width\": " + std::to_string(width) +
                   ", \"height\": " + std::to_string(height);
            if (!video) {
                out += ", \"sample_rate\": " + std::to_string(ch.sampleRate) +
                       ", \"audio_flag\": " + std::to_string(ch.audioFlag) +
                       ", \"audio_param\": " + std::to_string(ch.audioParam);
            }
            out += ", \"codec\": " + std::to_string(ch.codec) +
                   ", \"attr\": " + std::to_string(ch.attr) + ", \"name\": " + JsonString(ch.name) +
                   "}";
        } else {
            char line[256];
            std::snprintf(line, sizeof(line),
                          "channel %u: stream id 0x%02X, stream type 0x%02X, %u packets", slot,
                          ch.streamId, ch.streamType, count);
            out += line;
            if (times) out += ", first " + FormatTime(cf) + ", last " + FormatTime(cl);
            if (video) {
                std::snprintf(line, sizeof(line), ", %ux%u", width, height);
            } else {
                std::snprintf(line, sizeof(line), ", audio rate %u flag %u param %u", ch.sampleRate,
                              ch.audioFlag, ch.audioParam);
            }
            out += line;
            std::snprintf(line, sizeof(line), ", codec %u, attr %u, flags 0x%02X, name ", ch.codec,
                          ch.attr, ch.flags);
            out += line + Quoted(ch.name) + "\n";
        }
        firstChannel = false;
    }
    if (o.json) {
        out += "]}\n";
    } else {
        out += "clips: " + std::to_string(clips.size()) + "\n";
        for (size_t i = 0; i < clips.size(); ++i) {
            char line[64];
            std::snprintf(line, sizeof(line), "clip %zu: slot %u, flags 0x%02X", i, clips[i].slot,
                          clips[i].flags);
            out += line + (", " + FormatTime(clips[i].start) + " to " + FormatTime(clips[i].end)) +
                   "\n";
        }
    }
    std::fputs(out.c_str(), stdout);
    return kExitOk;
}

// Reads packet `index` of `channel` (PSFILE_ALL_SLOTS: in file order) with its bytes.
int32_t ReadPacket(CPSFile& file, uint16_t channel, uint32_t index, std::vector<uint8_t>& buffer,
                   _PSFILE_PACKET& p) {
    p = {};
    p.channel = channel;
    p.index = index;
    p.data = buffer.data();
    p.size = static_cast<uint32_t>(buffer.size());
    return file.Read(p);
}

int Packets(const Options& o) {
    CPSFile file;
    if (int status = OpenRecording(o, file); status != kExitOk) return status;
    const uint16_t channel = o.channel < 0 ? PSFILE_ALL_SLOTS : static_cast<uint16_t>(o.channel);
    const uint32_t count = file.Count(channel);
    std::vector<uint8_t> buffer(PSFILE_MAX_PACKET);
    for (uint32_t i = 0; i < count; ++i) {
        _PSFILE_PACKET p;
        const int32_t rc = ReadPacket(file, channel, i, buffer, p);
        if (rc != PSFILE_OK) {
            std::fflush(stdout);
            return Error(kExitFailed, "cannot read packet " + std::to_string(i) + " of '" +
                                          o.files[0] + "' (error " + std::to_string(rc) + ")");
        }
        const bool key = (p.frameType & 2) == 0;
        if (o.json) {
            std::printf("{\"index\": %" PRIu32
                        ", \"channel\": %u, \"key\": %s, \"time\": \"%s\", "
                        "\"size\": %" PRIu32 ", \"payload\": %" PRIu32 "}\n",
                        i, p.channel, key ? "true" : "false", FormatTime(p).c_str(), p.size,
                        p.payloadSize);
        } else {
            std::printf("%" PRIu32 " channel %u %s %s size %" PRIu32 " payload %" PRIu32 "\n", i,
                        p.channel, key ? "key" : "   ", FormatTime(p).c_str(), p.size,
                        p.payloadSize);
        }
    }
    if (std::fflush(stdout) != 0) return Error(kExitFailed, "cannot write to standard output");
    return kExitOk;
}

int Extract(const Options& o) {
    CPSFile file;
    if (int status = OpenRecording(o, file); status != kExitOk) return status;
    const std::string& outPath = o.files[1];
    std::unique_ptr<FILE, int (*)(FILE*)> out(std::fopen(outPath.c_str(), "wb"), std::fclose);
    if (!out) return Error(kExitFailed, "cannot create '" + outPath + "': " + std::strerror(errno));
    const uint16_t channel = static_cast<uint16_t>(o.channel);
    const uint32_t count = file.Count(channel);
    std::vector<uint8_t> buffer(PSFILE_MAX_PACKET);
    for (uint32_t i = 0; i < count; ++i) {
        _PSFILE_PACKET p;
        const int32_t rc = ReadPacket(file, channel, i, buffer, p);
        if (rc != PSFILE_OK) {
            return Error(kExitFailed, "cannot read packet " + std::to_string(i) + " of channel " +
                                          std::to_string(channel) + " (error " +
                                          std::to_string(rc) + ")");
        }
        if (p.payloadSize != 0 &&
            std::fwrite(p.payload, 1, p.payloadSize, out.get()) != p.payloadSize) {
            return Error(kExitFailed, "cannot write '" + outPath + "': " + std::strerror(errno));
        }
    }
    if (std::fclose(out.release()) != 0) {
        return Error(kExitFailed, "cannot write '" + outPath + "': " + std::strerror(errno));
    }
    return kExitOk;
}

int Export(const Options& o) {
    struct Input {
        const std::string* path;
        FILE* file;
    };
    Input inputs[] = {
        {&o.program, nullptr}, {&o.streamA, nullptr}, {&o.streamB, nullptr}, {&o.extra, nullptr}};
    for (Input& in : inputs) {
        if (in.path->empty()) continue;
        in.file = std::fopen(in.path->c_str(), "rb");
        if (in.file == nullptr) {
            const std::string message = "cannot open '" + *in.path + "': " + std::strerror(errno);
            for (Input& other : inputs) {
                if (other.file != nullptr) std::fclose(other.file);
            }
            return Error(kExitFailed, message);
        }
    }
    CPSExeCreator creator(inputs[0].file, inputs[2].file, inputs[1].file, inputs[3].file);
    const std::string& outPath = o.files[0];
    FILE* out = std::fopen(outPath.c_str(), "wb");
    if (out == nullptr) {
        return Error(kExitFailed, "cannot create '" + outPath + "': " + std::strerror(errno));
    }
    const int32_t rc = creator.BuildExecutable(out);
    if (rc == -1) std::fclose(out);  // left open by the builder
    static const char* const kReasons[] = {"",
                                           "the inputs are too large for an export",
                                           "cannot copy the program image",
                                           "cannot copy stream A",
                                           "cannot copy the extra file",
                                           "cannot copy stream B",
                                           "cannot write the trailer"};
    if (rc != 0) {
        const size_t reason = static_cast<size_t>(-rc);
        return Error(kExitFailed, "cannot build '" + outPath +
                                      "': " + (reason < 7 ? kReasons[reason] : "unknown error"));
    }
    // Tell where the parts landed, for --media-offset and --index-offset.
    FILE* check = std::fopen(outPath.c_str(), "rb");
    struct stat st;
    if (check != nullptr && ::stat(o.program.c_str(), &st) == 0 &&
        fseeko(check, st.st_size, SEEK_SET) == 0) {
        uint8_t bytes[PSFILE_TRAILER_SIZE];
        tagPSSingleBinEx trailer;
        if (std::fread(bytes, sizeof(bytes), 1, check) == 1 && trailer.Decode(bytes)) {
            std::printf("trailer %" PRId64 "\nstream-a %" PRId64 " %" PRId64 "\nstream-b %" PRId64
                        " %" PRId64 "\nextra %" PRId64 " %" PRId64 "\n",
                        static_cast<int64_t>(st.st_size), trailer.llStartA, trailer.llSizeA,
                        trailer.llStartB, trailer.llSizeB, trailer.llStartExtra,
                        trailer.llSizeExtra);
        }
    }
    if (check != nullptr) std::fclose(check);
    return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    std::string error;
    if (!ParseOptions(argc, argv, o, error)) return Error(kExitUsage, error);
    if (o.help) {
        std::fputs(kUsage, stdout);
        return kExitOk;
    }
    if (o.command == "info") return Info(o);
    if (o.command == "packets") return Packets(o);
    if (o.command == "extract") return Extract(o);
    return Export(o);
}
