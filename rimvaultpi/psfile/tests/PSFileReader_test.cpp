// Reading PS recordings: by channel, by file position, across channels, without a finished
// index, without any index, and embedded in an export.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <cstring>
#include <map>

#include "rimvaultpi/psfile/PSFile.h"
#include "rimvaultpi/psfile/tests/PSTestUtil.h"

using namespace pstest;

namespace {

struct Written {
    uint16_t channel;
    uint32_t ms;
    bool key;
    std::vector<uint8_t> payload;
};

// 40 packets on slots 0, 1 and 17 in an irregular order; slot 1 stops early.
std::vector<Written> Plan() {
    std::vector<Written> plan;
    const uint16_t pattern[] = {0, 17, 0, 1, 0, 17, 1, 0};
    for (uint32_t i = 0; i < 40; ++i) {
        uint16_t ch = pattern[i % 8];
        if (ch == 1 && i > 30) ch = 0;
        plan.push_back({ch, 3600000 + 40 * i, i % 5 == 0, Payload(20 + (i * 37) % 300, i)});
    }
    return plan;
}

void WriteRecording(const std::string& media, const std::vector<Written>& plan) {
    auto channels = Channels();
    CPSFile f;
    ASSERT_EQ(0, f.Open(media.c_str(), FileHeader(), 32, channels.data()));
    for (const Written& w : plan) ASSERT_EQ(0, f.Write(Frame(w.channel, w.ms, w.payload, w.key)));
}

std::vector<uint32_t> PlanIndexes(const std::vector<Written>& plan, uint16_t channel) {
    std::vector<uint32_t> out;
    for (uint32_t i = 0; i < plan.size(); ++i) {
        if (plan[i].channel == channel) out.push_back(i);
    }
    return out;
}

// Checks every packet of every slot, in file order and by channel, against what was written.
void ExpectContents(CPSFile& f, const std::vector<Written>& plan) {
    ASSERT_EQ(plan.size(), f.Count(PSFILE_ALL_SLOTS));
    std::vector<uint8_t> buffer;
    for (uint32_t i = 0; i < plan.size(); ++i) {
        _PSFILE_PACKET p;
        ASSERT_EQ(0, ReadWithData(f, PSFILE_ALL_SLOTS, i, buffer, p)) << i;
        EXPECT_EQ(plan[i].channel, p.channel) << i;
        EXPECT_EQ(plan[i].ms, p.msOfDay) << i;
        EXPECT_EQ(plan[i].payload, std::vector<uint8_t>(p.payload, p.payload + p.payloadSize)) << i;
    }
    for (uint16_t ch : {0, 1, 17}) {
        const auto want = PlanIndexes(plan, ch);
        ASSERT_EQ(want.size(), f.Count(ch)) << ch;
        for (uint32_t n = 0; n < want.size(); ++n) {
            _PSFILE_PACKET p;
            ASSERT_EQ(0, ReadWithData(f, ch, n, buffer, p)) << ch << "/" << n;
            const Written& w = plan[want[n]];
            EXPECT_EQ(w.ms, p.msOfDay);
            EXPECT_EQ(w.key, (p.frameType & 2) == 0);
            EXPECT_EQ(w.payload, std::vector<uint8_t>(p.payload, p.payload + p.payloadSize));
            EXPECT_EQ(2020, p.year);
            EXPECT_EQ(1, p.month);
            EXPECT_EQ(2, p.day);
            EXPECT_EQ(1, p.hour);
        }
    }
    for (uint16_t ch : {2, 16, 31}) EXPECT_EQ(0u, f.Count(ch));
}

// An index stream whose reads are recorded, to see how many entries an operation reads.
struct ReadLog {
    int fd;
    off64_t pos;
    std::vector<int64_t> reads;  // offsets
};

FILE* LoggedStream(ReadLog* log) {
    cookie_io_functions_t io = {};
    io.read = [](void* c, char* buf, size_t n) -> ssize_t {
        auto* l = static_cast<ReadLog*>(c);
        const ssize_t r = ::pread(l->fd, buf, n, l->pos);
        if (r > 0) {
            l->reads.push_back(l->pos);
            l->pos += r;
        }
        return r;
    };
    io.seek = [](void* c, off64_t* off, int whence) -> int {
        auto* l = static_cast<ReadLog*>(c);
        if (whence == SEEK_SET) {
            l->pos = *off;
        } else if (whence == SEEK_CUR) {
            l->pos += *off;
        } else {
            l->pos = ::lseek(l->fd, 0, SEEK_END) + *off;
        }
        *off = l->pos;
        return 0;
    };
    io.close = [](void* c) -> int { return ::close(static_cast<ReadLog*>(c)->fd); };
    FILE* f = fopencookie(log, "rb", io);
    // A buffer of one entry: every entry read is one read of the underlying file.
    static char buffer[PSFILE_ENTRY_SIZE];
    if (f != nullptr) setvbuf(f, buffer, _IOFBF, sizeof(buffer));
    return f;
}

}  // namespace

TEST(PSFileReader, ReadsEveryPacketBackWithItsIndex) {
    TempDir dir;
    const std::string media = dir.File("r.ps");
    const auto plan = Plan();
    WriteRecording(media, plan);
    CPSFile f;
    ASSERT_EQ(0, f.Open(media.c_str()));
    EXPECT_TRUE(f.HasIndex());
    ExpectContents(f, plan);

    _PSFILE_PACKET first{}, last{};
    ASSERT_EQ(0, f.PacketTimes(PSFILE_ALL_SLOTS, first, last));
    EXPECT_EQ(plan.front().ms, first.msOfDay);
    EXPECT_EQ(plan.back().ms, last.msOfDay);
    ASSERT_EQ(0, f.PacketTimes(1, first, last));
    EXPECT_EQ(1u, first.channel);
    EXPECT_EQ(plan[PlanIndexes(plan, 1).back()].ms, last.msOfDay);
    EXPECT_EQ(PSFILE_EINVAL, f.PacketTimes(2, first, last));
    EXPECT_EQ(PSFILE_EINVAL, f.PacketTimes(32, first, last));

    _PSFILE_PACKET p{};
    p.channel = 0;
    p.index = f.Count(0);
    EXPECT_EQ(PSFILE_EINVAL, f.Read(p));
    p.channel = 32;
    p.index = 0;
    EXPECT_EQ(PSFILE_EINVAL, f.Read(p));
}

TEST(PSFileReader, DescriptionOnlyAndBufferTooSmall) {
    TempDir dir;
    const std::string media = dir.File("d.ps");
    const auto plan = Plan();
    WriteRecording(media, plan);
    CPSFile f;
    ASSERT_EQ(0, f.Open(media.c_str()));
    _PSFILE_PACKET p{};
    p.channel = 17;
    p.index = 1;
    ASSERT_EQ(0, f.Read(p));  // no buffer: the description only
    const Written& w = plan[PlanIndexes(plan, 17)[1]];
    const uint32_t length = (32 + static_cast<uint32_t>(w.payload.size()) + 31) / 32 * 32;
    EXPECT_EQ(length, p.size);
    EXPECT_EQ(17u, p.channel);
    EXPECT_EQ(w.ms, p.msOfDay);
    EXPECT_EQ(nullptr, p.payload);

    std::vector<uint8_t> buffer(length, 0xAA);
    p.data = buffer.data();
    p.size = length - 1;
    EXPECT_EQ(PSFILE_EINVAL, f.Read(p));
    EXPECT_EQ(0xAA, buffer[0]);  // nothing was read into the short buffer
    p.size = length;
    ASSERT_EQ(0, f.Read(p));
    EXPECT_EQ(32 + w.payload.size(), p.size);
    EXPECT_EQ(0xC1, buffer[3]);  // stream id of slot 17
}

TEST(PSFileReader, SequentialReadsCostOneEntryEachAndBackwardReadsWalkBack) {
    TempDir dir;
    const std::string media = dir.File("walk.ps");
    const auto plan = Plan();
    WriteRecording(media, plan);

    auto* log = new ReadLog{::open((media + "i").c_str(), O_RDONLY), 0, {}};
    ASSERT_GE(log->fd, 0);
    FILE* index = LoggedStream(log);
    ASSERT_NE(nullptr, index);
    const auto want = PlanIndexes(plan, 0);
    {
        CPSFile f;
        ASSERT_EQ(0, f.Open(::open(media.c_str(), O_RDONLY), index, 0, 0));
        log->reads.clear();
        for (uint32_t n = 0; n < 10; ++n) {
            _PSFILE_PACKET p{};
            p.channel = 0;
            p.index = n;
            ASSERT_EQ(0, f.Read(p));
            EXPECT_EQ(plan[want[n]].ms, p.msOfDay);
        }
        // Ten packets, ten entry reads, each at its own entry.
        ASSERT_EQ(10u, log->reads.size());
        for (uint32_t n = 0; n < 10; ++n) EXPECT_EQ(1088 + 32 * int64_t{want[n]}, log->reads[n]);

        log->reads.clear();
        _PSFILE_PACKET p{};
        p.channel = 0;
        p.index = 5;  // after packet 9: four steps back along the chain
        ASSERT_EQ(0, f.Read(p));
        EXPECT_EQ(plan[want[5]].ms, p.msOfDay);
        ASSERT_EQ(4u, log->reads.size());
        EXPECT_EQ(1088 + 32 * int64_t{want[5]}, log->reads.back());

        log->reads.clear();
        p.index = 5;  // the cursor stands there already
        ASSERT_EQ(0, f.Read(p));
        EXPECT_TRUE(log->reads.empty());

        // Reads across channels: consecutive positions cost one entry read each.
        const uint16_t both[] = {0, 17};
        p = {};
        p.index = 0;
        ASSERT_EQ(0, f.Read(p, 2, both));
        log->reads.clear();
        for (uint32_t n = 1; n < 8; ++n) {
            p = {};
            p.index = n;
            ASSERT_EQ(0, f.Read(p, 2, both));
        }
        EXPECT_LE(log->reads.size(), 8u + 7u);  // at most one unselected entry between
    }
    delete log;
}

TEST(PSFileReader, ReadsAcrossSeveralChannelsInMediaOrder) {
    TempDir dir;
    const std::string media = dir.File("merge.ps");
    const auto plan = Plan();
    WriteRecording(media, plan);
    for (bool scanned : {false, true}) {
        if (scanned) {
            ASSERT_EQ(0, ::unlink((media + "i").c_str()));
        }
        CPSFile f;
        ASSERT_EQ(0, f.Open(media.c_str()));
        EXPECT_EQ(!scanned, f.HasIndex());
        struct Selection {
            std::vector<uint16_t> slots;
        } selections[] = {{{0, 17}}, {{17, 1}}, {{1}}, {{0, 1, 17, 17, 40}}};
        for (const Selection& s : selections) {
            std::vector<uint32_t> want;
            for (uint32_t i = 0; i < plan.size(); ++i) {
                for (uint16_t slot : s.slots) {
                    if (plan[i].channel == slot) {
                        want.push_back(i);
                        break;
                    }
                }
            }
            const uint32_t n = static_cast<uint32_t>(s.slots.size());
            ASSERT_EQ(want.size(), f.Count(n, s.slots.data()));
            // Forward, then backward, then jumps: the cursor must find each position.
            std::vector<uint32_t> order;
            for (uint32_t k = 0; k < want.size(); ++k) order.push_back(k);
            for (uint32_t k = static_cast<uint32_t>(want.size()); k-- > 0;) order.push_back(k);
            for (uint32_t k : {3u, 0u, static_cast<uint32_t>(want.size()) - 1, 7u, 2u}) {
                order.push_back(k);
            }
            std::map<uint16_t, uint32_t> numberInSlot;
            std::vector<uint32_t> slotNumber(plan.size());
            for (uint32_t i = 0; i < plan.size(); ++i)
                slotNumber[i] = numberInSlot[plan[i].channel]++;
            std::vector<uint8_t> buffer(PSFILE_MAX_PACKET);
            for (uint32_t k : order) {
                _PSFILE_PACKET p{};
                p.index = k;
                p.data = buffer.data();
                p.size = PSFILE_MAX_PACKET;
                ASSERT_EQ(0, f.Read(p, n, s.slots.data())) << k;
                const Written& w = plan[want[k]];
                EXPECT_EQ(w.channel, p.channel) << k;
                EXPECT_EQ(slotNumber[want[k]], p.index) << k;
                EXPECT_EQ(w.ms, p.msOfDay) << k;
                EXPECT_EQ(w.payload, std::vector<uint8_t>(p.payload, p.payload + p.payloadSize));
            }
            _PSFILE_PACKET p{};
            p.index = static_cast<uint32_t>(want.size());
            EXPECT_EQ(PSFILE_EINVAL, f.Read(p, n, s.slots.data()));
        }
        const uint16_t none[] = {0};
        EXPECT_EQ(0u, f.Count(0, none));
        std::vector<uint16_t> many(32, 0);
        EXPECT_EQ(0u, f.Count(32, many.data()));
        EXPECT_EQ(f.Count(0), f.Count(31, many.data()));  // slot 0 listed 31 times counts once
        _PSFILE_PACKET p{};
        EXPECT_EQ(PSFILE_EINVAL, f.Read(p, 0, none));
        EXPECT_EQ(PSFILE_EINVAL, f.Read(p, 32, many.data()));
    }
}

TEST(PSFileReader, UnfinishedIndexIsRebuiltOnOpen) {
    // A writer that never reached Close: copy both files while it is still open.
    TempDir dir;
    const std::string media = dir.File("live.ps");
    const std::string copy = dir.File("crashed.ps");
    const auto plan = Plan();
    auto channels = Channels();
    {
        CPSFile f;
        ASSERT_EQ(0, f.Open(media.c_str(), FileHeader(), 32, channels.data()));
        for (const Written& w : plan) {
            ASSERT_EQ(0, f.Write(Frame(w.channel, w.ms, w.payload, w.key)));
        }
        ASSERT_TRUE(WriteAll(copy, ReadAll(media)));
        ASSERT_TRUE(WriteAll(copy + "i", ReadAll(media + "i")));
    }
    const auto stale = ReadAll(copy + "i");
    ASSERT_EQ(0u, Le32At(stale, 20));  // the header says 0 entries, no clips follow
    ASSERT_EQ(1088u + 32 * plan.size(), stale.size());

    CPSFile closed, crashed;
    ASSERT_EQ(0, closed.Open(media.c_str()));
    ASSERT_EQ(0, crashed.Open(copy.c_str()));
    ExpectContents(crashed, plan);
    for (uint32_t slot = 0; slot < 32; ++slot) {
        EXPECT_EQ(closed.Count(slot), crashed.Count(slot)) << slot;
        _PSFILE_PACKET a1{}, a2{}, b1{}, b2{};
        EXPECT_EQ(closed.PacketTimes(slot, a1, a2), crashed.PacketTimes(slot, b1, b2));
        EXPECT_EQ(a1.msOfDay, b1.msOfDay);
        EXPECT_EQ(a2.msOfDay, b2.msOfDay);
        _PSFILE_CHANNEL c1, c2;
        ASSERT_EQ(0, closed.ChannelInfo(slot, c1));
        ASSERT_EQ(0, crashed.ChannelInfo(slot, c2));
        EXPECT_EQ(c1.codec, c2.codec);
        EXPECT_EQ(c1.flags, c2.flags);
        // Rebuilt records take the attribute of the slot's packets (the file's packetAttr 1);
        // slots without packets keep the one stored when the file was opened.
        EXPECT_EQ(closed.Count(slot) != 0 ? 1 : c1.attr, c2.attr);
    }
    // The clips exist in memory and match the ones the finished index stores.
    uint32_t clips = 0;
    PSClip a, b;
    while (closed.Clip(clips, a) == 0) {
        ASSERT_EQ(0, crashed.Clip(clips, b)) << clips;
        EXPECT_EQ(a.slot, b.slot);
        EXPECT_EQ(a.flags, b.flags);
        EXPECT_EQ(0, std::memcmp(&a.start, &b.start, sizeof(a.start)));
        EXPECT_EQ(0, std::memcmp(&a.end, &b.end, sizeof(a.end)));
        ++clips;
    }
    EXPECT_EQ(3u, clips);
    EXPECT_NE(0, crashed.Clip(clips, b));
}

TEST(PSFileReader, MediaWithoutIndexIsScanned) {
    TempDir dir;
    const std::string media = dir.File("noindex.ps");
    const auto plan = Plan();
    WriteRecording(media, plan);
    ASSERT_EQ(0, ::unlink((media + "i").c_str()));
    CPSFile f;
    ASSERT_EQ(0, f.Open(media.c_str()));
    EXPECT_FALSE(f.HasIndex());
    EXPECT_EQ(1978, f.DataStart());
    ExpectContents(f, plan);
    _PSFILE_CHANNEL c;
    ASSERT_EQ(0, f.ChannelInfo(17, c));
    EXPECT_EQ(0xC1, c.streamId);
    EXPECT_EQ(1, c.codec);
    // Frames since the last key frame are counted as the writer counts them.
    CPSFile indexed;
    WriteRecording(dir.File("again.ps"), plan);
    ASSERT_EQ(0, indexed.Open(dir.File("again.ps").c_str()));
    for (uint32_t n = 0; n < f.Count(0); ++n) {
        _PSFILE_PACKET a{}, b{};
        a.channel = b.channel = 0;
        a.index = b.index = n;
        ASSERT_EQ(0, f.Read(a));
        ASSERT_EQ(0, indexed.Read(b));
        EXPECT_EQ(b.gopIndex, a.gopIndex) << n;
    }
}

TEST(PSFileReader, MediaWithoutPackHeaderIsReadFromItsFirstByte) {
    TempDir dir;
    const std::string media = dir.File("full.ps");
    const std::string bare = dir.File("bare.ps");
    const auto plan = Plan();
    WriteRecording(media, plan);
    const auto bytes = ReadAll(media);
    ASSERT_TRUE(WriteAll(bare, std::vector<uint8_t>(bytes.begin() + 1978, bytes.end())));
    CPSFile f;
    ASSERT_EQ(0, f.Open(bare.c_str()));
    EXPECT_EQ(0, f.DataStart());
    ExpectContents(f, plan);
    _PSFILE_HEADER h;
    EXPECT_EQ(PSFILE_EINVAL, f.FileInfo(h));
    _PSFILE_CHANNEL c;
    EXPECT_EQ(PSFILE_EINVAL, f.ChannelInfo(0, c));
}

TEST(PSFileReader, ScannedDatesFromPacketsWithoutPackedDates) {
    // Packets of other writers: byte 28 with bit 7 clear holds seconds since 1970 in bytes
    // 28-31; the milliseconds come from the decode time stamp.
    TempDir dir;
    const std::string media = dir.File("secs.ps");
    std::vector<uint8_t> packet(64, 0);
    packet[2] = 1;
    packet[3] = 0xE0;
    packet[24] = 0x80;  // length 64
    packet[25] = 0x08;
    packet[26] = 0x40;
    const uint64_t dts = 1234 * 90;  // ... 1.234 s: 234 ms
    packet[14] = static_cast<uint8_t>(0x31 | ((dts >> 29) & 0x0E));
    packet[15] = static_cast<uint8_t>(dts >> 22);
    packet[16] = static_cast<uint8_t>(((dts >> 14) & 0xFE) | 1);
    packet[17] = static_cast<uint8_t>(dts >> 7);
    packet[18] = static_cast<uint8_t>(((dts << 1) & 0xFE) | 1);
    const uint32_t seconds = 0x5E639409;  // 2020-03-07 12:31:05 UTC; byte 28 = 0x09
    std::memcpy(&packet[28], &seconds, 4);
    ASSERT_TRUE(WriteAll(media, packet));
    CPSFile f;
    ASSERT_EQ(0, f.Open(media.c_str()));
    ASSERT_EQ(1u, f.Count(0));
    _PSFILE_PACKET p{};
    p.channel = 0;
    ASSERT_EQ(0, f.Read(p));
    EXPECT_EQ(2020, p.year);
    EXPECT_EQ(3, p.month);
    EXPECT_EQ(7, p.day);
    EXPECT_EQ(12, p.hour);
    EXPECT_EQ(31, p.minute);
    EXPECT_EQ(5, p.second);
    EXPECT_EQ(234, p.millisecond);
}

TEST(PSFileReader, FileAndChannelDescriptions) {
    TempDir dir;
    const std::string media = dir.File("desc.ps");
    auto channels = Channels();
    const char title[] = "exactly thirty-two characters!!!";
    static_assert(sizeof(title) == 33, "32 characters");
    _PSFILE_HEADER h = FileHeader(3);
    h.title = title;
    h.infoWord2 = 0x01020304;
    channels[4].name = "porch";
    channels[4].info6 = 6;
    channels[4].info7 = 7;
    channels[4].infoWord1 = 0xCAFEF00D;
    channels[20].sampleRate = 0xFFFF;  // stored FF FF: reads back as 8000
    channels[21].sampleRate = 0;
    channels[22].sampleRate = 44100;  // 0xAC44 with the flag bit set
    channels[22].audioFlag = 1;
    channels[22].audioParam = 0xBEEF;
    {
        CPSFile f;
        ASSERT_EQ(0, f.Open(media.c_str(), h, 32, channels.data()));
    }
    CPSFile f;
    ASSERT_EQ(0, f.Open(media.c_str()));
    _PSFILE_HEADER out;
    ASSERT_EQ(0, f.FileInfo(out));
    EXPECT_EQ(3, out.packetAttr);
    EXPECT_EQ(0x01020304u, out.infoWord2);
    ASSERT_NE(nullptr, out.title);
    EXPECT_STREQ(title, out.title);  // 32 characters, no terminator on disk, one in memory
    EXPECT_EQ(0, out.extFlag);

    _PSFILE_CHANNEL c;
    ASSERT_EQ(0, f.ChannelInfo(4, c));
    EXPECT_EQ(0x1B, c.streamType);
    EXPECT_EQ(0xE4, c.streamId);
    EXPECT_EQ(20, c.widthDiv16);
    EXPECT_EQ(15, c.heightDiv16);
    EXPECT_EQ(6, c.info6);
    EXPECT_EQ(7, c.info7);
    EXPECT_EQ(0xCAFEF00Du, c.infoWord1);
    EXPECT_STREQ("porch", c.name);
    EXPECT_EQ(4, c.codec);
    EXPECT_EQ(0, c.attr);
    struct Audio {
        uint32_t slot;
        uint16_t rate;
        uint8_t flag;
    } audio[] = {{20, 8000, 0}, {21, 8000, 0}, {22, 0xAC44 & 0xFFF7, 1}, {16, 16000, 0}};
    for (const Audio& a : audio) {
        ASSERT_EQ(0, f.ChannelInfo(a.slot, c)) << a.slot;
        EXPECT_EQ(a.rate, c.sampleRate) << a.slot;
        EXPECT_EQ(a.flag, c.audioFlag) << a.slot;
    }
    ASSERT_EQ(0, f.ChannelInfo(22, c));
    EXPECT_EQ(0xBEEF, c.audioParam);
    EXPECT_EQ(PSFILE_EINVAL, f.ChannelInfo(32, c));
}

TEST(PSFileReader, InvalidClipRecordIsRefused) {
    TempDir dir;
    const std::string media = dir.File("clips.ps");
    const auto plan = Plan();
    WriteRecording(media, plan);
    auto idx = ReadAll(media + "i");
    const size_t clips = 1088 + 32 * plan.size();
    ASSERT_EQ(clips + 3 * 16, idx.size());
    idx[clips + 16 + 2] = 1;  // clip 1: bytes 2-3 must be zero
    idx[clips + 32] = 32;     // clip 2: slot out of range
    ASSERT_TRUE(WriteAll(media + "i", idx));
    CPSFile f;
    ASSERT_EQ(0, f.Open(media.c_str()));
    PSClip c;
    ASSERT_EQ(0, f.Clip(0, c));
    EXPECT_EQ(0, c.slot);
    EXPECT_EQ(1, c.start.tm_hour);
    EXPECT_EQ(0, c.start.tm_mon);
    EXPECT_EQ(120, c.start.tm_year);
    EXPECT_EQ(2, c.start.tm_mday);
    EXPECT_EQ(-1, c.start.tm_wday);
    EXPECT_EQ(PSFILE_EINVAL, f.Clip(1, c));
    EXPECT_EQ(PSFILE_EINVAL, f.Clip(2, c));
    EXPECT_EQ(PSFILE_EINVAL, f.Clip(3, c));
}

TEST(PSFileReader, TimesPastMidnightMoveToTheNextDay) {
    TempDir dir;
    const std::string media = dir.File("late.ps");
    auto channels = Channels();
    {
        CPSFile f;
        ASSERT_EQ(0, f.Open(media.c_str(), FileHeader(), 32, channels.data()));
        const auto payload = Payload(8, 1);
        _PSFILE_PACKET p = Frame(0, 0, payload);
        p.hour = 24;  // 24:00:00.500 of 2020-01-02
        p.millisecond = 500;
        ASSERT_EQ(0, f.Write(p));
    }
    CPSFile f;
    ASSERT_EQ(0, f.Open(media.c_str()));
    _PSFILE_PACKET p{};
    p.channel = 0;
    ASSERT_EQ(0, f.Read(p));
    EXPECT_EQ(3, p.day);
    EXPECT_EQ(0, p.hour);
    EXPECT_EQ(500, p.millisecond);
    EXPECT_EQ(500u, p.msOfDay);
    PSClip c;
    ASSERT_EQ(0, f.Clip(0, c));
    EXPECT_EQ(3, c.start.tm_mday);
    EXPECT_EQ(0, c.start.tm_hour);
}

TEST(PSFileReader, OpenFailures) {
    TempDir dir;
    CPSFile f;
    EXPECT_EQ(PSFILE_EOPEN, f.Open(dir.File("missing.ps").c_str()));
    EXPECT_FALSE(f.IsOpen());
    EXPECT_EQ(PSFILE_EOPEN, f.Open(-1, nullptr, 0, 0));
    EXPECT_EQ(PSFILE_EINVAL, f.Open(dir.File("x").c_str(), -1, 0));
    // An index with a bad header closes the object.
    const std::string media = dir.File("bad.ps");
    WriteRecording(media, Plan());
    auto idx = ReadAll(media + "i");
    idx[4] = 65;  // header size
    ASSERT_TRUE(WriteAll(media + "i", idx));
    EXPECT_EQ(PSFILE_EINVAL, f.Open(media.c_str()));
    EXPECT_FALSE(f.IsOpen());
    idx[4] = 64;
    idx[0] = 0;  // format flag
    ASSERT_TRUE(WriteAll(media + "i", idx));
    EXPECT_EQ(PSFILE_EINVAL, f.Open(media.c_str()));
    idx[0] = 1;
    ASSERT_TRUE(WriteAll(media + "i", std::vector<uint8_t>(idx.begin(), idx.begin() + 60)));
    EXPECT_EQ(PSFILE_EREAD, f.Open(media.c_str()));
    EXPECT_FALSE(f.IsOpen());
}
