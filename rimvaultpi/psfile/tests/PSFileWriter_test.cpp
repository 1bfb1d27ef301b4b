// Byte layout of PS recordings as written by CPSFile.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "rimvaultpi/psfile/PSBytes.h"
#include "rimvaultpi/psfile/PSFile.h"
#include "rimvaultpi/psfile/tests/PSTestUtil.h"

using namespace pstest;

namespace {

std::vector<uint8_t> Bytes(std::initializer_list<int> list) {
    std::vector<uint8_t> v;
    for (int b : list) v.push_back(static_cast<uint8_t>(b));
    return v;
}

std::vector<uint8_t> Slice(const std::vector<uint8_t>& b, size_t at, size_t n) {
    return std::vector<uint8_t>(b.begin() + at, b.begin() + at + n);
}

// An index stream over a descriptor that the stream does not expose (fileno() is -1), so
// the writer can only use the stream's own seek, read and write.
struct OpaqueIndex {
    int fd;
    off64_t pos;
    off64_t limit = INT64_MAX;  // writes past this offset fail
};
ssize_t OpaqueRead(void* c, char* b, size_t n) {
    auto* o = static_cast<OpaqueIndex*>(c);
    const ssize_t r = ::pread(o->fd, b, n, o->pos);
    if (r > 0) o->pos += r;
    return r;
}
ssize_t OpaqueWrite(void* c, const char* b, size_t n) {
    auto* o = static_cast<OpaqueIndex*>(c);
    if (o->pos >= o->limit) return -1;
    n = static_cast<size_t>(std::min<off64_t>(static_cast<off64_t>(n), o->limit - o->pos));
    const ssize_t r = ::pwrite(o->fd, b, n, o->pos);
    if (r > 0) o->pos += r;
    return r;
}
int OpaqueSeek(void* c, off64_t* offset, int whence) {
    auto* o = static_cast<OpaqueIndex*>(c);
    off64_t base = whence == SEEK_SET   ? 0
                   : whence == SEEK_CUR ? o->pos
                                        : ::lseek(o->fd, 0, SEEK_END);
    o->pos = base + *offset;
    *offset = o->pos;
    return 0;
}
int OpaqueClose(void* c) {
    auto* o = static_cast<OpaqueIndex*>(c);
    ::close(o->fd);
    delete o;
    return 0;
}
FILE* OpenOpaqueIndex(const std::string& path, OpaqueIndex** state = nullptr) {
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return nullptr;
    cookie_io_functions_t io = {OpaqueRead, OpaqueWrite, OpaqueSeek, OpaqueClose};
    auto* index = new OpaqueIndex{fd, 0};
    if (state != nullptr) *state = index;
    return fopencookie(index, "w+", io);
}

}  // namespace

TEST(PSFileBytes, LengthCodes) {
    struct Case {
        uint32_t value;
        uint8_t code[3];
    } cases[] = {
        {160, {0x80, 0x08, 0xA0}},      {32, {0x80, 0x08, 0x20}},
        {65632, {0x82, 0x08, 0x60}},    {4194272, {0xFF, 0xFF, 0xE0}},  // the largest packet length
        {0x3FFFFF, {0xFF, 0xFF, 0xFF}},                                 // "no previous packet"
    };
    for (const Case& c : cases) {
        uint8_t code[3];
        psbytes::PutLengthCode(code, c.value);
        EXPECT_EQ(0, std::memcmp(code, c.code, 3)) << c.value;
        EXPECT_EQ(c.value, psbytes::GetLengthCode(c.code)) << c.value;
    }
}

TEST(PSFileBytes, TimestampsUseAll33Bits) {
    struct Case {
        uint64_t value;
        uint8_t bytes[5];
    } cases[] = {
        {90000, {0x31, 0x00, 0x05, 0xBF, 0x21}},
        {0x123456789, {0x39, 0x8D, 0x15, 0xCF, 0x13}},
    };
    for (const Case& c : cases) {
        uint8_t b[5];
        psbytes::PutTimestamp(b, c.value);
        EXPECT_EQ(0, std::memcmp(b, c.bytes, 5)) << c.value;
        EXPECT_EQ(c.value, psbytes::GetTimestamp(c.bytes)) << c.value;
    }
}

TEST(PSFileBytes, TagItemsLoseTheTwoLowBitsOfTheLastByte) {
    const uint8_t item[3] = {0xAB, 0x01, 0xFF};
    uint8_t stored[4];
    psbytes::PutTagItem(stored, item);
    EXPECT_EQ(Bytes({0xAB, 0x01, 0xFF, 0x01}), std::vector<uint8_t>(stored, stored + 4));
    uint8_t back[3];
    psbytes::GetTagItem(stored, back);
    EXPECT_EQ(Bytes({0xAB, 0x01, 0xFC}), std::vector<uint8_t>(back, back + 3));
}

TEST(PSFileWriter, EmptyRecordingHasOnlyHeaders) {
    TempDir dir;
    const std::string media = dir.File("empty.ps");
    auto channels = Channels();
    {
        CPSFile f;
        _PSFILE_HEADER h = FileHeader(2);
        h.infoByte1 = 0x11;
        h.infoByte2 = 0x22;
        h.infoByte3 = 0x33;
        h.infoWord0 = 0x44332211;
        h.infoWord3 = 0xDDCCBBAA;
        h.title = "front door";
        channels[16].audioFlag = 1;
        channels[16].audioParam = 0x1234;
        channels[16].sampleRate = 0x3E80;  // 16000
        channels[3].name = "a name that is longer than thirty-two characters";
        ASSERT_EQ(0, f.Open(media.c_str(), h, 32, channels.data()));
        EXPECT_EQ(1978, f.DataStart());
    }
    const auto m = ReadAll(media);
    const auto idx = ReadAll(media + "i");
    ASSERT_EQ(1978u, m.size());
    ASSERT_EQ(1088u, idx.size());

    EXPECT_EQ(Bytes({0x00, 0x00, 0x01, 0xBA, 0x44, 0x00, 0x04, 0x00, 0x04, 0x01, 0x00, 0x00, 0x03,
                     0xFA, 0xFF, 0xFF}),
              Slice(m, 0, 16));
    // Stream map.
    EXPECT_EQ(Bytes({0x00, 0x00, 0x01, 0xBC,  // start code
                     0x07, 0xA4,              // map length 1956
                     0xE2, 0xFF,              // current/next, version 2; marker
                     0x00, 0x5E,              // info length 94
                     0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                     0x02,                    // packetAttr
                     0x11, 0x22, 0x33,        // infoByte1-3
                     0x11, 0x22, 0x33, 0x44,  // infoWord0
                     0,    0,    0,    0,    0,    0,    0,    0,    0xAA, 0xBB, 0xCC, 0xDD}),
              Slice(m, 16, 38));
    EXPECT_EQ(0, std::memcmp(&m[16 + 38], "front door\0\0", 12));
    EXPECT_EQ(Bytes({0x02, 0x00}), Slice(m, 16 + 70, 2));  // constant, extFlag
    EXPECT_EQ(std::vector<uint8_t>(32, 0), Slice(m, 16 + 72, 32));
    EXPECT_EQ(Bytes({0x07, 0x40}), Slice(m, 16 + 104, 2));  // elementary stream map 1856
    const size_t video3 = 16 + 106 + 3 * 58;
    EXPECT_EQ(Bytes({0x1B, 0xE3, 0x00, 0x36, 20, 15, 0xFF, 0xFF}), Slice(m, video3, 8));
    EXPECT_EQ(0, std::memcmp(&m[video3 + 26], "a name that is longer than thirt", 32));
    const size_t audio16 = 16 + 106 + 16 * 58;
    EXPECT_EQ(Bytes({0x90, 0xC0, 0x00, 0x36, 0x12, 0x34, 0x3E, 0x88}), Slice(m, audio16, 8));

    // Index header: sizes, no entries, no clips; then 32 channel records with codec and attr.
    EXPECT_EQ(Bytes({1, 0, 0, 0, 64, 0, 0, 0, 32, 0, 0, 0, 32, 0, 0, 0, 32, 0, 0, 0, 0, 0, 0, 0}),
              Slice(idx, 0, 24));
    EXPECT_EQ(16u, Le32At(idx, 36));
    EXPECT_EQ(0u, Le32At(idx, 40));
    for (uint32_t s = 0; s < 32; ++s) {
        const size_t rec = 64 + 32 * s;
        EXPECT_EQ(0u, Le32At(idx, rec));
        EXPECT_EQ(s % 16, idx[rec + 24]);
        EXPECT_EQ(s % 4, idx[rec + 26]);
    }
}

TEST(PSFileWriter, PacketOfHundredBytesIsPaddedTo160) {
    TempDir dir;
    const std::string media = dir.File("one.ps");
    auto channels = Channels();
    const auto payload = Payload(100, 7);
    {
        CPSFile f;
        ASSERT_EQ(0, f.Open(media.c_str(), FileHeader(2), 32, channels.data()));
        _PSFILE_PACKET p = Frame(0, 1000, payload);  // 00:00:01.000, key frame
        p.codec = 3;
        p.flags = 0x80;
        ASSERT_EQ(0, f.Write(p));
    }
    const auto m = ReadAll(media);
    ASSERT_EQ(1978u + 160u, m.size());
    EXPECT_EQ(Bytes({0x00, 0x00, 0x01, 0xE0,        // start code, stream id of slot 0
                     0x00, 0x9A,                    // 160 - 6
                     0x80, 0xC1, 23,                // flags; PTS+DTS+extension; header data length
                     0x31, 0x00, 0x05, 0xBF, 0x21,  // PTS 90000
                     0x31, 0x00, 0x05, 0xBF, 0x21,  // DTS 90000
                     0x0F, 0x8B,                    // extension flags; 0x80 | 11
                     0xFF, 0xFF, 0xFF,              // no previous packet
                     0x80, 0x08, 0xA0,              // length 160
                     0x9D,                          // frame type 1, 0x1C, flags 0x80
                     0xE3,                          // codec 3, 0xC0, packet attribute 2
                     0xDC,                          // 28 bytes of padding
                     0x22, 0x28}),                  // 2020-01-02
              Slice(m, 1978, 32));
    EXPECT_EQ(payload, Slice(m, 1978 + 32, 100));
    EXPECT_EQ(std::vector<uint8_t>(28, 0), Slice(m, 1978 + 132, 28));

    const auto idx = ReadAll(media + "i");
    ASSERT_EQ(1088u + 32u + 16u, idx.size());
    EXPECT_EQ(Bytes({0,    0,    0x9D, 0xE3,                // slot, zero, packet bytes 27 and 28
                     0x05, 0x00,                            // 160 >> 5
                     0x22, 0x28,                            // date
                     0xE8, 0x03, 0x00, 0x00,                // 1000 ms
                     0,    0,    0,    0,                   // packet position
                     0xFF, 0xFF, 0xFF, 0xFF,                // no previous entry
                     0xFF, 0xFF, 0xFF, 0xFF,                // no next entry
                     0,    0,    0,    0,    0, 0, 0, 0}),  // frames since key, length bit 21, zero
              Slice(idx, 1088, 32));
    EXPECT_EQ(Bytes({0, 0x80, 0, 0, 0x22, 0x28, 0x22, 0x28, 0xE8, 0x03, 0, 0, 0xE8, 0x03, 0, 0}),
              Slice(idx, 1120, 16));  // the clip record follows the last entry
    EXPECT_EQ(1u, Le32At(idx, 20));   // entry count
    EXPECT_EQ(1u, Le32At(idx, 40));   // clip count
    EXPECT_EQ(kDate20200102, Le16At(idx, 24));
    EXPECT_EQ(1000u, Le32At(idx, 32));
    // Channel record of slot 0: one entry, entry 0 first and last, flags ORed in.
    EXPECT_EQ(Bytes({1,    0,    0,    0,    0, 0, 0,    0,    0, 0, 0, 0,    0x22, 0x28,
                     0x22, 0x28, 0xE8, 0x03, 0, 0, 0xE8, 0x03, 0, 0, 0, 0x80, 0}),
              Slice(idx, 64, 27));
}

TEST(PSFileWriter, PaddingAndPreviousLengthFields) {
    TempDir dir;
    const std::string media = dir.File("pad.ps");
    auto channels = Channels();
    {
        CPSFile f;
        ASSERT_EQ(0, f.Open(media.c_str(), FileHeader(), 32, channels.data()));
        const auto exact = Payload(96, 1);  // 32 + 96 = 128: no padding
        ASSERT_EQ(0, f.Write(Frame(0, 0, exact)));
        const auto odd = Payload(1, 2);  // 32 + 1 + 31 padding = 64
        ASSERT_EQ(0, f.Write(Frame(0, 40, odd)));
        const auto empty = std::vector<uint8_t>();  // header only
        ASSERT_EQ(0, f.Write(Frame(0, 80, empty)));
    }
    const auto m = ReadAll(media);
    ASSERT_EQ(1978u + 128 + 64 + 32, m.size());
    EXPECT_EQ(0xC0, m[1978 + 29]);
    EXPECT_EQ(Bytes({0x80, 0x08, 0x80}), Slice(m, 1978 + 24, 3));
    // Second packet: previous length 128, own length 64, 31 bytes of padding.
    EXPECT_EQ(Bytes({0x80, 0x08, 0x80, 0x80, 0x08, 0x40}), Slice(m, 1978 + 128 + 21, 6));
    EXPECT_EQ(0xDF, m[1978 + 128 + 29]);
    // Third: previous 64, own 32; codec 0 with the file's packet attribute 1.
    EXPECT_EQ(Bytes({0x80, 0x08, 0x40, 0x80, 0x08, 0x20, 0x1D, 0xD0, 0xC0}),
              Slice(m, 1978 + 192 + 21, 9));
    const auto idx = ReadAll(media + "i");
    EXPECT_EQ(4u, Le32At(idx, 1088 + 32 + 12));  // packet position 128 / 32
    EXPECT_EQ(6u, Le32At(idx, 1088 + 64 + 12));  // (128 + 64) / 32
}

TEST(PSFileWriter, ChainsAndChannelRecordsAcrossInterleavedSlots) {
    TempDir dir;
    const std::string media = dir.File("chain.ps");
    auto channels = Channels();
    // Entry number -> slot; slot 0 is a GOP of key, delta, delta, key.
    const uint16_t slots[] = {0, 16, 0, 5, 16, 0, 0};
    const bool keys[] = {true, true, false, true, true, false, true};
    {
        CPSFile f;
        ASSERT_EQ(0, f.Open(media.c_str(), FileHeader(), 32, channels.data()));
        for (uint32_t i = 0; i < 7; ++i) {
            const auto payload = Payload(10 + i, i);
            _PSFILE_PACKET p = Frame(slots[i], 1000 + 40 * i, payload, keys[i]);
            p.flags = i == 3 ? 0x20 : 0;
            ASSERT_EQ(0, f.Write(p)) << i;
        }
    }
    const auto idx = ReadAll(media + "i");
    ASSERT_GE(idx.size(), 1088u + 7 * 32);
    auto entry = [&](uint32_t n) { return 1088 + 32 * n; };
    struct Link {
        uint32_t prev, next;
        uint16_t gop;
    } links[] = {
        {0xFFFFFFFF, 2, 0}, {0xFFFFFFFF, 4, 0}, {0, 5, 1},          {0xFFFFFFFF, 0xFFFFFFFF, 0},
        {1, 0xFFFFFFFF, 0}, {2, 6, 2},          {5, 0xFFFFFFFF, 0},
    };
    for (uint32_t n = 0; n < 7; ++n) {
        EXPECT_EQ(PSSlotFromStreamId(channels[slots[n]].streamId), idx[entry(n)]) << n;
        EXPECT_EQ(links[n].prev, Le32At(idx, entry(n) + 16)) << n;
        EXPECT_EQ(links[n].next, Le32At(idx, entry(n) + 20)) << n;
        EXPECT_EQ(links[n].gop, Le16At(idx, entry(n) + 24)) << n;
    }
    struct Record {
        uint32_t slot, count, first, last, firstTime, lastTime;
        uint8_t flags;
    } records[] = {
        {0, 4, 0, 6, 1000, 1240, 0},
        {16, 2, 1, 4, 1040, 1160, 0},
        {5, 1, 3, 3, 1120, 1120, 0x20},
        {1, 0, 0, 0, 0, 0, 0},
    };
    for (const Record& r : records) {
        const size_t rec = 64 + 32 * r.slot;
        EXPECT_EQ(r.count, Le32At(idx, rec)) << r.slot;
        EXPECT_EQ(r.first, Le32At(idx, rec + 4)) << r.slot;
        EXPECT_EQ(r.last, Le32At(idx, rec + 8)) << r.slot;
        EXPECT_EQ(r.firstTime, Le32At(idx, rec + 16)) << r.slot;
        EXPECT_EQ(r.lastTime, Le32At(idx, rec + 20)) << r.slot;
        EXPECT_EQ(r.flags, idx[rec + 25]) << r.slot;
    }
    EXPECT_EQ(7u, Le32At(idx, 20));
    EXPECT_EQ(1000u, Le32At(idx, 28));
    EXPECT_EQ(1240u, Le32At(idx, 32));
    // One clip per slot, in slot order, right after entry 6.
    EXPECT_EQ(3u, Le32At(idx, 40));
    ASSERT_EQ(1088u + 7 * 32 + 3 * 16, idx.size());
    EXPECT_EQ(0, idx[entry(7)]);
    EXPECT_EQ(5, idx[entry(7) + 16]);
    EXPECT_EQ(16, idx[entry(7) + 32]);
}

TEST(PSFileWriter, ClipRule) {
    struct Step {
        uint32_t ms;
        uint16_t day;
        uint8_t flags;
    };
    struct Case {
        const char* what;
        std::vector<Step> steps;
        uint32_t clips;
    } cases[] = {
        {"1000 ms apart stay together", {{0, 2, 0}, {1000, 2, 0}, {2000, 2, 0}}, 1},
        {"1001 ms apart split", {{0, 2, 0}, {1001, 2, 0}}, 2},
        {"date change splits", {{86399000, 2, 0}, {0, 3, 0}}, 2},
        {"same time, next date splits", {{5000, 2, 0}, {5000, 3, 0}}, 2},
        {"flag change splits", {{0, 2, 0x40}, {40, 2, 0x40}, {80, 2, 0x80}}, 2},
        {"time going back splits", {{5000, 2, 0}, {4000, 2, 0}}, 2},
    };
    for (const Case& c : cases) {
        TempDir dir;
        const std::string media = dir.File("clip.ps");
        auto channels = Channels();
        {
            CPSFile f;
            ASSERT_EQ(0, f.Open(media.c_str(), FileHeader(), 32, channels.data()));
            const auto payload = Payload(20, 1);
            for (const Step& s : c.steps) {
                _PSFILE_PACKET p = Frame(2, s.ms, payload);
                p.day = s.day;
                p.flags = s.flags;
                ASSERT_EQ(0, f.Write(p)) << c.what;
            }
        }
        const auto idx = ReadAll(media + "i");
        const uint32_t entries = static_cast<uint32_t>(c.steps.size());
        EXPECT_EQ(c.clips, Le32At(idx, 40)) << c.what;
        ASSERT_EQ(1088 + 32 * entries + 16 * c.clips, idx.size()) << c.what;
        // The first clip starts with the first packet; the last ends with the last packet.
        const size_t first = 1088 + 32 * entries;
        const size_t last = first + 16 * (c.clips - 1);
        EXPECT_EQ(c.steps.front().ms, Le32At(idx, first + 8)) << c.what;
        EXPECT_EQ(c.steps.back().ms, Le32At(idx, last + 12)) << c.what;
        EXPECT_EQ(c.steps.back().flags, idx[last + 1]) << c.what;
    }
}

TEST(PSFileWriter, TagAreaHoldsAtMost29Items) {
    TempDir dir;
    const std::string media = dir.File("tags.ps");
    auto channels = Channels();
    CPSFile f;
    ASSERT_EQ(0, f.Open(media.c_str(), FileHeader(), 32, channels.data()));
    std::vector<uint8_t> tags(90);
    for (size_t i = 0; i < tags.size(); ++i) tags[i] = static_cast<uint8_t>(i * 5 + 3);
    const auto payload = Payload(50, 3);
    _PSFILE_PACKET p = Frame(1, 0, payload);
    p.tags = tags.data();
    p.tagBytes = 90;  // 30 items
    EXPECT_EQ(PSFILE_EINVAL, f.Write(p));
    p.tagBytes = 88;  // 29 items and one stray byte: 117 tag bytes, too many
    EXPECT_EQ(PSFILE_EINVAL, f.Write(p));
    p.tagBytes = 87;  // 29 items
    ASSERT_EQ(0, f.Write(p));
    p.tagBytes = 4;  // one item and a zero byte
    ASSERT_EQ(0, f.Write(p));
    EXPECT_EQ(2u, f.Count(1));
    f.Close();

    const auto m = ReadAll(media);
    const size_t first = 1978;
    EXPECT_EQ(23 + 116, m[first + 8]);
    EXPECT_EQ(0x80 | 127, m[first + 20]);
    EXPECT_EQ(Bytes({0x03, 0x09, 0x06, 0x01}), Slice(m, first + 32, 4));  // item (3, 8, 13)
    EXPECT_EQ(payload, Slice(m, first + 32 + 116, 50));
    const size_t second = first + 32 + 116 + 50 + 26;  // 224 bytes, 26 of them padding
    EXPECT_EQ(Bytes({0x80, 0x08, 0xE0}), Slice(m, first + 24, 3));
    EXPECT_EQ(23 + 5, m[second + 8]);
    EXPECT_EQ(0x80 | 16, m[second + 20]);
    EXPECT_EQ(Bytes({0x03, 0x09, 0x06, 0x01, 0x00}), Slice(m, second + 32, 5));
    EXPECT_EQ(payload, Slice(m, second + 37, 50));

    // Read back: the items come back with the two low bits of their last byte cleared.
    ASSERT_EQ(0, f.Open(media.c_str()));
    std::vector<uint8_t> buffer;
    std::vector<uint8_t> back(100, 0xEE);
    _PSFILE_PACKET r;
    buffer.resize(PSFILE_MAX_PACKET);
    r = {};
    r.channel = 1;
    r.data = buffer.data();
    r.size = PSFILE_MAX_PACKET;
    r.tags = back.data();
    r.tagBytes = 100;
    ASSERT_EQ(0, f.Read(r));
    ASSERT_EQ(87u, r.tagBytes);
    for (size_t i = 0; i < 87; ++i) {
        EXPECT_EQ(i % 3 == 2 ? (tags[i] & 0xFC) : tags[i], back[i]) << i;
    }
    ASSERT_EQ(50u, r.payloadSize);
    EXPECT_EQ(payload, std::vector<uint8_t>(r.payload, r.payload + r.payloadSize));
    r.index = 0;
    r.size = PSFILE_MAX_PACKET;
    r.tagBytes = 5;  // room for one item only
    ASSERT_EQ(0, f.Read(r));
    EXPECT_EQ(3u, r.tagBytes);
    r.size = PSFILE_MAX_PACKET;
    r.tagBytes = 2;
    ASSERT_EQ(0, f.Read(r));
    EXPECT_EQ(0u, r.tagBytes);
}

TEST(PSFileWriter, StoredPacketCopyTakesTheDestinationsStreamIdCodecAndAttribute) {
    TempDir dir;
    const std::string source = dir.File("source.ps");
    const std::string dest = dir.File("dest.ps");
    auto channels = Channels();
    std::vector<uint8_t> tags = {1, 2, 4, 5, 6, 8};
    const auto payload = Payload(333, 9);
    {
        CPSFile f;
        ASSERT_EQ(0, f.Open(source.c_str(), FileHeader(1), 32, channels.data()));
        _PSFILE_PACKET p = Frame(2, 45000123, payload, false);
        p.codec = 2;
        p.flags = 0x20;
        p.ptsOffsetMs = 80;
        p.tags = tags.data();
        p.tagBytes = 6;
        ASSERT_EQ(0, f.Write(p));
    }
    CPSFile in;
    ASSERT_EQ(0, in.Open(source.c_str()));
    std::vector<uint8_t> buffer;
    _PSFILE_PACKET stored;
    ASSERT_EQ(0, ReadWithData(in, 2, 0, buffer, stored));
    const uint32_t length = 32 + 8 + 333 + 11;
    ASSERT_EQ(length - 11, stored.size);  // padding is not part of the stored size

    auto destChannels = Channels();
    destChannels[7].streamId = 0xE7;
    destChannels[7].codec = 9;
    destChannels[7].attr = 3;
    {
        CPSFile out;
        ASSERT_EQ(0, out.Open(dest.c_str(), FileHeader(0), 32, destChannels.data()));
        const auto first = Payload(10, 1);
        ASSERT_EQ(0, out.Write(Frame(7, 1000, first)));  // 64 bytes before the copy
        stored.channel = 7;
        stored.flags = 0x80;
        ASSERT_EQ(0, out.Write(stored));
    }
    const auto src = ReadAll(source);
    const auto dst = ReadAll(dest);
    ASSERT_EQ(1978u + 64 + length, dst.size());
    std::vector<uint8_t> expected(src.begin() + 1978, src.end());
    expected[3] = 0xE7;
    expected[21] = 0x80;  // previous packet: 64 bytes
    expected[22] = 0x08;
    expected[23] = 0x40;
    expected[27] |= 0x80;
    expected[28] = 0x09 | 0xC0 | (3 << 4);
    EXPECT_EQ(expected, std::vector<uint8_t>(dst.begin() + 1978 + 64, dst.end()));

    CPSFile back;
    ASSERT_EQ(0, back.Open(dest.c_str()));
    _PSFILE_PACKET r;
    ASSERT_EQ(0, ReadWithData(back, 7, 1, buffer, r));
    EXPECT_EQ(9, r.codec);
    EXPECT_EQ(3, r.packetAttr);
    EXPECT_EQ(0xA0, r.flags);
    EXPECT_EQ(2, r.frameType);
    EXPECT_EQ(45000123u, r.msOfDay);
    EXPECT_EQ(payload, std::vector<uint8_t>(r.payload, r.payload + r.payloadSize));
}

TEST(PSFileWriter, RefusedArgumentsAndStates) {
    TempDir dir;
    auto channels = Channels();
    CPSFile f;
    // A count other than 32: both files exist, empty, and stay open until Close.
    const std::string media = dir.File("c31.ps");
    EXPECT_EQ(PSFILE_EINVAL, f.Open(media.c_str(), FileHeader(), 31, channels.data()));
    EXPECT_TRUE(f.IsOpen());
    EXPECT_TRUE(ReadAll(media).empty());
    EXPECT_TRUE(ReadAll(media + "i").empty());
    EXPECT_EQ(0, f.Close());
    EXPECT_FALSE(f.IsOpen());

    // extFlag set: the pack header is written, then -1 with the files open.
    const std::string ext = dir.File("ext.ps");
    _PSFILE_HEADER h = FileHeader();
    h.extFlag = 1;
    EXPECT_EQ(PSFILE_EINVAL, f.Open(ext.c_str(), h, 32, channels.data()));
    EXPECT_TRUE(f.IsOpen());
    EXPECT_EQ(16u, ReadAll(ext).size());
    f.Close();

    // Not open / missing directory.
    _PSFILE_PACKET p = Frame(0, 0, std::vector<uint8_t>(4));
    EXPECT_EQ(PSFILE_EINVAL, f.Write(p));
    const std::string nowhere = dir.File("missing/dir.ps");
    EXPECT_EQ(PSFILE_EOPEN, f.Open(nowhere.c_str(), FileHeader(), 32, channels.data()));
    EXPECT_FALSE(f.IsOpen());
    EXPECT_EQ(PSFILE_EOPEN, f.Open(-1, nullptr, FileHeader(), 32, channels.data()));

    const std::string ok = dir.File("ok.ps");
    ASSERT_EQ(0, f.Open(ok.c_str(), FileHeader(), 32, channels.data()));
    p.channel = 32;
    EXPECT_EQ(PSFILE_EINVAL, f.Write(p));
    p.channel = 0;
    p.payload = nullptr;  // size without bytes
    EXPECT_EQ(PSFILE_EINVAL, f.Write(p));
    std::vector<uint8_t> big(PSFILE_MAX_PACKET);
    p.payload = big.data();
    p.payloadSize = PSFILE_MAX_PACKET - 32;  // the packet would be 4 194 304 bytes
    EXPECT_EQ(PSFILE_EINVAL, f.Write(p));
    p.payloadSize = PSFILE_MAX_PACKET - 64;  // 4 194 272: the largest packet
    EXPECT_EQ(0, f.Write(p));

    // Complete packets: only lengths that are multiples of 32, from 32 up to 4 194 272.
    std::vector<uint8_t> raw(64, 0);
    raw[2] = 1;
    raw[3] = 0xE0;
    EXPECT_EQ(PSFILE_EINVAL, f.Write(raw.data(), 48));
    EXPECT_EQ(PSFILE_EINVAL, f.Write(raw.data(), 0));
    EXPECT_EQ(PSFILE_EINVAL, f.Write(big.data(), PSFILE_MAX_PACKET));
    EXPECT_EQ(PSFILE_EINVAL, f.WriteIndex(raw.data(), 4194304 + 32, -1));
    EXPECT_EQ(0, f.Write(raw.data(), 64));
    EXPECT_EQ(2u, f.Count(0));
    // A stored packet shorter than its own header.
    _PSFILE_PACKET stored{};
    stored.data = raw.data();
    stored.size = 31;
    EXPECT_EQ(PSFILE_EINVAL, f.Write(stored));
    EXPECT_EQ(2u, f.Count(0));
}

TEST(PSFileWriter, AdoptedFilesAndPositionsPast4GiB) {
    // Positions are 64-bit: a media file that has grown past 4 GiB still gets exact entries.
    TempDir dir;
    const std::string media = dir.File("big.ps");
    auto channels = Channels();
    const auto payload = Payload(64, 5);
    const int64_t gap = (int64_t{5} << 30);  // sparse hole of 5 GiB
    {
        int fd = ::open(media.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(fd, 0);
        FILE* index = std::fopen((media + "i").c_str(), "w+b");
        ASSERT_NE(nullptr, index);
        CPSFile f;
        ASSERT_EQ(0, f.Open(fd, index, FileHeader(), 32, channels.data()));
        ASSERT_EQ(0, f.Write(Frame(0, 0, payload)));
        if (::ftruncate(fd, 1978 + 96 + gap) != 0) GTEST_SKIP() << "no sparse files here";
        ASSERT_EQ(0, f.Write(Frame(0, 40, payload)));
        EXPECT_GT(f.Size(), gap);
    }
    const auto idx = ReadAll(media + "i");
    EXPECT_EQ(static_cast<uint32_t>((96 + gap) / 32), Le32At(idx, 1088 + 32 + 12));
    CPSFile r;
    ASSERT_EQ(0, r.Open(media.c_str()));
    std::vector<uint8_t> buffer;
    _PSFILE_PACKET p;
    ASSERT_EQ(0, ReadWithData(r, 0, 1, buffer, p));
    EXPECT_EQ(40u, p.msOfDay);
    EXPECT_EQ(payload, std::vector<uint8_t>(p.payload, p.payload + p.payloadSize));
}

TEST(PSFileWriter, IndexEntriesWrittenInPlaceMatchAStreamWithoutDescriptor) {
    // With a descriptor the writer puts entries straight at their place in the index; a stream
    // that has none gets them through its own seeks and writes. Both give the same files.
    TempDir dir;
    auto channels = Channels();
    auto write = [&](CPSFile& f) {
        for (uint32_t i = 0; i < 40; ++i) {
            const uint16_t slot = i % 3 == 2 ? 16 : static_cast<uint16_t>(i % 2);
            // Gaps of more than a second start new clips now and then.
            ASSERT_EQ(
                0, f.Write(Frame(slot, 1000 + i * 400 + (i / 10) * 5000, Payload(50 + 30 * i, i))));
        }
    };
    const std::string direct = dir.File("direct.ps");
    {
        CPSFile f;
        ASSERT_EQ(0, f.Open(direct.c_str(), FileHeader(), 32, channels.data()));
        write(f);
    }
    const std::string opaque = dir.File("opaque.ps");
    {
        const int fd = ::open(opaque.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        ASSERT_GE(fd, 0);
        FILE* index = OpenOpaqueIndex(opaque + "i");
        ASSERT_NE(nullptr, index);
        ASSERT_EQ(-1, fileno(index));
        CPSFile f;
        ASSERT_EQ(0, f.Open(fd, index, FileHeader(), 32, channels.data()));
        write(f);
    }
    EXPECT_EQ(ReadAll(direct), ReadAll(opaque));
    const auto index = ReadAll(direct + "i");
    EXPECT_EQ(index, ReadAll(opaque + "i"));
    EXPECT_EQ(40u, Le32At(index, 20));  // entry count in the header
    CPSFile r;
    ASSERT_EQ(0, r.Open(direct.c_str()));
    ASSERT_EQ(40u, r.Count(PSFILE_ALL_SLOTS));
    std::vector<uint8_t> buffer;
    _PSFILE_PACKET p;
    for (uint32_t i = 0; i < r.Count(1); ++i) ASSERT_EQ(0, ReadWithData(r, 1, i, buffer, p)) << i;
}

TEST(PSFileWriter, OpenThatCannotWriteTheHeadersLeavesNoFiles) {
    TempDir dir;
    auto channels = Channels();
    struct rlimit old;
    ASSERT_EQ(0, ::getrlimit(RLIMIT_FSIZE, &old));
    void (*oldHandler)(int) = ::signal(SIGXFSZ, SIG_IGN);
    // The index header fails, then the media file's stream map (1 978 bytes with its headers).
    for (const rlim_t size : {rlim_t{100}, rlim_t{1500}}) {
        const std::string media = dir.File("headers" + std::to_string(size) + ".ps");
        CPSFile f;
        struct rlimit limit = old;
        limit.rlim_cur = size;
        ASSERT_EQ(0, ::setrlimit(RLIMIT_FSIZE, &limit));
        const int32_t rc = f.Open(media.c_str(), FileHeader(), 32, channels.data());
        ASSERT_EQ(0, ::setrlimit(RLIMIT_FSIZE, &old));
        EXPECT_NE(PSFILE_OK, rc) << size;
        EXPECT_FALSE(f.IsOpen()) << size;
        struct stat st;
        EXPECT_NE(0, ::stat(media.c_str(), &st)) << size;
        EXPECT_NE(0, ::stat((media + "i").c_str(), &st)) << size;
    }
    ::signal(SIGXFSZ, oldHandler);
}

TEST(PSFileWriter, FailedMediaWriteIsTakenBackFromBothFiles) {
    // A short write (here: the file size limit) must not leave a half packet that shifts every
    // later packet off its 32-byte grid, nor an index entry for it.
    TempDir dir;
    const std::string media = dir.File("full.ps");
    auto channels = Channels();
    struct rlimit old;
    ASSERT_EQ(0, ::getrlimit(RLIMIT_FSIZE, &old));
    void (*oldHandler)(int) = ::signal(SIGXFSZ, SIG_IGN);
    const auto small = Payload(100, 1);
    const auto large = Payload(5000, 2);
    {
        CPSFile f;
        ASSERT_EQ(0, f.Open(media.c_str(), FileHeader(), 32, channels.data()));
        ASSERT_EQ(0, f.Write(Frame(0, 0, small)));
        ASSERT_EQ(0, f.Write(Frame(16, 10, small)));
        struct rlimit limit = old;
        limit.rlim_cur = 1978 + 320 + 1000;  // room for part of the large packet only
        ASSERT_EQ(0, ::setrlimit(RLIMIT_FSIZE, &limit));
        const int32_t rc = f.Write(Frame(0, 40, large));
        ASSERT_EQ(0, ::setrlimit(RLIMIT_FSIZE, &old));
        EXPECT_EQ(PSFILE_EWRITE, rc);
        EXPECT_EQ(1u, f.Count(0));
        EXPECT_EQ(2u, f.Count(PSFILE_ALL_SLOTS));
        ASSERT_EQ(0, f.Write(Frame(0, 80, small)));
    }
    ::signal(SIGXFSZ, oldHandler);
    EXPECT_EQ(1978u + 160 * 3, ReadAll(media).size());
    CPSFile r;
    ASSERT_EQ(0, r.Open(media.c_str()));
    ASSERT_EQ(3u, r.Count(PSFILE_ALL_SLOTS));
    ASSERT_EQ(2u, r.Count(0));
    std::vector<uint8_t> buffer;
    _PSFILE_PACKET p;
    ASSERT_EQ(0, ReadWithData(r, 0, 1, buffer, p));
    EXPECT_EQ(80u, p.msOfDay);
    EXPECT_EQ(small, std::vector<uint8_t>(p.payload, p.payload + p.payloadSize));
    // The previous-length field of the last packet names the packet before it (160 bytes).
    EXPECT_EQ(0xA0, buffer[23]);
    // The index stays consistent: the chain of slot 0 is entries 0 and 2.
    const auto idx = ReadAll(media + "i");
    EXPECT_EQ(2u, Le32At(idx, 1088 + 20));
    EXPECT_EQ(0u, Le32At(idx, 1088 + 64 + 16));
}

TEST(PSFileWriter, FailedIndexWriteUnlinksThePreviousEntryAgain) {
    // Two packets of one slot in a row: the link in the previous entry and the new entry go out
    // in one index write. When that write fails half way, the previous entry must end the
    // slot's chain again, on disk, and the next packet must link to it normally.
    TempDir dir;
    const std::string media = dir.File("index.ps");
    auto channels = Channels();
    struct rlimit old;
    ASSERT_EQ(0, ::getrlimit(RLIMIT_FSIZE, &old));
    void (*oldHandler)(int) = ::signal(SIGXFSZ, SIG_IGN);
    const auto payload = Payload(100, 3);
    const size_t entry1 = 1088 + 32;
    {
        CPSFile f;
        ASSERT_EQ(0, f.Open(media.c_str(), FileHeader(), 32, channels.data()));
        ASSERT_EQ(0, f.Write(Frame(0, 0, payload)));
        ASSERT_EQ(0, f.Write(Frame(0, 40, payload)));
        struct rlimit limit = old;
        limit.rlim_cur = entry1 + 32 + 16;  // entry 1 and half of entry 2 fit
        ASSERT_EQ(0, ::setrlimit(RLIMIT_FSIZE, &limit));
        const int32_t rc = f.Write(Frame(0, 80, payload));
        ASSERT_EQ(0, ::setrlimit(RLIMIT_FSIZE, &old));
        EXPECT_EQ(PSFILE_EWRITE, rc);
        EXPECT_EQ(2u, f.Count(0));
        const auto idx = ReadAll(media + "i");
        ASSERT_GE(idx.size(), entry1 + 32);
        EXPECT_EQ(0xFFFFFFFFu, Le32At(idx, entry1 + 20));  // entry 1 ends the chain again
        EXPECT_EQ(0u, Le32At(idx, entry1 + 16));           // and still follows entry 0
        ASSERT_EQ(0, f.Write(Frame(0, 120, payload)));
    }
    ::signal(SIGXFSZ, oldHandler);
    EXPECT_EQ(1978u + 160 * 3, ReadAll(media).size());
    const auto idx = ReadAll(media + "i");
    EXPECT_EQ(3u, Le32At(idx, 20));
    EXPECT_EQ(2u, Le32At(idx, entry1 + 20));       // entry 1 -> entry 2
    EXPECT_EQ(1u, Le32At(idx, entry1 + 32 + 16));  // entry 2 <- entry 1
    CPSFile r;
    ASSERT_EQ(0, r.Open(media.c_str()));
    ASSERT_EQ(3u, r.Count(0));
    std::vector<uint8_t> buffer;
    _PSFILE_PACKET p;
    ASSERT_EQ(0, ReadWithData(r, 0, 2, buffer, p));
    EXPECT_EQ(120u, p.msOfDay);
}

TEST(PSFileWriter, HeldBackPacketsGiveTheSameFiles) {
    // Packets held back and written about 1 MiB at a time must give the bytes of packets
    // written one by one: slots interleaved (links from one batch into the next), packets larger
    // than a batch, payloads built in the room NextPayload offers (with and without tags in
    // front of them), and reads and a header rewrite while packets are held.
    TempDir dir;
    auto channels = Channels();
    auto sizeOf = [](uint32_t i) { return i % 17 == 8 ? size_t{3} << 19 : 20000 + i * 977; };
    uint8_t tags[6] = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66};
    auto write = [&](CPSFile& f, bool holding) {
        for (uint32_t i = 0; i < 60; ++i) {
            const uint16_t slot = i % 3 == 2 ? 16 : (i % 5 == 0 ? 1 : 0);
            const auto payload = Payload(sizeOf(i), i);
            _PSFILE_PACKET packet = Frame(slot, i * 40, payload, i % 10 == 0);
            if (i % 4 == 1) {
                uint8_t* room = f.NextPayload(static_cast<uint32_t>(payload.size()));
                ASSERT_EQ(holding, room != nullptr);
                if (room != nullptr) {
                    std::memcpy(room, payload.data(), payload.size());
                    packet.payload = room;
                }
            }
            if (i % 8 == 5) {
                packet.tags = tags;
                packet.tagBytes = sizeof(tags);
            }
            ASSERT_EQ(0, f.Write(packet)) << i;
            if (i == 30) {
                _PSFILE_ENTRY e;
                ASSERT_EQ(0, f.Entry(29, e, false));
                EXPECT_EQ(16, e.bytes[0]);  // entry 29 is a packet of slot 16
                ASSERT_EQ(0, f.Header());
            }
        }
    };
    const std::string direct = dir.File("direct.ps");
    const std::string held = dir.File("held.ps");
    {
        CPSFile f;
        ASSERT_EQ(0, f.Open(direct.c_str(), FileHeader(), 32, channels.data()));
        write(f, false);
    }
    {
        CPSFile f;
        ASSERT_EQ(0, f.Open(held.c_str(), FileHeader(), 32, channels.data()));
        f.HoldBackPackets();
        write(f, true);
        ASSERT_EQ(0, f.Flush());
    }
    const auto media = ReadAll(direct);
    EXPECT_GT(media.size(), size_t{4} << 20);
    EXPECT_TRUE(media == ReadAll(held));
    EXPECT_TRUE(ReadAll(direct + "i") == ReadAll(held + "i"));
    CPSFile r;
    ASSERT_EQ(0, r.Open(held.c_str()));
    ASSERT_EQ(60u, r.Count(PSFILE_ALL_SLOTS));
    std::vector<uint8_t> buffer;
    _PSFILE_PACKET p;
    ASSERT_EQ(0, ReadWithData(r, 16, 19, buffer, p));  // the last packet, slot 16
    EXPECT_EQ(59u * 40, p.msOfDay);
    EXPECT_TRUE(Payload(sizeOf(59), 59) ==
                std::vector<uint8_t>(p.payload, p.payload + p.payloadSize));
}

TEST(PSFileWriter, PayloadBuiltInPlaceSurvivesGrowingTheHeldBytes) {
    // A payload built in the room NextPayload offered, written with the largest tag area: the
    // packet no longer fits the room and the held bytes move to a larger block, payload too.
    TempDir dir;
    auto channels = Channels();
    const auto payload = Payload((size_t{1} << 20) - 63, 5);  // fills the first block exactly
    uint8_t tags[87];
    for (size_t i = 0; i < sizeof(tags); ++i) tags[i] = static_cast<uint8_t>(i * 3 + 1);
    auto write = [&](const std::string& path, bool holding) {
        CPSFile f;
        ASSERT_EQ(0, f.Open(path.c_str(), FileHeader(), 32, channels.data()));
        _PSFILE_PACKET packet = Frame(0, 0, payload);
        packet.tags = tags;
        packet.tagBytes = sizeof(tags);
        if (holding) {
            f.HoldBackPackets();
            uint8_t* room = f.NextPayload(static_cast<uint32_t>(payload.size()));
            ASSERT_NE(nullptr, room);
            std::memcpy(room, payload.data(), payload.size());
            packet.payload = room;
        }
        ASSERT_EQ(0, f.Write(packet));
        ASSERT_EQ(0, f.Flush());
    };
    write(dir.File("direct.ps"), false);
    write(dir.File("held.ps"), true);
    EXPECT_TRUE(ReadAll(dir.File("direct.ps")) == ReadAll(dir.File("held.ps")));
    EXPECT_TRUE(ReadAll(dir.File("direct.psi")) == ReadAll(dir.File("held.psi")));
}

TEST(PSFileWriter, FailedFlushTakesBackEveryHeldPacket) {
    // Held packets of three slots fail to be written, in the media file (the disk fills up) or
    // in the index after the media and the links of earlier entries went out: all of them go,
    // from both files, and the recording goes on from the last packet that was stored.
    const auto small = Payload(100, 1);
    for (const bool indexFails : {false, true}) {
        SCOPED_TRACE(indexFails ? "index write fails" : "media write fails");
        TempDir dir;
        const std::string media = dir.File("held.ps");
        auto channels = Channels();
        struct rlimit old;
        ASSERT_EQ(0, ::getrlimit(RLIMIT_FSIZE, &old));
        void (*oldHandler)(int) = ::signal(SIGXFSZ, SIG_IGN);
        {
            CPSFile f;
            OpaqueIndex* index = nullptr;
            if (indexFails) {
                const int fd = ::open(media.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
                ASSERT_GE(fd, 0);
                FILE* stream = OpenOpaqueIndex(media + "i", &index);
                ASSERT_NE(nullptr, stream);
                ASSERT_EQ(0, f.Open(fd, stream, FileHeader(), 32, channels.data()));
            } else {
                ASSERT_EQ(0, f.Open(media.c_str(), FileHeader(), 32, channels.data()));
            }
            f.HoldBackPackets();
            ASSERT_EQ(0, f.Write(Frame(0, 0, small)));
            ASSERT_EQ(0, f.Write(Frame(16, 10, small)));
            ASSERT_EQ(0, f.Flush());
            ASSERT_EQ(0, f.Write(Frame(0, 40, small)));
            ASSERT_EQ(0, f.Write(Frame(1, 45, small)));
            ASSERT_EQ(0, f.Write(Frame(16, 50, small)));
            ASSERT_EQ(0, f.Write(Frame(0, 60, small)));
            struct rlimit limit = old;
            if (indexFails) {
                index->limit = 1088 + 32 * 4 + 16;  // entries 2 and 3, half of entry 4
            } else {
                limit.rlim_cur = 1978 + 320 + 200;  // the first held packet, part of the second
            }
            ASSERT_EQ(0, ::setrlimit(RLIMIT_FSIZE, &limit));
            const int32_t rc = f.Flush();
            ASSERT_EQ(0, ::setrlimit(RLIMIT_FSIZE, &old));
            if (indexFails) index->limit = INT64_MAX;
            EXPECT_EQ(PSFILE_EWRITE, rc);
            EXPECT_EQ(2u, f.Count(PSFILE_ALL_SLOTS));
            EXPECT_EQ(1u, f.Count(0));
            EXPECT_EQ(0u, f.Count(1));
            EXPECT_EQ(1978u + 320, ReadAll(media).size());
            const auto idx = ReadAll(media + "i");
            ASSERT_GE(idx.size(), 1088u + 64);
            EXPECT_EQ(0xFFFFFFFFu, Le32At(idx, 1088 + 20));       // entry 0 ends slot 0 again
            EXPECT_EQ(0xFFFFFFFFu, Le32At(idx, 1088 + 32 + 20));  // entry 1 ends slot 16 again
            ASSERT_EQ(0, f.Write(Frame(0, 80, small)));
            ASSERT_EQ(0, f.Write(Frame(16, 90, small)));
            ASSERT_EQ(0, f.Flush());
        }
        ::signal(SIGXFSZ, oldHandler);
        EXPECT_EQ(1978u + 160 * 4, ReadAll(media).size());
        const auto idx = ReadAll(media + "i");
        EXPECT_EQ(4u, Le32At(idx, 20));
        EXPECT_EQ(2u, Le32At(idx, 1088 + 20));       // slot 0: entry 0 -> entry 2
        EXPECT_EQ(3u, Le32At(idx, 1088 + 32 + 20));  // slot 16: entry 1 -> entry 3
        CPSFile r;
        ASSERT_EQ(0, r.Open(media.c_str()));
        ASSERT_EQ(4u, r.Count(PSFILE_ALL_SLOTS));
        ASSERT_EQ(0u, r.Count(1));
        std::vector<uint8_t> buffer;
        _PSFILE_PACKET p;
        ASSERT_EQ(0, ReadWithData(r, 16, 1, buffer, p));
        EXPECT_EQ(90u, p.msOfDay);
        EXPECT_EQ(small, std::vector<uint8_t>(p.payload, p.payload + p.payloadSize));
        EXPECT_EQ(0xA0, buffer[23]);  // the packet before it was 160 bytes long
    }
}

TEST(PSFileWriter, SpaceReservedAheadIsGivenBackAtClose) {
    // Space reserved past the last packet never shows in the file's size, and Close frees it.
    TempDir dir;
    const std::string media = dir.File("reserve.ps");
    auto channels = Channels();
    const auto payload = Payload(4992, 4);  // 5024-byte packets, no padding
    struct stat st;
    bool reserved = false;
    {
        CPSFile f;
        ASSERT_EQ(0, f.Open(media.c_str(), FileHeader(), 32, channels.data()));
        for (uint32_t i = 0; i < 3; ++i) {
            ASSERT_EQ(0, f.Write(Frame(0, i * 40, payload)));
            ASSERT_EQ(0, ::stat(media.c_str(), &st));
            EXPECT_EQ(1978 + 5024 * (i + 1), st.st_size);
        }
        reserved = int64_t{st.st_blocks} * 512 >= (int64_t{8} << 20);
    }
    EXPECT_EQ(1978u + 5024 * 3, ReadAll(media).size());
    if (!reserved) GTEST_SKIP() << "this file system reserves no space ahead";
    ASSERT_EQ(0, ::stat(media.c_str(), &st));
    EXPECT_LT(int64_t{st.st_blocks} * 512, int64_t{1} << 20);
}

// A camera whose clock was never set reports dates before 2000. The 7-bit year field cannot
// hold them; the packet is still written (its video is kept) with the year wrapped into the
// field, and the date arithmetic stays well defined (this once shifted a negative number).
TEST(PSFileWriter, YearBefore2000WrapsIntoTheYearField) {
    TempDir dir;
    const std::string media = dir.File("old.ps");
    auto channels = Channels();
    const auto payload = Payload(10, 1);
    {
        CPSFile f;
        ASSERT_EQ(0, f.Open(media.c_str(), FileHeader(2), 32, channels.data()));
        _PSFILE_PACKET p = Frame(0, 1000, payload);
        p.year = 1999;
        p.month = 12;
        p.day = 31;
        ASSERT_EQ(0, f.Write(p));
    }
    const auto m = ReadAll(media);
    ASSERT_GE(m.size(), 1978u + 32u);
    EXPECT_EQ((127u << 9) | (12u << 5) | 31u, Le16At(m, 1978 + 30));
}
