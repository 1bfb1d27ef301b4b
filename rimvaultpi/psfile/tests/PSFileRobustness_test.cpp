// Damaged recordings: every truncation and single-byte corruption of the media and index files
// must give errors or fewer packets, never a crash, a hang or a wrong packet reported as read.
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <algorithm>
#include <cstring>

#include "rimvaultpi/psfile/PSBytes.h"
#include "rimvaultpi/psfile/PSFile.h"
#include "rimvaultpi/psfile/tests/PSTestUtil.h"

using namespace pstest;

namespace {

constexpr uint32_t kLoopLimit = 64;  // reads per call site, so hostile counts stay cheap

struct Sample {
    std::vector<std::vector<uint8_t>> payloads;  // in file order
    std::vector<uint8_t> media, index;
};

// A small recording on slots 0, 1 and 17, with tags on some packets.
const Sample& MakeSample() {
    static Sample s = [] {
        Sample out;
        TempDir dir;
        const std::string media = dir.File("s.ps");
        auto channels = Channels();
        channels[1].name = "side";
        {
            CPSFile f;
            EXPECT_EQ(0, f.Open(media.c_str(), FileHeader(), 32, channels.data()));
            const uint16_t slots[] = {0, 17, 1, 0, 0, 17, 1, 0, 17, 0, 0, 1};
            uint8_t tags[6] = {1, 2, 3, 4, 5, 6};
            for (uint32_t i = 0; i < 12; ++i) {
                out.payloads.push_back(Payload(5 + 29 * i, i));
                _PSFILE_PACKET p = Frame(slots[i], 1000 + 300 * i, out.payloads.back(), i % 4 == 0);
                if (i % 3 == 0) {
                    p.tags = tags;
                    p.tagBytes = 6;
                }
                EXPECT_EQ(0, f.Write(p));
            }
        }
        out.media = ReadAll(media);
        out.index = ReadAll(media + "i");
        return out;
    }();
    return s;
}

// Every read operation of the reader, bounded. Returns how many packets read by file position
// came back as read; each of those must be the packet that was written there.
uint32_t Exercise(CPSFile& f, const Sample& s) {
    _PSFILE_HEADER h;
    if (f.FileInfo(h) == 0 && h.title != nullptr) {
        EXPECT_LE(std::strlen(h.title), 32u);
    }
    for (uint32_t slot = 0; slot <= 32; ++slot) {
        _PSFILE_CHANNEL c;
        if (f.ChannelInfo(slot, c) == 0 && c.name != nullptr) {
            EXPECT_LE(std::strlen(c.name), 32u);
        }
        _PSFILE_PACKET a{}, b{};
        (void)f.PacketTimes(slot, a, b);
    }
    static std::vector<uint8_t> buffer(PSFILE_MAX_PACKET);
    uint8_t tags[64];
    auto read = [&](_PSFILE_PACKET& p) {
        p.data = buffer.data();
        p.size = PSFILE_MAX_PACKET;
        p.tags = tags;
        p.tagBytes = sizeof(tags);
    };
    uint32_t good = 0;
    const uint32_t total = std::min(f.Count(PSFILE_ALL_SLOTS), kLoopLimit);
    for (uint32_t i = 0; i < total; ++i) {
        _PSFILE_PACKET p{};
        p.channel = PSFILE_ALL_SLOTS;
        p.index = i;
        read(p);
        if (f.Read(p) != 0) continue;
        EXPECT_LE(p.size, PSFILE_MAX_PACKET);
        if (p.payload != nullptr) {
            EXPECT_GE(p.payload, buffer.data());
            EXPECT_LE(p.payload + p.payloadSize, buffer.data() + p.size);
        }
        if (i < s.payloads.size() && p.payloadSize == s.payloads[i].size() &&
            std::equal(p.payload, p.payload + p.payloadSize, s.payloads[i].begin())) {
            ++good;
        }
    }
    for (uint16_t slot : {0, 1, 17, 31}) {
        const uint32_t n = std::min(f.Count(slot), kLoopLimit);
        for (uint32_t i = 0; i < n; ++i) {
            _PSFILE_PACKET p{};
            p.channel = slot;
            p.index = n - 1 - i;  // backward, then forward below
            read(p);
            (void)f.Read(p);
            p = {};
            p.channel = slot;
            p.index = i;
            (void)f.Read(p);
        }
    }
    const uint16_t slots[] = {0, 17, 1};
    const uint32_t merged = std::min(f.Count(3, slots), kLoopLimit);
    for (uint32_t i = 0; i < merged; ++i) {
        _PSFILE_PACKET p{};
        p.index = i % 2 == 0 ? i : merged - i;
        read(p);
        (void)f.Read(p, 3, slots);
    }
    _PSFILE_PACKET far{};
    far.index = 0xFFFFFFF0;
    (void)f.Read(far, 3, slots);
    for (uint32_t n = 0; n < kLoopLimit; ++n) {
        PSClip c;
        if (f.Clip(n, c) != 0) break;
        EXPECT_LT(c.slot, 32);
    }
    (void)f.Size();
    return good;
}

// The files live in memory (as they will for a fuzzer): a memfd for the media, a stream over
// another memfd for the index.
struct Files {};

int MemoryFile(const std::vector<uint8_t>& bytes) {
    const int fd = ::memfd_create("psfile-test", MFD_CLOEXEC);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(static_cast<ssize_t>(bytes.size()),
              bytes.empty() ? 0 : ::write(fd, bytes.data(), bytes.size()));
    return fd;
}

uint32_t OpenAndExercise(Files&, const std::vector<uint8_t>& media,
                         const std::vector<uint8_t>* index, const Sample& s, int32_t* rc) {
    FILE* indexStream = nullptr;
    if (index != nullptr) {
        indexStream = ::fdopen(MemoryFile(*index), "rb");
        EXPECT_NE(nullptr, indexStream);
    }
    CPSFile f;
    *rc = f.Open(MemoryFile(media), indexStream, 0, 0);
    EXPECT_LE(*rc, 0);
    if (*rc != 0) {
        EXPECT_FALSE(f.IsOpen());
        return 0;
    }
    return Exercise(f, s);
}

// Packets that end at or before `length` bytes of the media file.
uint32_t WholePackets(const Sample& s, size_t length) {
    uint32_t n = 0;
    size_t end = 1978;
    for (const auto& payload : s.payloads) {
        end += (32 + payload.size() + (n % 3 == 0 ? 8 : 0) + 31) / 32 * 32;
        if (end > length) break;
        ++n;
    }
    return n;
}

}  // namespace

TEST(PSFileRobustness, SampleReadsBackWhole) {
    const Sample& s = MakeSample();
    Files files;
    int32_t rc;
    EXPECT_EQ(12u, OpenAndExercise(files, s.media, &s.index, s, &rc));
    EXPECT_EQ(12u, OpenAndExercise(files, s.media, nullptr, s, &rc));
    ASSERT_EQ(1978u + 32 * 0 + s.media.size() - 1978, s.media.size());
    EXPECT_EQ(12u, WholePackets(s, s.media.size()));
    EXPECT_EQ(11u, WholePackets(s, s.media.size() - 1));
}

TEST(PSFileRobustness, EveryTruncationOfTheIndex) {
    const Sample& s = MakeSample();
    Files files;
    for (size_t length = 0; length <= s.index.size(); ++length) {
        const std::vector<uint8_t> index(s.index.begin(), s.index.begin() + length);
        int32_t rc;
        const uint32_t good = OpenAndExercise(files, s.media, &index, s, &rc);
        if (length < 1088 + 32) {
            // Header, channel records or the first entry cut off.
            EXPECT_EQ(PSFILE_EREAD, rc) << length;
        } else {
            // The header names 12 entries; those that are still there read back correctly.
            ASSERT_EQ(0, rc) << length;
            EXPECT_EQ(std::min<size_t>(12, (length - 1088) / 32), good) << length;
        }
    }
}

TEST(PSFileRobustness, EveryTruncationOfTheMedia) {
    const Sample& s = MakeSample();
    Files files;
    for (size_t length = 0; length <= s.media.size(); ++length) {
        const std::vector<uint8_t> media(s.media.begin(), s.media.begin() + length);
        int32_t rc;
        const uint32_t withIndex = OpenAndExercise(files, media, &s.index, s, &rc);
        // Pack header and stream map must be whole.
        EXPECT_EQ(length >= 1978 ? 0 : PSFILE_EREAD, rc) << length;
        EXPECT_EQ(rc == 0 ? WholePackets(s, length) : 0u, withIndex) << length;
        const uint32_t scanned = OpenAndExercise(files, media, nullptr, s, &rc);
        EXPECT_EQ(rc == 0 ? WholePackets(s, length) : 0u, scanned) << length;
    }
}

TEST(PSFileRobustness, EveryCorruptedByteOfTheIndex) {
    const Sample& s = MakeSample();
    Files files;
    for (size_t at = 0; at < s.index.size(); ++at) {
        for (uint8_t value : {uint8_t{0x00}, uint8_t{0xFF}, uint8_t{0x7F},
                              static_cast<uint8_t>(s.index[at] ^ 0x01)}) {
            std::vector<uint8_t> index = s.index;
            index[at] = value;
            int32_t rc;
            OpenAndExercise(files, s.media, &index, s, &rc);
            if (::testing::Test::HasFailure()) {
                ADD_FAILURE() << "index byte " << at << " = " << int{value};
                return;
            }
        }
    }
}

TEST(PSFileRobustness, EveryCorruptedByteOfTheMedia) {
    const Sample& s = MakeSample();
    Files files;
    for (size_t at = 0; at < s.media.size(); ++at) {
        for (uint8_t value :
             {uint8_t{0x00}, uint8_t{0xFF}, static_cast<uint8_t>(s.media[at] ^ 0x80)}) {
            std::vector<uint8_t> media = s.media;
            media[at] = value;
            int32_t rc;
            OpenAndExercise(files, media, &s.index, s, &rc);
            OpenAndExercise(files, media, nullptr, s, &rc);
            if (::testing::Test::HasFailure()) {
                ADD_FAILURE() << "media byte " << at << " = " << int{value};
                return;
            }
        }
    }
}

TEST(PSFileRobustness, HostileCountsAndChains) {
    const Sample& s = MakeSample();
    Files files;
    struct Patch {
        const char* what;
        size_t at;
        uint32_t value;
    } patches[] = {
        {"entry count", 20, 0xFFFFFFFF},
        {"slot 0 count", 64, 0xFFFFFFFF},
        {"slot 0 first entry", 64 + 4, 0xFFFFFFF0},
        {"slot 17 first entry points at slot 0", 64 + 17 * 32 + 4, 0},
        {"entry 0 next points at itself", 1088 + 20, 0},
        {"entry 3 next points back", 1088 + 3 * 32 + 20, 1},
        {"entry 3 next beyond the index", 1088 + 3 * 32 + 20, 400},
        {"entry 4 prev points forward", 1088 + 4 * 32 + 16, 9},
        {"entry 2 packet far beyond the media", 1088 + 2 * 32 + 12, 0x7FFFFFFF},
        {"entry 2 length 4 GiB", 1088 + 2 * 32 + 4, 0xFFFFFFFF},
        {"clip count", 40, 0xFFFFFFFF},
        {"channel record count above 32", 16, 33},
    };
    for (const Patch& p : patches) {
        std::vector<uint8_t> index = s.index;
        psbytes::PutLe32(&index[p.at], p.value);
        int32_t rc;
        const uint32_t good = OpenAndExercise(files, s.media, &index, s, &rc);
        EXPECT_LE(good, 12u) << p.what;
    }
}
