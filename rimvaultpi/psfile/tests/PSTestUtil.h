// Helpers shared by the PS recording tests: a temporary directory, channel tables, frames and
// whole-file reads.
#pragma once

#include <dirent.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "rimvaultpi/psfile/PSFile.h"

namespace pstest {

// A directory under /tmp removed with its files when the object goes.
class TempDir {
  public:
    TempDir() {
        char name[] = "/tmp/psfile-test-XXXXXX";
        const char* made = ::mkdtemp(name);
        path_ = made != nullptr ? made : "";
    }
    ~TempDir() {
        if (path_.empty()) return;
        if (DIR* d = ::opendir(path_.c_str())) {
            while (struct dirent* e = ::readdir(d)) {
                const std::string n = e->d_name;
                if (n != "." && n != "..") ::unlink((path_ + "/" + n).c_str());
            }
            ::closedir(d);
        }
        ::rmdir(path_.c_str());
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string File(const std::string& name) const { return path_ + "/" + name; }
    const std::string& Path() const { return path_; }

  private:
    std::string path_;
};

// 32 channels: video slots 0-15 with stream ids 0xE0-0xEF (H.264, 320x240), audio slots 16-31
// with stream ids 0xC0-0xCF. Slot s gets codec s % 16 and attribute s % 4.
inline std::vector<_PSFILE_CHANNEL> Channels() {
    std::vector<_PSFILE_CHANNEL> c(PSFILE_SLOTS);
    for (uint32_t s = 0; s < PSFILE_SLOTS; ++s) {
        c[s] = {};
        if (s < 16) {
            c[s].streamType = 0x1B;
            c[s].streamId = static_cast<uint8_t>(0xE0 + s);
            c[s].widthDiv16 = 20;
            c[s].heightDiv16 = 15;
        } else {
            c[s].streamType = 0x90;
            c[s].streamId = static_cast<uint8_t>(0xC0 + (s - 16));
            c[s].sampleRate = 16000;
        }
        c[s].codec = static_cast<uint8_t>(s % 16);
        c[s].attr = static_cast<uint8_t>(s % 4);
    }
    return c;
}

inline _PSFILE_HEADER FileHeader(uint8_t packetAttr = 1) {
    _PSFILE_HEADER h{};
    h.packetAttr = packetAttr;
    return h;
}

// Payload bytes that differ per frame, so that mixed-up packets are noticed.
inline std::vector<uint8_t> Payload(size_t size, uint32_t seed) {
    std::vector<uint8_t> p(size);
    for (size_t i = 0; i < size; ++i) p[i] = static_cast<uint8_t>(seed * 31 + i * 7 + 1);
    return p;
}

// A frame of `payload` on `channel` at the given time of day on 2020-01-02.
inline _PSFILE_PACKET Frame(uint16_t channel, uint32_t msOfDay, const std::vector<uint8_t>& payload,
                            bool key = true) {
    _PSFILE_PACKET p{};
    p.channel = channel;
    p.frameType = key ? 1 : 2;
    p.year = 2020;
    p.month = 1;
    p.day = 2;
    p.hour = static_cast<int32_t>(msOfDay / 3600000);
    p.minute = static_cast<int32_t>(msOfDay / 60000 % 60);
    p.second = static_cast<int32_t>(msOfDay / 1000 % 60);
    p.millisecond = static_cast<int32_t>(msOfDay % 1000);
    p.codec = static_cast<uint8_t>(channel % 16);
    p.payload = payload.data();
    p.payloadSize = static_cast<uint32_t>(payload.size());
    return p;
}

constexpr uint16_t kDate20200102 = (20 << 9) | (1 << 5) | 2;  // 0x2822

inline std::vector<uint8_t> ReadAll(const std::string& path) {
    std::vector<uint8_t> bytes;
    if (FILE* f = std::fopen(path.c_str(), "rb")) {
        uint8_t block[65536];
        size_t n;
        while ((n = std::fread(block, 1, sizeof(block), f)) > 0) {
            bytes.insert(bytes.end(), block, block + n);
        }
        std::fclose(f);
    }
    return bytes;
}

inline bool WriteAll(const std::string& path, const std::vector<uint8_t>& bytes) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) return false;
    const bool ok = bytes.empty() || std::fwrite(bytes.data(), bytes.size(), 1, f) == 1;
    return std::fclose(f) == 0 && ok;
}

inline uint32_t Le32At(const std::vector<uint8_t>& b, size_t at) {
    return uint32_t{b[at]} | uint32_t{b[at + 1]} << 8 | uint32_t{b[at + 2]} << 16 |
           uint32_t{b[at + 3]} << 24;
}
inline uint16_t Le16At(const std::vector<uint8_t>& b, size_t at) {
    return static_cast<uint16_t>(b[at] | b[at + 1] << 8);
}

// Reads packet `index` of `channel` with its bytes into `buffer`.
inline int32_t ReadWithData(CPSFile& f, uint16_t channel, uint32_t index,
                            std::vector<uint8_t>& buffer, _PSFILE_PACKET& p) {
    buffer.resize(PSFILE_MAX_PACKET);
    p = {};
    p.channel = channel;
    p.index = index;
    p.data = buffer.data();
    p.size = static_cast<uint32_t>(buffer.size());
    return f.Read(p);
}

inline bool HaveTool(const char* name) {
    return std::system((std::string("command -v ") + name + " >/dev/null 2>&1").c_str()) == 0;
}

// Runs a shell command and returns its standard output; `status` gets its exit status.
inline std::string RunCommand(const std::string& command, int& status) {
    std::string out;
    FILE* p = ::popen(command.c_str(), "r");
    if (p == nullptr) {
        status = -1;
        return out;
    }
    char block[4096];
    size_t n;
    while ((n = std::fread(block, 1, sizeof(block), p)) > 0) out.append(block, n);
    const int raw = ::pclose(p);
    status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    return out;
}

}  // namespace pstest
