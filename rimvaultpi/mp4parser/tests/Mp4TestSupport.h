#pragma once
// Shared by the converter's tests and the mp4tops tool's tests: time zones, temporary
// directories, a log recorder, real H.264 MP4 files made by ffmpeg, an outside view of their
// samples (ffprobe), and an independent reader of the packets of a PS media file.

#include <stdlib.h>
#include <sys/wait.h>
#include <tinyxml2.h>
#include <unistd.h>

#include <boost/filesystem.hpp>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <memory>
#include <new>
#include <sstream>
#include <string>
#include <vector>

#include "rimvaultpi/mp4parser/Mp4Parser.h"
#include "rimvaultpi/synclayer/Message.h"
#include "rimvaultpi/synclayer/Poster.h"

namespace rimvault::test {

using Bytes = std::vector<uint8_t>;

// Sets TZ for the life of the object.
class ScopedTimeZone {
  public:
    explicit ScopedTimeZone(const char* zone) {
        const char* old = getenv("TZ");
        had_old_ = old != nullptr;
        if (had_old_) old_ = old;
        setenv("TZ", zone, 1);
        tzset();
    }
    ~ScopedTimeZone() {
        if (had_old_) {
            setenv("TZ", old_.c_str(), 1);
        } else {
            unsetenv("TZ");
        }
        tzset();
    }

  private:
    bool had_old_ = false;
    std::string old_;
};

// A fresh directory, removed with everything in it.
class TempDir {
  public:
    TempDir() {
        char name[] = "/tmp/mp4test-XXXXXX";
        if (mkdtemp(name) != nullptr) path_ = name;
    }
    ~TempDir() {
        boost::system::error_code ec;
        if (!path_.empty()) boost::filesystem::remove_all(path_, ec);
    }
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

inline Bytes read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void write_file(const std::string& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

inline bool file_exists(const std::string& path) {
    boost::system::error_code ec;
    return boost::filesystem::exists(path, ec);
}

// Runs a shell command; its exit status (or -1), with standard output in `out` if given.
inline int run(const std::string& command, std::string* out = nullptr) {
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return -1;
    std::string text;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) text.append(buffer, n);
    const int status = pclose(pipe);
    if (out != nullptr) *out = text;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

inline bool have_ffmpeg() {
    static const bool found =
        run("ffmpeg -version >/dev/null 2>&1") == 0 && run("ffprobe -version >/dev/null 2>&1") == 0;
    return found;
}

// The test recordings: 2 s of 320x240 H.264 at 25 fps without B-frames, a key frame every 10
// frames, made once per process.
//   plain      parameter sets in-band in every key frame, like IP camera recordings
//   faststart  the same with the movie box before the media data
//   noinband   parameter sets only in the sample description
//   audio      an AAC track first, then the video
//   text       the video and a timed-text subtitle track
// They are kept under the build's test data directory (shared by the test processes; a file
// appears there only whole), else in a temporary directory of this process.
inline std::string media_file(const std::string& name) {
    static TempDir scratch;
    static const std::string dir = [] {
#ifdef KIV_TEST_DATA_DIR
        const char* data = KIV_TEST_DATA_DIR;
#else
        const char* data = nullptr;
#endif
        if (data == nullptr || *data == '\0') return scratch.path();
        const std::string path = std::string(data) + "/mp4";
        boost::system::error_code ec;
        boost::filesystem::create_directories(path, ec);
        return ec ? scratch.path() : path;
    }();
    // Bump the version when the recipes below change.
    const std::string out = dir + "/" + name + "-v1.mp4";
    if (file_exists(out)) return out;

    const std::string source = "-f lavfi -i testsrc=size=320x240:rate=25 ";
    const std::string encode = "-c:v libx264 -preset veryfast -bf 0 -g 10 -pix_fmt yuv420p ";
    const std::string video = source + encode;
    const std::string inband = "-x264-params repeat-headers=1 ";
    const std::string partial = dir + "/" + name + "-" + std::to_string(getpid()) + ".part.mp4";
    std::string command = "ffmpeg -nostdin -v error -y ";
    if (name == "plain") {
        command += video + inband + "-t 2 " + partial;
    } else if (name == "faststart") {
        command += video + inband + "-t 2 -movflags +faststart " + partial;
    } else if (name == "noinband") {
        command += video + "-t 2 " + partial;
    } else if (name == "audio") {
        command += "-f lavfi -i sine=frequency=440:sample_rate=44100 " + video + inband +
                   "-map 0:a -map 1:v -c:a aac -t 2 " + partial;
    } else if (name == "text") {
        const std::string subtitles = scratch / "subtitles.srt";
        std::ofstream(subtitles) << "1\n00:00:00,000 --> 00:00:01,000\nfirst\n\n"
                                    "2\n00:00:01,000 --> 00:00:02,000\nsecond\n";
        // Every input before the output options.
        command += source + "-i " + subtitles + " " + encode + inband +
                   "-map 0:v -map 1:s -c:s mov_text -t 2 " + partial;
    } else {
        return "";
    }
    if (run(command + " 2>&1") != 0 || std::rename(partial.c_str(), out.c_str()) != 0) {
        std::remove(partial.c_str());
        return "";
    }
    return out;
}

// Where ffmpeg's own demuxer finds each video sample.
struct ProbePacket {
    uint64_t pos = 0;
    uint32_t size = 0;
    bool key = false;
};

inline std::vector<ProbePacket> probe_video_packets(const std::string& file) {
    std::string text;
    run("ffprobe -v error -select_streams v:0 -show_entries packet=pos,size,flags -of "
        "compact=p=0 " +
            file,
        &text);
    std::vector<ProbePacket> packets;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        ProbePacket p;
        std::istringstream fields(line);
        std::string field;
        while (std::getline(fields, field, '|')) {
            const size_t eq = field.find('=');
            if (eq == std::string::npos) continue;
            const std::string key = field.substr(0, eq);
            const std::string value = field.substr(eq + 1);
            if (key == "pos") p.pos = std::stoull(value);
            if (key == "size") p.size = static_cast<uint32_t>(std::stoul(value));
            if (key == "flags") p.key = value.find('K') != std::string::npos;
        }
        packets.push_back(p);
    }
    return packets;
}

// A sample with its 4-byte NAL lengths replaced by start codes; empty when they do not add up.
inline Bytes annexb_of_sample(const Bytes& sample) {
    Bytes out;
    size_t pos = 0;
    while (pos + 4 <= sample.size()) {
        const size_t length = (size_t{sample[pos]} << 24) | (size_t{sample[pos + 1]} << 16) |
                              (size_t{sample[pos + 2]} << 8) | sample[pos + 3];
        if (length > sample.size() - pos - 4) return {};
        out.insert(out.end(), {0, 0, 0, 1});
        out.insert(out.end(), sample.begin() + static_cast<long>(pos + 4),
                   sample.begin() + static_cast<long>(pos + 4 + length));
        pos += 4 + length;
    }
    return pos == sample.size() ? out : Bytes{};
}

// Reference samples of a file: its bytes at ffprobe's positions, in start-code form.
struct ReferenceSample {
    bool key;
    Bytes annexb;
};
inline std::vector<ReferenceSample> reference_samples(const std::string& file) {
    const Bytes bytes = read_file(file);
    std::vector<ReferenceSample> samples;
    for (const ProbePacket& p : probe_video_packets(file)) {
        if (p.pos + p.size > bytes.size()) return {};
        const Bytes sample(bytes.begin() + static_cast<long>(p.pos),
                           bytes.begin() + static_cast<long>(p.pos + p.size));
        samples.push_back({p.key, annexb_of_sample(sample)});
    }
    return samples;
}

// One packet of a PS media file, read without the project's PS reader.
struct PsPacket {
    uint8_t stream_id = 0;
    bool key = false;
    uint8_t flags = 0;
    uint16_t packed_date = 0;
    uint32_t ms_of_day = 0;
    Bytes payload;
};

// False when the file is not a sequence of well-formed packets after its 1978-byte head.
inline bool read_ps_media(const std::string& path, std::vector<PsPacket>& packets) {
    const Bytes b = read_file(path);
    packets.clear();
    size_t pos = 1978;
    if (b.size() < pos || b[0] != 0 || b[1] != 0 || b[2] != 1 || b[3] != 0xBA) return false;
    while (pos < b.size()) {
        if (b.size() - pos < 32) return false;
        const uint8_t* p = b.data() + pos;
        if (p[0] != 0 || p[1] != 0 || p[2] != 1) return false;
        const uint32_t length = (uint32_t(p[24] & 0x7F) << 15) | (uint32_t(p[25] >> 4) << 11) |
                                (uint32_t(p[25] & 0x07) << 8) | p[26];
        const uint32_t tags = p[8] - 23u;
        const uint32_t padding = p[29] & 0x1F;
        if (length < 32 || length % 32 != 0 || length > b.size() - pos ||
            32 + tags + padding > length) {
            return false;
        }
        PsPacket packet;
        packet.stream_id = p[3];
        packet.key = (p[27] & 0x02) == 0;
        packet.flags = p[27] & 0xE0;
        packet.packed_date = static_cast<uint16_t>(p[30] | (p[31] << 8));
        const uint64_t dts = (uint64_t((p[14] >> 1) & 0x07) << 30) | (uint64_t(p[15]) << 22) |
                             (uint64_t(p[16] >> 1) << 15) | (uint64_t(p[17]) << 7) | (p[18] >> 1);
        packet.ms_of_day = static_cast<uint32_t>(dts / 90);
        packet.payload.assign(p + 32 + tags, p + length - padding);
        packets.push_back(std::move(packet));
        pos += length;
    }
    return true;
}

// Records every log document a converter posts.
struct LogLine {
    int level = 0;
    std::string text;
    unsigned long routing = 0;
    std::string xml;
};
class LogRecorder {
  public:
    kivsvr::rimvault::Poster poster() {
        return [this](const tinyxml2::XMLDocument& document, unsigned long routing) {
            LogLine line;
            line.routing = routing;
            tinyxml2::XMLPrinter printer(nullptr, true);
            document.Print(&printer);
            line.xml = printer.CStr();
            const tinyxml2::XMLElement* root = document.RootElement();
            if (root != nullptr) {
                line.level = root->IntAttribute("level");
                if (root->GetText() != nullptr) line.text = root->GetText();
            }
            lines.push_back(line);
        };
    }
    bool has(int level, const std::string& text) const {
        for (const LogLine& l : lines) {
            if (l.level == level && l.text == text) return true;
        }
        return false;
    }
    std::string all() const {
        std::string out;
        for (const LogLine& l : lines) out += std::to_string(l.level) + " " + l.text + "|";
        return out;
    }
    std::vector<LogLine> lines;
};

inline kivsvr::rimvault::Message conversion_message(const std::string& source,
                                                    const std::string& output_root,
                                                    uint32_t start_time) {
    kivsvr::rimvault::Message m;
    m.source = 0x00120000;
    m.device = 3;
    m.start_time = start_time;
    m.end_time = start_time + 2;
    m.source_path = source;
    m.input_name = "input 1";
    m.output_root = output_root;
    m.record_flags = 0x80;
    return m;
}

// A converter whose frames are also recorded here; it can fake the PS file, fail a write, keep
// its source, and skip the pause before a second delete attempt.
class CapturingParser : public Mp4Parser {
  public:
    struct Captured {
        uint16_t channel;
        bool key;
        int64_t time_ms;
        Bytes bytes;
    };

    CapturingParser(const kivsvr::rimvault::Message& message, kivsvr::rimvault::Poster poster)
        : Mp4Parser(message, std::move(poster)) {
        set_retry_sleep([this](unsigned seconds) { slept.push_back(seconds); });
    }

    bool write_frame_to_ps(const Frame& frame) const override {
        frames.push_back(
            {frame.channel, frame.key, frame.time_ms, Bytes(frame.data, frame.data + frame.size)});
        if (fail_write_at >= 0 && frames.size() == static_cast<size_t>(fail_write_at) + 1) {
            return false;
        }
        if (throw_at >= 0 && frames.size() == static_cast<size_t>(throw_at) + 1) {
            throw std::bad_alloc();
        }
        return fake_ps_file || Mp4Parser::write_frame_to_ps(frame);
    }
    int open_ps_file(const std::string& path) const override {
        if (open_result != 0) return open_result;
        return fake_ps_file ? 0 : Mp4Parser::open_ps_file(path);
    }
    std::string create_ps_file_path() override {
        return fake_ps_file ? (ps_file_path = "/nonexistent/fake.ps")
                            : Mp4Parser::create_ps_file_path();
    }

    std::vector<sample_tables>& tables_for_test() { return track_tables; }

    bool fake_ps_file = false;  // no directory, no PS file: frames are only recorded
    int fail_write_at = -1;     // index of the frame whose write fails
    int throw_at = -1;          // index of the frame whose write runs out of memory
    int open_result = 0;        // nonzero: the PS file "cannot be opened"
    mutable std::vector<Captured> frames;
    std::vector<unsigned> slept;
};

}  // namespace rimvault::test
