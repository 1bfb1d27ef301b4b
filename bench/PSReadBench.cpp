// PS reading benchmark: a 15 000-packet recording of a camera (main stream in slot 0, sub
// stream in slot 1, audio in slot 16, 25 packets a second each) read back by channel through
// CPSFile::Read, first every packet in order, then 3 000 packets in a random order.
//
// Usage: bench_psread DIR [RUNS]
// Prints per run and order: psread RUN ORDER PACKETS NANOSECONDS INDEX_ENTRIES_READ
// The index entries are counted once per order through an index stream that counts its reads
// of 32-byte entries; the timed runs read the files as CPSFile opens them itself.
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "rimvaultpi/psfile/PSFile.h"

namespace {

constexpr uint32_t kPackets = 15000;
constexpr uint32_t kRandomReads = 3000;
const uint16_t kSlots[] = {0, 1, 16};

int64_t NowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool WriteRecording(const std::string& path) {
    std::vector<_PSFILE_CHANNEL> channels(PSFILE_SLOTS);
    for (uint32_t s = 0; s < PSFILE_SLOTS; ++s) {
        _PSFILE_CHANNEL& c = channels[s];
        c = {};
        if (s < 16) {
            c.streamType = 0x1B;
            c.streamId = static_cast<uint8_t>(0xE0 + s);
            c.widthDiv16 = s == 0 ? 120 : 40;
            c.heightDiv16 = s == 0 ? 68 : 23;
        } else {
            c.streamType = 0x90;
            c.streamId = static_cast<uint8_t>(0xC0 + (s - 16));
            c.sampleRate = 8000;
        }
    }
    _PSFILE_HEADER header = {};
    CPSFile file;
    if (file.Open(path.c_str(), header, PSFILE_SLOTS, channels.data()) != PSFILE_OK) return false;
    std::vector<uint8_t> payload(20000);
    for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<uint8_t>(i * 7 + 3);
    for (uint32_t n = 0; n < kPackets; ++n) {
        const uint16_t slot = kSlots[n % 3];
        const uint32_t frame = n / 3;
        const uint32_t ms = 36000000 + frame * 40;  // from 10:00 on, 25 a second
        _PSFILE_PACKET p = {};
        p.channel = slot;
        const bool key = slot != 16 && frame % 25 == 0;
        p.frameType = key ? 1 : 2;
        p.year = 2024;
        p.month = 5;
        p.day = 17;
        p.hour = static_cast<int32_t>(ms / 3600000);
        p.minute = static_cast<int32_t>(ms / 60000 % 60);
        p.second = static_cast<int32_t>(ms / 1000 % 60);
        p.millisecond = static_cast<int32_t>(ms % 1000);
        p.payload = payload.data();
        p.payloadSize = slot == 0 ? (key ? 20000 : 4000) : slot == 1 ? (key ? 5000 : 1000) : 320;
        if (file.Write(p) != PSFILE_OK) return false;
    }
    return file.Close() == PSFILE_OK;
}

// An index stream over a descriptor that counts reads of one entry in the entry area.
struct CountingIndex {
    int fd;
    off64_t pos;
    uint64_t entryReads;
};

ssize_t CountingRead(void* cookie, char* buffer, size_t size) {
    CountingIndex* c = static_cast<CountingIndex*>(cookie);
    const ssize_t n = pread(c->fd, buffer, size, c->pos);
    if (n > 0) {
        if (size == PSFILE_ENTRY_SIZE && c->pos >= static_cast<off64_t>(PSFILE_ENTRIES_START)) {
            ++c->entryReads;
        }
        c->pos += n;
    }
    return n;
}

int CountingSeek(void* cookie, off64_t* offset, int whence) {
    CountingIndex* c = static_cast<CountingIndex*>(cookie);
    off64_t base = 0;
    if (whence == SEEK_CUR) base = c->pos;
    if (whence == SEEK_END) {
        struct stat st;
        if (fstat(c->fd, &st) != 0) return -1;
        base = st.st_size;
    }
    if (base + *offset < 0) return -1;
    c->pos = base + *offset;
    *offset = c->pos;
    return 0;
}

int CountingClose(void* cookie) {
    CountingIndex* c = static_cast<CountingIndex*>(cookie);
    ::close(c->fd);
    return 0;
}

using Order = std::vector<std::pair<uint16_t, uint32_t>>;

Order Sequential(CPSFile& file) {
    Order order;
    for (uint16_t slot : kSlots) {
        for (uint32_t i = 0; i < file.Count(slot); ++i) order.emplace_back(slot, i);
    }
    return order;
}

Order Random(CPSFile& file) {
    Order all = Sequential(file);
    std::mt19937 random(20240517);
    std::shuffle(all.begin(), all.end(), random);
    all.resize(std::min<size_t>(all.size(), kRandomReads));
    return all;
}

// Reads the packets in `order` by channel; false on the first failure.
bool ReadAll(CPSFile& file, const Order& order, std::vector<uint8_t>& buffer) {
    for (const auto& [slot, index] : order) {
        _PSFILE_PACKET p = {};
        p.channel = slot;
        p.index = index;
        p.data = buffer.data();
        p.size = static_cast<uint32_t>(buffer.size());
        if (file.Read(p) != PSFILE_OK || p.channel != slot) return false;
    }
    return true;
}

// Index entries read for `order`, through the counting stream; -1 on failure.
int64_t CountEntries(const std::string& path, bool random) {
    const int media = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    const int indexFd = ::open((path + "i").c_str(), O_RDONLY | O_CLOEXEC);
    if (media < 0 || indexFd < 0) return -1;
    CountingIndex* counting = new CountingIndex{indexFd, 0, 0};
    cookie_io_functions_t io = {CountingRead, nullptr, CountingSeek, CountingClose};
    FILE* index = fopencookie(counting, "r", io);
    if (index == nullptr) return -1;
    // A buffer of one entry: every fread of an entry reaches the counter as one read of 32
    // bytes (an unbuffered stream would pass it on byte by byte).
    static char entryBuffer[PSFILE_ENTRY_SIZE];
    setvbuf(index, entryBuffer, _IOFBF, sizeof entryBuffer);
    CPSFile file;
    int64_t result = -1;
    if (file.Open(media, index, 0, 0) == PSFILE_OK) {
        const Order order = random ? Random(file) : Sequential(file);
        std::vector<uint8_t> buffer(PSFILE_MAX_PACKET);
        counting->entryReads = 0;
        if (ReadAll(file, order, buffer)) result = static_cast<int64_t>(counting->entryReads);
    }
    file.Close();
    delete counting;
    return result;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: bench_psread DIR [RUNS]\n");
        return 2;
    }
    const int runs = argc > 2 ? std::atoi(argv[2]) : 5;
    const std::string path = std::string(argv[1]) + "/bench_psread.ps";
    if (!WriteRecording(path)) {
        std::fprintf(stderr, "bench_psread: cannot write %s\n", path.c_str());
        return 1;
    }
    const int64_t entries[2] = {CountEntries(path, false), CountEntries(path, true)};
    std::vector<uint8_t> buffer(PSFILE_MAX_PACKET);
    int status = 0;
    for (int run = 0; run < runs; ++run) {
        for (int random = 0; random < 2; ++random) {
            CPSFile file;
            if (file.Open(path.c_str()) != PSFILE_OK) return 1;
            const Order order = random ? Random(file) : Sequential(file);
            const int64_t start = NowNs();
            const bool ok = ReadAll(file, order, buffer);
            const int64_t ns = NowNs() - start;
            if (!ok || entries[random] < 0) status = 1;
            std::printf("psread %d %s %zu %lld %lld%s\n", run, random ? "random" : "sequential",
                        order.size(), static_cast<long long>(ns),
                        static_cast<long long>(entries[random]), ok ? "" : " FAILED");
        }
    }
    std::remove(path.c_str());
    std::remove((path + "i").c_str());
    return status;
}
