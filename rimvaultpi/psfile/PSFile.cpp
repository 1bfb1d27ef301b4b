#include "rimvaultpi/psfile/PSFile.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "rimvaultpi/psfile/PSBytes.h"

static_assert(sizeof(off_t) == 8, "build with _FILE_OFFSET_BITS=64: media files may exceed 2 GiB");
static_assert(sizeof(_PSFILE_ENTRY) == PSFILE_ENTRY_SIZE, "entries are written as arrays");

using namespace psbytes;

namespace {

constexpr uint32_t kNone = 0xFFFFFFFF;  // "no entry" in the chain fields
constexpr size_t kMaxPathLen = 4095;
// Media space reserved ahead of the packets (see ReserveMedia).
constexpr int64_t kMediaReserveStep = int64_t{8} << 20;
// Packets held back (HoldBackPackets) are written once they fill this much.
constexpr size_t kHeldMediaBytes = size_t{1} << 20;

const uint8_t kPackHeader[PSFILE_PACK_HEADER_SIZE] = {
    0x00, 0x00, 0x01, 0xBA, 0x44, 0x00, 0x04, 0x00, 0x04, 0x01, 0x00, 0x00, 0x03, 0xFA, 0xFF, 0xFF};

// Index header fields.
enum : uint32_t {
    kHdrFormat = 0,
    kHdrHeaderSize = 4,
    kHdrChannelSize = 8,
    kHdrEntrySize = 12,
    kHdrChannelCount = 16,
    kHdrEntryCount = 20,
    kHdrFirstDate = 24,
    kHdrLastDate = 26,
    kHdrFirstTime = 28,
    kHdrLastTime = 32,
    kHdrClipSize = 36,
    kHdrClipCount = 40,
};
// Channel record fields.
enum : uint32_t {
    kRecCount = 0,
    kRecFirst = 4,
    kRecLast = 8,
    kRecFirstDate = 12,
    kRecLastDate = 14,
    kRecFirstTime = 16,
    kRecLastTime = 20,
    kRecCodec = 24,
    kRecFlags = 25,
    kRecAttr = 26,
};
// Entry fields.
enum : uint32_t {
    kEntSlot = 0,
    kEntType = 2,
    kEntCodec = 3,
    kEntLength = 4,
    kEntDate = 6,
    kEntTime = 8,
    kEntPosition = 12,
    kEntPrev = 16,
    kEntNext = 20,
    kEntGop = 24,
    kEntLengthHigh = 26,
};
// Clip record fields.
enum : uint32_t {
    kClipSlot = 0,
    kClipFlags = 1,
    kClipFirstDate = 4,
    kClipLastDate = 6,
    kClipFirstTime = 8,
    kClipLastTime = 12,
};
// Stream map layout.
constexpr uint32_t kMapTitle = 38;
constexpr uint32_t kMapEntries = 106;
constexpr uint32_t kMapEntrySize = 58;

uint32_t EntryLength(const _PSFILE_ENTRY& e) {
    return (uint32_t{Le16(e.bytes + kEntLength)} << 5) | (uint32_t{e.bytes[kEntLengthHigh]} << 21);
}

bool EntryValid(const _PSFILE_ENTRY& e) {
    return e.bytes[kEntSlot] < PSFILE_SLOTS &&
           !(Le32(e.bytes + kEntPrev) == 0 && Le32(e.bytes + kEntNext) == 0);
}

// Splits a stored time of day into the packet's date and time fields; a time of day past
// midnight is moved into the next day.
void FillTimes(uint16_t date, uint32_t msOfDay, _PSFILE_PACKET& p) {
    if (msOfDay >= PSFILE_MS_PER_DAY) {
        msOfDay -= PSFILE_MS_PER_DAY;
        date = static_cast<uint16_t>(date + 1);
    }
    p.packedDate = date;
    p.year = static_cast<uint16_t>((date >> 9) + 2000);
    p.month = (date >> 5) & 0x0F;
    p.day = date & 0x1F;
    p.msOfDay = msOfDay;
    p.hour = static_cast<int32_t>(msOfDay / 3600000);
    p.minute = static_cast<int32_t>(msOfDay / 60000 % 60);
    p.second = static_cast<int32_t>(msOfDay / 1000 % 60);
    p.millisecond = static_cast<int32_t>(msOfDay % 1000);
}

void FillTm(uint16_t date, uint32_t msOfDay, struct tm& t) {
    _PSFILE_PACKET p{};
    FillTimes(date, msOfDay, p);
    t = {};
    t.tm_sec = p.second;
    t.tm_min = p.minute;
    t.tm_hour = p.hour;
    t.tm_mday = p.day;
    t.tm_mon = p.month - 1;
    t.tm_year = p.year - 1900;
    t.tm_wday = -1;
    t.tm_yday = -1;
    t.tm_isdst = 0;
}

// Days since 1970-01-01 to a civil date (proleptic Gregorian).
void CivilFromDays(int64_t z, int64_t& y, unsigned& m, unsigned& d) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    d = static_cast<unsigned>(doy - (153 * mp + 2) / 5 + 1);
    m = static_cast<unsigned>(mp < 10 ? mp + 3 : mp - 9);
    y = yoe + era * 400 + (m <= 2 ? 1 : 0);
}

// Packed date and time of day of a UTC calendar time; the milliseconds come from `msPart`.
void DateFromSeconds(int64_t seconds, uint32_t msPart, uint16_t& date, uint32_t& msOfDay) {
    int64_t days = seconds / 86400;
    int64_t rem = seconds % 86400;
    if (rem < 0) {
        rem += 86400;
        --days;
    }
    int64_t y;
    unsigned m, d;
    CivilFromDays(days, y, m, d);
    date = static_cast<uint16_t>((y - 2000) * 512 + m * 32 + d);
    msOfDay = static_cast<uint32_t>(rem) * 1000 + msPart % 1000;
}

// Copies up to 32 bytes of NUL-padded text into a terminated buffer of 33.
void CopyText(char (&out)[33], const uint8_t* text) {
    std::memcpy(out, text, 32);
    out[32] = '\0';
}

// Writes every byte of the vectors at the descriptor's position; returns the bytes written.
uint64_t WriteAll(int fd, struct iovec* iov, int count) {
    uint64_t total = 0;
    while (count > 0) {
        ssize_t n = ::writev(fd, iov, count);
        if (n < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (n == 0) break;
        total += static_cast<uint64_t>(n);
        size_t left = static_cast<size_t>(n);
        while (count > 0 && left >= iov->iov_len) {
            left -= iov->iov_len;
            ++iov;
            --count;
        }
        if (count > 0) {
            iov->iov_base = static_cast<uint8_t*>(iov->iov_base) + left;
            iov->iov_len -= left;
        }
    }
    return total;
}

// Writes exactly `length` bytes at `offset` without moving the file offset; false on failure.
bool WriteAt(int fd, const void* bytes, size_t length, int64_t offset) {
    const uint8_t* p = static_cast<const uint8_t*>(bytes);
    while (length > 0) {
        ssize_t n = ::pwrite(fd, p, length, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        length -= static_cast<size_t>(n);
        offset += n;
    }
    return true;
}

// Makes room for `extra` more elements, growing the capacity geometrically.
template <typename T>
void Reserve(std::vector<T>& v, size_t extra) {
    if (v.capacity() - v.size() < extra) v.reserve(std::max(2 * v.capacity(), v.size() + extra));
}

// Reads exactly `length` bytes at `offset`; false on a short read or an error.
bool ReadAt(int fd, void* out, size_t length, int64_t offset) {
    uint8_t* p = static_cast<uint8_t*>(out);
    while (length > 0) {
        ssize_t n = ::pread(fd, p, length, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        length -= static_cast<size_t>(n);
        offset += n;
    }
    return true;
}

}  // namespace

CPSFile::CPSFile() : m_mediaFd(-1), m_index(nullptr) { Reset(); }

CPSFile::~CPSFile() { Close(); }

void CPSFile::Reset() {
    m_mediaFd = -1;
    m_index = nullptr;
    m_writing = false;
    m_indexBase = 0;
    m_dataStart = 0;
    m_reserveMedia = false;
    m_reserved = false;
    m_reservedEnd = 0;
    std::memset(&m_w, 0, sizeof(m_w));
    m_w.prevLength = 0xFFFFFFFF;
    m_held = HeldPackets();
    std::memset(m_packHeader, 0, sizeof(m_packHeader));
    std::memset(m_streamMap, 0, sizeof(m_streamMap));
    m_streamMapLen = 0;
    std::memset(m_streamIds, 0, sizeof(m_streamIds));
    m_clips.clear();
    std::memset(m_title, 0, sizeof(m_title));
    std::memset(m_names, 0, sizeof(m_names));
    std::memset(m_cursors, 0, sizeof(m_cursors));
    std::memset(&m_merge, 0, sizeof(m_merge));
    m_scanned = false;
    std::vector<_PSFILE_ENTRY>().swap(m_entries);
    for (auto& list : m_slotEntries) std::vector<uint32_t>().swap(list);
}

int32_t CPSFile::Fail(int32_t code) {
    Close();
    return code;
}

uint32_t CPSFile::EntryCount() const { return Le32(m_w.indexHeader + kHdrEntryCount); }

// ---------------------------------------------------------------------------------------------
// Writing

int32_t CPSFile::Open(const char* path, const _PSFILE_HEADER& header, uint32_t count,
                      const _PSFILE_CHANNEL* channels) {
    Close();
    // The index path is the media path plus "i"; refuse paths whose index name would not fit
    // instead of writing the index under a cut-off name.
    if (path == nullptr || std::strlen(path) + 1 > kMaxPathLen) return PSFILE_EINVAL;
    const std::string indexPath = std::string(path) + "i";
    int fd = ::open(path, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return PSFILE_EOPEN;
    // A recording that could not be started is not left behind half made: whoever retries
    // takes a new name, so such files would stay among the recordings for good.
    FILE* index = std::fopen(indexPath.c_str(), "w+be");
    if (index == nullptr) {
        ::close(fd);
        ::unlink(path);
        return PSFILE_EOPEN;
    }
    m_mediaFd = fd;
    m_index = index;
    m_writing = true;
    m_reserveMedia = true;  // a file of our own: space may be reserved ahead (see ReserveMedia)
    const int32_t rc = OpenWrite(header, count, channels);
    if (rc != PSFILE_OK && m_mediaFd < 0) {  // a failed write closed both files
        ::unlink(path);
        ::unlink(indexPath.c_str());
    }
    return rc;
}

int32_t CPSFile::Open(int mediaFd, FILE* index, const _PSFILE_HEADER& header, uint32_t count,
                      const _PSFILE_CHANNEL* channels) {
    Close();
    if (mediaFd < 0 || index == nullptr) return PSFILE_EOPEN;
    m_mediaFd = mediaFd;
    m_index = index;
    m_writing = true;
    return OpenWrite(header, count, channels);
}

int32_t CPSFile::OpenWrite(const _PSFILE_HEADER& header, uint32_t count,
                           const _PSFILE_CHANNEL* channels) {
    if (!m_writing || m_mediaFd < 0 || m_index == nullptr) return PSFILE_EINVAL;
    if (count != PSFILE_SLOTS || channels == nullptr) return PSFILE_EINVAL;

    std::memset(&m_w, 0, sizeof(m_w));
    m_w.prevLength = 0xFFFFFFFF;
    uint8_t* h = m_w.indexHeader;
    PutLe32(h + kHdrFormat, 1);
    PutLe32(h + kHdrHeaderSize, PSFILE_INDEX_HEADER_SIZE);
    PutLe32(h + kHdrChannelSize, PSFILE_CHANNEL_RECORD_SIZE);
    PutLe32(h + kHdrEntrySize, PSFILE_ENTRY_SIZE);
    PutLe32(h + kHdrChannelCount, PSFILE_SLOTS);
    PutLe32(h + kHdrClipSize, PSFILE_CLIP_RECORD_SIZE);
    for (uint32_t s = 0; s < PSFILE_SLOTS; ++s) {
        m_w.channelRecords[s][kRecCodec] = channels[s].codec;
        m_w.channelRecords[s][kRecAttr] = channels[s].attr;
    }
    m_indexBase = 0;

    int32_t rc = Header();
    if (rc != PSFILE_OK) return Fail(rc);

    std::memcpy(m_packHeader, kPackHeader, sizeof(kPackHeader));
    if (WriteMedia(m_packHeader, sizeof(m_packHeader)) != sizeof(m_packHeader)) {
        return Fail(PSFILE_EWRITE);
    }
    BuildStreamMap(header, channels);
    if (header.extFlag != 0) return PSFILE_EINVAL;  // files stay open; the caller closes
    if (WriteMedia(m_streamMap, sizeof(m_streamMap)) != sizeof(m_streamMap)) {
        return Fail(PSFILE_EWRITE);
    }
    off_t start = ::lseek(m_mediaFd, 0, SEEK_CUR);
    if (start < 0) return Fail(PSFILE_ESEEK);
    m_dataStart = start;

    for (uint32_t s = 0; s < PSFILE_SLOTS; ++s) m_streamIds[s] = channels[s].streamId;
    m_clips.clear();
    return PSFILE_OK;
}

void CPSFile::BuildStreamMap(const _PSFILE_HEADER& header, const _PSFILE_CHANNEL* channels) {
    uint8_t* m = m_streamMap;
    std::memset(m, 0, sizeof(m_streamMap));
    m[2] = 0x01;
    m[3] = 0xBC;
    PutBe16(m + 4, PSFILE_STREAM_MAP_SIZE - 6);  // 1956
    m[6] = 0xE2;
    m[7] = 0xFF;
    PutBe16(m + 8, 94);
    std::memset(m + 10, 0xFF, 8);
    m[18] = header.packetAttr;
    m[19] = header.infoByte1;
    m[20] = header.infoByte2;
    m[21] = header.infoByte3;
    PutLe32(m + 22, header.infoWord0);
    PutLe32(m + 26, header.infoWord1);
    PutLe32(m + 30, header.infoWord2);
    PutLe32(m + 34, header.infoWord3);
    if (header.title != nullptr)
        std::memcpy(m + kMapTitle, header.title, strnlen(header.title, 32));
    m[70] = 0x02;
    m[71] = header.extFlag;
    PutBe16(m + 104, PSFILE_SLOTS * kMapEntrySize);  // 1856
    for (uint32_t s = 0; s < PSFILE_SLOTS; ++s) {
        const _PSFILE_CHANNEL& c = channels[s];
        uint8_t* e = m + kMapEntries + s * kMapEntrySize;
        e[0] = c.streamType;
        e[1] = c.streamId;
        PutBe16(e + 2, kMapEntrySize - 4);  // 54
        if ((c.streamId & 0x30) != 0) {
            e[4] = c.widthDiv16;
            e[5] = c.heightDiv16;
            e[6] = 0xFF;
            e[7] = 0xFF;
        } else {
            PutBe16(e + 4, c.audioParam);
            e[6] = static_cast<uint8_t>(c.sampleRate >> 8);
            e[7] = static_cast<uint8_t>((c.sampleRate & 0xFF) | (c.audioFlag != 0 ? 0x08 : 0));
        }
        e[8] = c.info6;
        e[9] = c.info7;
        PutLe32(e + 10, c.infoWord0);
        PutLe32(e + 14, c.infoWord1);
        PutLe32(e + 18, c.infoWord2);
        PutLe32(e + 22, c.infoWord3);
        if (c.name != nullptr) std::memcpy(e + 26, c.name, strnlen(c.name, 32));
    }
    m_streamMapLen = PSFILE_STREAM_MAP_SIZE;
    MakeMapTexts();
}

void CPSFile::MakeMapTexts() {
    std::memset(m_title, 0, sizeof(m_title));
    if (m_streamMapLen >= kMapTitle + 32) CopyText(m_title, m_streamMap + kMapTitle);
}

int32_t CPSFile::Header() {
    if (!m_writing || m_index == nullptr) return PSFILE_EINVAL;
    int32_t rc = Flush();
    if (rc != PSFILE_OK) return rc;
    rc = SeekIndex(m_indexBase);
    if (rc != PSFILE_OK) return rc;
    if (std::fwrite(m_w.indexHeader, sizeof(m_w.indexHeader), 1, m_index) != 1 ||
        std::fwrite(m_w.channelRecords, sizeof(m_w.channelRecords), 1, m_index) != 1 ||
        std::fflush(m_index) != 0) {
        return PSFILE_EWRITE;
    }
    return PSFILE_OK;
}

int64_t CPSFile::WriteMedia(const void* bytes, uint64_t length) {
    if (m_mediaFd < 0 || Flush() != PSFILE_OK) return 0;
    struct iovec iov = {const_cast<void*>(bytes), static_cast<size_t>(length)};
    return static_cast<int64_t>(WriteAll(m_mediaFd, &iov, 1));
}

int32_t CPSFile::Write(const _PSFILE_PACKET& p) {
    if (p.channel >= PSFILE_SLOTS) return PSFILE_EINVAL;

    if (p.data != nullptr && p.size != 0) {
        // Copy of a stored packet: it takes this recording's stream id, codec and attribute.
        if (p.size < 32) return PSFILE_EINVAL;
        uint8_t h[32];
        std::memcpy(h, p.data, sizeof(h));
        const uint8_t* rec = m_w.channelRecords[p.channel];
        h[3] = m_streamIds[p.channel];
        h[27] |= p.flags & 0xE0;
        h[28] = static_cast<uint8_t>((rec[kRecCodec] & 0x0F) | 0xC0 | (rec[kRecAttr] << 4));
        const uint32_t padding = (h[29] & 0xE0) == 0xC0 ? (h[29] & 0x1F) : 0;
        const uint64_t length = uint64_t{p.size} + padding;
        if (length >= PSFILE_MAX_PACKET) return PSFILE_EINVAL;
        return WritePacket(h, sizeof(h), p.data + 32, p.size - 32, padding,
                           static_cast<uint32_t>(length));
    }

    if (p.tagBytes != 0 && p.tags == nullptr) return PSFILE_EINVAL;
    if (p.payloadSize != 0 && p.payload == nullptr) return PSFILE_EINVAL;
    const uint64_t tagArea = uint64_t{4} * p.tagBytes / 3;
    if (11 + tagArea > 127) return PSFILE_EINVAL;
    const uint32_t a = static_cast<uint32_t>(tagArea);
    const uint32_t items = p.tagBytes / 3;
    const uint32_t ms =
        static_cast<uint32_t>(p.hour) * 3600000u + static_cast<uint32_t>(p.minute) * 60000u +
        static_cast<uint32_t>(p.second) * 1000u + static_cast<uint32_t>(p.millisecond);
    const uint64_t dts = uint64_t{ms} * 90;
    const uint64_t pts = (uint64_t{ms} + p.ptsOffsetMs) * 90;
    const uint32_t padding = static_cast<uint32_t>((0 - (uint64_t{a} + p.payloadSize)) & 31);
    const uint64_t length = 32 + uint64_t{a} + p.payloadSize + padding;
    if (length >= PSFILE_MAX_PACKET) return PSFILE_EINVAL;

    uint8_t h[32 + 116] = {};
    h[2] = 0x01;
    h[3] = m_streamIds[p.channel];
    PutBe16(h + 4, static_cast<uint16_t>((length - 6) & 0xFFFF));
    h[6] = 0x80;
    h[7] = 0xC1;
    h[8] = static_cast<uint8_t>(23 + a);
    PutTimestamp(h + 9, pts);
    PutTimestamp(h + 14, dts);
    h[19] = 0x0F;
    h[20] = static_cast<uint8_t>(0x80 | (11 + a));
    PutLengthCode(h + 24, static_cast<uint32_t>(length));
    h[27] = static_cast<uint8_t>((p.frameType & 3) | 0x1C | (p.flags & 0xE0));
    const uint8_t fileAttr = m_streamMap[18];  // the file description's packetAttr
    const uint8_t r = fileAttr >= 0x80 ? p.packetAttr : fileAttr;
    h[28] = static_cast<uint8_t>((p.codec & 0x0F) | 0xC0 | (r << 4));
    h[29] = static_cast<uint8_t>(0xC0 | padding);
    // Unsigned arithmetic: the 7-bit year field wraps for years outside 2000..2127.
    PutLe16(h + 30, static_cast<uint16_t>(((p.year - 2000u) << 9) | ((p.month << 5) & 0x1E0) |
                                          (p.day & 0x1F)));
    for (uint32_t i = 0; i < items; ++i) PutTagItem(h + 32 + 4 * i, p.tags + 3 * i);
    return WritePacket(h, 32 + a, p.payload, p.payloadSize, padding, static_cast<uint32_t>(length));
}

int32_t CPSFile::Write(const uint8_t* bytes, uint32_t length) {
    if (bytes == nullptr || length < 32 || length % 32 != 0 || length >= PSFILE_MAX_PACKET) {
        return PSFILE_EINVAL;
    }
    uint8_t h[32];
    std::memcpy(h, bytes, sizeof(h));
    return WritePacket(h, sizeof(h), bytes + 32, length - 32, 0, length);
}

int32_t CPSFile::WritePacket(uint8_t* header, uint32_t headerLen, const uint8_t* body,
                             uint32_t bodyLen, uint32_t padding, uint32_t length) {
    if (!m_writing || m_mediaFd < 0 || m_index == nullptr) return PSFILE_EINVAL;
    if (m_held.enabled) return HoldPacket(header, headerLen, body, bodyLen, padding, length);
    const off_t end = ::lseek(m_mediaFd, 0, SEEK_END);
    if (end < 0) return PSFILE_ESEEK;

    const WriteState saved = m_w;
    const size_t clipBytes = m_clips.size();
    const uint32_t entryNumber = EntryCount();
    int32_t rc = IndexPacket(header, length, end);
    if (rc != PSFILE_OK) return rc;

    ReserveMedia(end, length);
    static const uint8_t kZeros[32] = {};
    struct iovec iov[3] = {{header, headerLen},
                           {const_cast<uint8_t*>(body), bodyLen},
                           {const_cast<uint8_t*>(kZeros), padding}};
    if (WriteAll(m_mediaFd, iov, 3) == length) return PSFILE_OK;

    // The packet is incomplete: take it back out of both files so that the recording stays
    // consistent and later packets still start on their 32-byte grid.
    TakeBack(saved, clipBytes, entryNumber, 1, end);
    return PSFILE_EWRITE;
}

void CPSFile::TakeBack(const WriteState& before, size_t clipBytes, uint32_t firstEntry,
                       uint32_t count, int64_t mediaEnd) {
    m_w = before;
    m_clips.resize(clipBytes);
    const std::vector<_PSFILE_ENTRY> blanks(count);
    if (count != 0) (void)WriteEntries(firstEntry, blanks.data(), count);
    // The last entry of each slot ends its chain again, on disk too.
    for (uint32_t slot = 0; slot < PSFILE_SLOTS; ++slot) {
        const uint8_t* rec = m_w.channelRecords[slot];
        if (Le32(rec + kRecCount) != 0) {
            (void)WriteEntries(Le32(rec + kRecLast), &m_w.lastEntries[slot], 1);
        }
    }
    if (::ftruncate(m_mediaFd, mediaEnd) == 0) (void)::lseek(m_mediaFd, mediaEnd, SEEK_SET);
    m_reservedEnd = 0;  // truncating also released the space reserved past the end
}

void CPSFile::ReserveMedia(int64_t end, uint32_t length) {
    // Space reserved past the end of the file (its size stays as it is) lets the buffered
    // writes of the packets skip the file system's per-block delayed allocation; Close gives
    // back what was not used. Only an optimisation: a failure just stops it, and a packet
    // that finds no space still fails in its own write.
    if (!m_reserveMedia || end + length <= m_reservedEnd) return;
    const int64_t step = std::max<int64_t>(kMediaReserveStep, length);
    m_reserved = true;  // even a failed attempt may have reserved part of the step
    if (::fallocate(m_mediaFd, FALLOC_FL_KEEP_SIZE, static_cast<off_t>(end),
                    static_cast<off_t>(step)) == 0) {
        m_reservedEnd = end + step;
    } else {
        m_reserveMedia = false;
    }
}

void CPSFile::HoldBackPackets() {
    if (m_writing) m_held.enabled = true;
}

int32_t CPSFile::HoldPacket(uint8_t* header, uint32_t headerLen, const uint8_t* body,
                            uint32_t bodyLen, uint32_t padding, uint32_t length) {
    HeldPackets& h = m_held;
    if (!h.open) {
        const off_t end = ::lseek(m_mediaFd, 0, SEEK_END);
        if (end < 0) return PSFILE_ESEEK;
        h.mediaStart = end;
        h.firstEntry = EntryCount();
        h.before = m_w;
        h.clipBytes = m_clips.size();
        h.mediaSize = 0;
        h.entries.clear();
        h.relinked.clear();
        h.relinked.reserve(PSFILE_SLOTS);  // at most one entry of each slot
        h.open = true;
    }
    // Room first, so that nothing below can fail half-way for want of memory. A body built in
    // the room NextPayload handed out moves with the bytes if the room has to grow.
    const uintptr_t base = reinterpret_cast<uintptr_t>(h.media.get());
    const uintptr_t at = reinterpret_cast<uintptr_t>(body);
    const bool held = h.media != nullptr && at >= base && at - base < h.mediaCapacity;
    GrowHeldMedia(length, held ? std::max<size_t>(h.mediaSize, at - base + bodyLen) : h.mediaSize);
    if (held) body = h.media.get() + (at - base);
    Reserve(h.entries, 1);
    const int64_t end = h.mediaStart + static_cast<int64_t>(h.mediaSize);
    // The entry goes to the held ones; a refused packet leaves the batch as it was.
    const int32_t rc = IndexPacket(header, length, end);
    if (rc != PSFILE_OK) return rc;
    ReserveMedia(end, length);
    // The body first: one built in place sits right after a 32-byte header.
    uint8_t* const packet = h.media.get() + h.mediaSize;
    if (body != packet + headerLen && bodyLen != 0) std::memmove(packet + headerLen, body, bodyLen);
    std::memcpy(packet, header, headerLen);
    std::memset(packet + headerLen + bodyLen, 0, padding);
    h.mediaSize += length;
    return h.mediaSize >= kHeldMediaBytes ? Flush() : PSFILE_OK;
}

void CPSFile::GrowHeldMedia(size_t extra, size_t keep) {
    HeldPackets& h = m_held;
    if (h.mediaCapacity - h.mediaSize >= extra) return;
    const size_t capacity = std::max({2 * h.mediaCapacity, h.mediaSize + extra, kHeldMediaBytes});
    std::unique_ptr<uint8_t[]> grown(new uint8_t[capacity]);
    if (keep != 0) std::memcpy(grown.get(), h.media.get(), keep);
    h.media = std::move(grown);
    h.mediaCapacity = capacity;
}

uint8_t* CPSFile::NextPayload(uint32_t size) {
    if (!m_held.enabled || uint64_t{size} + 64 >= PSFILE_MAX_PACKET) return nullptr;
    GrowHeldMedia(32 + size + 31, m_held.mediaSize);  // header, payload, padding
    return m_held.media.get() + m_held.mediaSize + 32;
}

void CPSFile::HoldEntries(uint32_t first, const _PSFILE_ENTRY* entries, uint32_t count) {
    HeldPackets& h = m_held;
    for (uint32_t i = 0; i < count; ++i) {
        const uint32_t number = first + i;
        if (number >= h.firstEntry) {
            const size_t at = number - h.firstEntry;
            if (at >= h.entries.size()) h.entries.resize(at + 1);
            h.entries[at] = entries[i];
            continue;
        }
        auto it = std::find_if(h.relinked.begin(), h.relinked.end(),
                               [number](const auto& r) { return r.first == number; });
        if (it != h.relinked.end()) {
            it->second = entries[i];
        } else {
            h.relinked.emplace_back(number, entries[i]);
        }
    }
}

int32_t CPSFile::Flush() {
    HeldPackets& h = m_held;
    if (!h.open) return PSFILE_OK;
    h.open = false;  // from here on entries go to the file
    const uint32_t count = static_cast<uint32_t>(h.entries.size());
    bool written = WriteAt(m_mediaFd, h.media.get(), h.mediaSize, h.mediaStart);
    for (const auto& r : h.relinked) {
        written = written && WriteEntries(r.first, &r.second, 1) == PSFILE_OK;
    }
    written =
        written && (count == 0 || WriteEntries(h.firstEntry, h.entries.data(), count) == PSFILE_OK);
    // Every held packet goes back out of both files, as a single packet does.
    if (!written) TakeBack(h.before, h.clipBytes, h.firstEntry, count, h.mediaStart);
    h.mediaSize = 0;
    h.entries.clear();
    h.relinked.clear();
    return written ? PSFILE_OK : PSFILE_EWRITE;
}

int32_t CPSFile::WriteIndex(uint8_t* header, uint32_t length, int64_t mediaPos) {
    const int32_t rc = Flush();
    return rc != PSFILE_OK ? rc : IndexPacket(header, length, mediaPos);
}

int32_t CPSFile::IndexPacket(uint8_t* header, uint32_t length, int64_t mediaPos) {
    if (!m_writing || m_index == nullptr || m_mediaFd < 0) return PSFILE_EINVAL;
    if (length < 32 || length % 32 != 0 || length >= PSFILE_MAX_PACKET) return PSFILE_EINVAL;
    const uint32_t number = EntryCount();
    if (number == kNone) return PSFILE_EINVAL;  // the chain fields could not name another entry

    int64_t pos = mediaPos;
    if (pos == -1) {
        const off_t end = ::lseek(m_mediaFd, 0, SEEK_END);
        if (end < 0) return PSFILE_ESEEK;
        pos = end;
    }
    // The index can only address packets on the 32-byte grid within 2^32 * 32 bytes.
    if (pos < m_dataStart || (pos - m_dataStart) % 32 != 0 ||
        (pos - m_dataStart) / 32 > int64_t{kNone}) {
        return PSFILE_EINVAL;
    }

    const uint32_t slot = PSSlotFromStreamId(header[3]);
    uint8_t* rec = m_w.channelRecords[slot];
    const uint32_t slotCount = Le32(rec + kRecCount);

    _PSFILE_ENTRY e{};
    e.bytes[kEntSlot] = static_cast<uint8_t>(slot);
    e.bytes[kEntType] = header[27];
    e.bytes[kEntCodec] = header[28];
    PutLe16(e.bytes + kEntLength, static_cast<uint16_t>(length >> 5));
    PutLe16(e.bytes + kEntDate, Le16(header + 30));
    PutLe32(e.bytes + kEntTime, static_cast<uint32_t>(GetTimestamp(header + 14) / 90));
    PutLe32(e.bytes + kEntPosition, static_cast<uint32_t>((pos - m_dataStart) / 32));
    PutLe32(e.bytes + kEntNext, kNone);
    const uint16_t gop =
        (header[27] & 0x02) == 0 ? 0 : static_cast<uint16_t>(m_w.framesSinceKey[slot] + 1);
    PutLe16(e.bytes + kEntGop, gop);
    e.bytes[kEntLengthHigh] = static_cast<uint8_t>(length >> 21);

    uint8_t prevCode[3];
    PutLengthCode(prevCode, m_w.prevLength & 0x3FFFFF);  // all ones before the first packet
    std::memcpy(header + 21, prevCode, 3);

    // Link the slot's previous last entry (kept in memory) to the new one. When it is the entry
    // just before (one slot, or the same slot twice in a row), both go out in one write.
    int32_t rc = PSFILE_OK;
    if (slotCount != 0) {
        const uint32_t prevNumber = Le32(rec + kRecLast);
        _PSFILE_ENTRY linked[2] = {m_w.lastEntries[slot], e};
        PutLe32(linked[0].bytes + kEntNext, number);
        PutLe32(linked[1].bytes + kEntPrev, prevNumber);
        e = linked[1];
        if (prevNumber + 1 == number) {
            rc = WriteEntries(prevNumber, linked, 2);
        } else {
            rc = WriteEntries(prevNumber, &linked[0], 1);
            if (rc != PSFILE_OK) return rc;
            rc = WriteEntries(number, &e, 1);
        }
        if (rc != PSFILE_OK) {
            // Unlink the previous entry again (it may have been written, or written in part).
            (void)WriteEntries(prevNumber, &m_w.lastEntries[slot], 1);
            return rc;
        }
    } else {
        PutLe32(e.bytes + kEntPrev, kNone);
        rc = WriteEntries(number, &e, 1);
        if (rc != PSFILE_OK) return rc;
    }

    m_w.framesSinceKey[slot] = gop;
    AddToRecords(e, number);
    m_w.prevLength = length;
    UpdateClip(e);
    return PSFILE_OK;
}

// Counts entry `number` into its slot's channel record and the header's totals, as the writer
// does for every packet (also used to rebuild an unfinished index and for scanned media).
void CPSFile::AddToRecords(const _PSFILE_ENTRY& e, uint32_t number) {
    const uint32_t slot = e.bytes[kEntSlot];
    uint8_t* rec = m_w.channelRecords[slot];
    const uint16_t date = Le16(e.bytes + kEntDate);
    const uint32_t time = Le32(e.bytes + kEntTime);
    const uint8_t flags = e.bytes[kEntType] & 0xE0;
    const uint32_t count = Le32(rec + kRecCount);
    if (count == 0) {
        PutLe32(rec + kRecFirst, number);
        PutLe16(rec + kRecFirstDate, date);
        PutLe32(rec + kRecFirstTime, time);
        rec[kRecFlags] = flags;
    }
    PutLe32(rec + kRecCount, count + 1);
    rec[kRecFlags] |= flags;
    PutLe32(rec + kRecLast, number);
    PutLe16(rec + kRecLastDate, date);
    PutLe32(rec + kRecLastTime, time);
    m_w.lastEntries[slot] = e;

    uint8_t* h = m_w.indexHeader;
    if (number == 0) {
        PutLe16(h + kHdrFirstDate, date);
        PutLe32(h + kHdrFirstTime, time);
    }
    PutLe16(h + kHdrLastDate, date);
    PutLe32(h + kHdrLastTime, time);
    PutLe32(h + kHdrEntryCount, number + 1);
}

void CPSFile::UpdateClip(const _PSFILE_ENTRY& e) {
    const uint32_t slot = e.bytes[kEntSlot];
    if (slot >= PSFILE_SLOTS) return;
    uint8_t* clip = m_w.openClips[slot];
    const uint8_t flags = e.bytes[kEntType] & 0xE0;
    const uint16_t date = Le16(e.bytes + kEntDate);
    const uint32_t time = Le32(e.bytes + kEntTime);
    bool open = Le16(clip + kClipFirstDate) != 0;
    if (open && (flags != clip[kClipFlags] || date != Le16(clip + kClipLastDate) ||
                 time - Le32(clip + kClipLastTime) >= 1001)) {
        m_clips.insert(m_clips.end(), clip, clip + PSFILE_CLIP_RECORD_SIZE);
        std::memset(clip, 0, PSFILE_CLIP_RECORD_SIZE);
        open = false;
    }
    PutLe16(clip + kClipLastDate, date);
    PutLe32(clip + kClipLastTime, time);
    clip[kClipFlags] |= flags;
    if (!open) {
        PutLe16(clip + kClipFirstDate, date);
        PutLe32(clip + kClipFirstTime, time);
        clip[kClipSlot] = static_cast<uint8_t>(slot);
    }
}

void CPSFile::CloseClips() {
    for (uint32_t s = 0; s < PSFILE_SLOTS; ++s) {
        uint8_t* clip = m_w.openClips[s];
        if (Le16(clip + kClipFirstDate) != 0) {
            m_clips.insert(m_clips.end(), clip, clip + PSFILE_CLIP_RECORD_SIZE);
        }
        std::memset(clip, 0, PSFILE_CLIP_RECORD_SIZE);
    }
}

int32_t CPSFile::Close() {
    (void)Flush();  // a writer that holds packets back learns of a failure from its own Flush
    if (m_index != nullptr && m_writing) {
        CloseClips();
        const size_t clips = m_clips.size() / PSFILE_CLIP_RECORD_SIZE;
        if (clips != 0) {
            PutLe32(m_w.indexHeader + kHdrClipCount, static_cast<uint32_t>(clips));
            if (Seek(EntryCount(), 0) == PSFILE_OK) {
                for (size_t i = 0; i < clips; ++i) {
                    if (std::fwrite(m_clips.data() + i * PSFILE_CLIP_RECORD_SIZE,
                                    PSFILE_CLIP_RECORD_SIZE, 1, m_index) != 1) {
                        break;
                    }
                }
            }
        }
        (void)Header();
    }
    if (m_mediaFd >= 0 && m_writing && m_reserved) {
        // Give back the reserved space past the last packet: truncating to the file's own
        // size frees the blocks beyond it.
        const off_t size = ::lseek(m_mediaFd, 0, SEEK_END);
        if (size >= 0) (void)::ftruncate(m_mediaFd, size);
    }
    if (m_index != nullptr) std::fclose(m_index);
    if (m_mediaFd >= 0) ::close(m_mediaFd);
    Reset();
    return PSFILE_OK;
}

// ---------------------------------------------------------------------------------------------
// Index access

int32_t CPSFile::SeekIndex(int64_t position) {
    if (m_index == nullptr) return PSFILE_EINVAL;
    std::clearerr(m_index);
    if (ftello(m_index) == position) return PSFILE_OK;
    return fseeko(m_index, static_cast<off_t>(position), SEEK_SET) == 0 ? PSFILE_OK : PSFILE_ESEEK;
}

int32_t CPSFile::Seek(uint32_t entry, uint32_t clip) {
    const int32_t rc = Flush();
    if (rc != PSFILE_OK) return rc;
    return SeekIndex(m_indexBase + PSFILE_ENTRIES_START + int64_t{entry} * PSFILE_ENTRY_SIZE +
                     int64_t{clip} * PSFILE_CLIP_RECORD_SIZE);
}

int32_t CPSFile::Entry(uint32_t number, _PSFILE_ENTRY& entry, bool write) {
    int32_t rc = Flush();
    if (rc != PSFILE_OK) return rc;
    if (write) return WriteEntries(number, &entry, 1);
    if (m_index == nullptr) {
        if (!m_scanned || number >= m_entries.size()) return PSFILE_EINVAL;
        entry = m_entries[number];
        return PSFILE_OK;
    }
    const int fd = m_writing ? fileno(m_index) : -1;
    if (fd >= 0) {
        // Reading back while writing: straight from the file, like the writes below (the
        // stream is flushed first, so that it holds nothing older than the file).
        if (std::fflush(m_index) != 0) return PSFILE_EWRITE;
        return ReadAt(fd, entry.bytes, sizeof(entry.bytes), EntryPosition(number)) ? PSFILE_OK
                                                                                   : PSFILE_EREAD;
    }
    rc = Seek(number, 0);
    if (rc != PSFILE_OK) return rc;
    return std::fread(entry.bytes, sizeof(entry.bytes), 1, m_index) == 1 ? PSFILE_OK : PSFILE_EREAD;
}

int32_t CPSFile::WriteEntries(uint32_t first, const _PSFILE_ENTRY* entries, uint32_t count) {
    if (m_index == nullptr) return PSFILE_EINVAL;
    if (m_held.open) {
        HoldEntries(first, entries, count);
        return PSFILE_OK;
    }
    const int fd = m_writing ? fileno(m_index) : -1;
    if (fd >= 0) {
        // Writing: the entries go to their place in the file with one system call and the
        // stream's position stays as it is (seeking a read-write stream reads back up to a
        // block of the index for every entry). The stream is flushed first, so that it holds
        // nothing older than the file.
        if (std::fflush(m_index) != 0) return PSFILE_EWRITE;
        return WriteAt(fd, entries, size_t{count} * sizeof(_PSFILE_ENTRY), EntryPosition(first))
                   ? PSFILE_OK
                   : PSFILE_EWRITE;
    }
    int32_t rc = Seek(first, 0);
    if (rc != PSFILE_OK) return rc;
    if (std::fwrite(entries, sizeof(_PSFILE_ENTRY), count, m_index) != count ||
        std::fflush(m_index) != 0) {
        return PSFILE_EWRITE;
    }
    return PSFILE_OK;
}

int64_t CPSFile::EntryPosition(uint32_t number) const {
    return m_indexBase + PSFILE_ENTRIES_START + int64_t{number} * PSFILE_ENTRY_SIZE;
}

int64_t CPSFile::Size() {
    (void)Flush();  // a failure takes the held packets back: they are not counted
    int64_t total = 0;
    struct stat st;
    if (m_mediaFd >= 0 && ::fstat(m_mediaFd, &st) == 0) total += st.st_size;
    if (m_index != nullptr) {
        const off_t here = ftello(m_index);
        if (fseeko(m_index, 0, SEEK_END) == 0) {
            const off_t end = ftello(m_index);
            if (end > 0) total += end;
        }
        if (here >= 0) (void)fseeko(m_index, here, SEEK_SET);
    }
    if (m_writing) total += static_cast<int64_t>(m_clips.size());
    return total;
}

// ---------------------------------------------------------------------------------------------
// Reading

int32_t CPSFile::Open(const char* path) { return Open(path, 0, 0); }

int32_t CPSFile::Open(const char* path, int64_t mediaOffset, int64_t indexOffset) {
    Close();
    if (path == nullptr || mediaOffset < 0 || indexOffset < 0) return PSFILE_EINVAL;
    if (std::strlen(path) + 1 > kMaxPathLen) return PSFILE_EINVAL;
    int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return PSFILE_EOPEN;
    const std::string indexPath = indexOffset != 0 ? std::string(path) : std::string(path) + "i";
    m_mediaFd = fd;
    m_index = std::fopen(indexPath.c_str(), "rbe");  // a missing index means: scan the media
    m_writing = false;
    return OpenRead(mediaOffset, indexOffset);
}

int32_t CPSFile::Open(int mediaFd, FILE* index, int64_t mediaOffset, int64_t indexOffset) {
    Close();
    if (mediaFd < 0) return PSFILE_EOPEN;
    m_mediaFd = mediaFd;
    m_index = index;
    m_writing = false;
    return OpenRead(mediaOffset, indexOffset);
}

int32_t CPSFile::OpenRead(int64_t mediaOffset, int64_t indexOffset) {
    if (m_mediaFd < 0 || m_writing) return PSFILE_EINVAL;
    if (mediaOffset < 0 || indexOffset < 0) return Fail(PSFILE_EINVAL);
    m_indexBase = indexOffset;
    m_scanned = false;
    std::memset(&m_w, 0, sizeof(m_w));
    m_w.prevLength = 0xFFFFFFFF;
    m_clips.clear();

    if (m_index != nullptr) {
        int32_t rc = SeekIndex(indexOffset);
        if (rc != PSFILE_OK) return Fail(rc);
        uint8_t* h = m_w.indexHeader;
        if (std::fread(h, PSFILE_INDEX_HEADER_SIZE, 1, m_index) != 1) return Fail(PSFILE_EREAD);
        const uint32_t channelCount = Le32(h + kHdrChannelCount);
        if (Le32(h + kHdrFormat) == 0 || Le32(h + kHdrHeaderSize) != PSFILE_INDEX_HEADER_SIZE ||
            Le32(h + kHdrChannelSize) != PSFILE_CHANNEL_RECORD_SIZE ||
            Le32(h + kHdrEntrySize) != PSFILE_ENTRY_SIZE || channelCount > PSFILE_SLOTS) {
            return Fail(PSFILE_EINVAL);
        }
        if (channelCount != 0 && std::fread(m_w.channelRecords, PSFILE_CHANNEL_RECORD_SIZE,
                                            channelCount, m_index) != channelCount) {
            return Fail(PSFILE_EREAD);
        }
        if (EntryCount() == 0) RebuildFromEntries();
    }

    // Media: pack header and stream map, if present.
    uint8_t head[PSFILE_PACK_HEADER_SIZE];
    if (!ReadAt(m_mediaFd, head, sizeof(head), mediaOffset)) return Fail(PSFILE_EREAD);
    if (head[3] == 0xBA) {
        std::memcpy(m_packHeader, head, sizeof(head));
        const int64_t mapStart = mediaOffset + PSFILE_PACK_HEADER_SIZE;
        uint8_t* m = m_streamMap;
        if (!ReadAt(m_mediaFd, m, 6, mapStart)) return Fail(PSFILE_EREAD);
        if (m[0] == 0 && m[1] == 0 && m[2] == 1 && m[3] == 0xBC) {
            const uint32_t mapLength = Be16(m + 4);
            const uint32_t keep = std::min<uint32_t>(mapLength, PSFILE_STREAM_MAP_SIZE - 6);
            if (!ReadAt(m_mediaFd, m + 6, keep, mapStart + 6)) return Fail(PSFILE_EREAD);
            m_streamMapLen = 6 + keep;
            m_dataStart = mapStart + 6 + mapLength;
        } else {
            // A pack header without a stream map: packets follow the pack header.
            std::memset(m, 0, 6);
            m_dataStart = mapStart;
        }
    } else {
        m_dataStart = mediaOffset;
    }
    MakeMapTexts();

    if (m_index == nullptr) {
        m_scanned = true;
        ScanMedia();
    }

    std::memset(m_cursors, 0, sizeof(m_cursors));
    std::memset(&m_merge, 0, sizeof(m_merge));
    if (EntryCount() != 0) {
        _PSFILE_ENTRY first;
        int32_t rc = LoadEntry(0, first);
        if (rc != PSFILE_OK) return Fail(rc);
        if (first.bytes[kEntSlot] >= PSFILE_SLOTS) return Fail(PSFILE_EINVAL);
        m_merge.valid = true;
        m_merge.entryNumber = 0;
        m_merge.entry = first;
        m_merge.counts[first.bytes[kEntSlot]] = 1;
    }
    return PSFILE_OK;
}

void CPSFile::RebuildFromEntries() {
    // The writer stopped before it finished the index: count what the entries say. Codec and
    // attribute of slots without entries keep what the writer stored when it opened the file.
    for (auto& rec : m_w.channelRecords) {
        const uint8_t codec = rec[kRecCodec];
        const uint8_t attr = rec[kRecAttr];
        std::memset(rec, 0, PSFILE_CHANNEL_RECORD_SIZE);
        rec[kRecCodec] = codec;
        rec[kRecAttr] = attr;
    }
    for (uint32_t number = 0; number < kNone; ++number) {
        _PSFILE_ENTRY e;
        if (Entry(number, e, false) != PSFILE_OK || !EntryValid(e)) break;
        uint8_t* rec = m_w.channelRecords[e.bytes[kEntSlot]];
        if (Le32(rec + kRecCount) == 0) {
            rec[kRecCodec] = e.bytes[kEntCodec] & 0x0F;
            rec[kRecAttr] = (e.bytes[kEntCodec] >> 4) & 3;
        }
        AddToRecords(e, number);
        UpdateClip(e);
    }
    CloseClips();
}

void CPSFile::ScanMedia() {
    struct stat st;
    if (::fstat(m_mediaFd, &st) != 0) return;
    const int64_t fileSize = st.st_size;
    if (fileSize <= m_dataStart) return;
    m_entries.reserve(
        static_cast<size_t>(std::min<int64_t>(65536, (fileSize - m_dataStart) / 32 + 1)));

    int64_t pos = m_dataStart;
    uint16_t framesSinceKey[PSFILE_SLOTS] = {};
    while (fileSize - pos >= 32 && m_entries.size() < kNone) {
        uint8_t h[32];
        if (!ReadAt(m_mediaFd, h, sizeof(h), pos)) break;
        if (h[0] != 0 || h[1] != 0 || h[2] != 1) break;  // not a packet start
        const uint32_t length = GetLengthCode(h + 24);
        // Only whole packets on the 32-byte grid that lie inside the file count.
        if (length < 32 || length >= PSFILE_MAX_PACKET || length % 32 != 0 ||
            length > fileSize - pos || (pos - m_dataStart) / 32 > int64_t{kNone}) {
            break;
        }

        const uint32_t slot = PSSlotFromStreamId(h[3]);
        const uint64_t dts = GetTimestamp(h + 14);
        const uint32_t dtsMs = static_cast<uint32_t>(dts / 90);
        uint16_t date;
        uint32_t msOfDay;
        const bool allOnes = h[28] == 0xFF && h[29] == 0xFF && h[30] == 0xFF && h[31] == 0xFF;
        if (h[28] != 0xFF && (h[28] & 0x80) != 0) {
            date = Le16(h + 30);
            msOfDay = dtsMs;
        } else if (h[28] != 0xFF) {
            DateFromSeconds(Le32(h + 28), dtsMs, date, msOfDay);
        } else if (!allOnes) {
            date = Le16(h + 30);
            msOfDay = dtsMs;
        } else {
            DateFromSeconds(static_cast<int64_t>(dts / 90000) + st.st_ctime, dtsMs, date, msOfDay);
        }

        const uint32_t number = static_cast<uint32_t>(m_entries.size());
        _PSFILE_ENTRY e{};
        e.bytes[kEntSlot] = static_cast<uint8_t>(slot);
        e.bytes[kEntType] = h[27];
        e.bytes[kEntCodec] = h[28];
        PutLe16(e.bytes + kEntLength, static_cast<uint16_t>(length >> 5));
        PutLe16(e.bytes + kEntDate, date);
        PutLe32(e.bytes + kEntTime, msOfDay);
        PutLe32(e.bytes + kEntPosition, static_cast<uint32_t>((pos - m_dataStart) / 32));
        std::vector<uint32_t>& list = m_slotEntries[slot];
        PutLe32(e.bytes + kEntPrev, list.empty() ? kNone : list.back());
        PutLe32(e.bytes + kEntNext, kNone);
        if (!list.empty()) PutLe32(m_entries[list.back()].bytes + kEntNext, number);
        framesSinceKey[slot] =
            (h[27] & 0x02) == 0 ? 0 : static_cast<uint16_t>(framesSinceKey[slot] + 1);
        PutLe16(e.bytes + kEntGop, framesSinceKey[slot]);
        e.bytes[kEntLengthHigh] = static_cast<uint8_t>(length >> 21);

        uint8_t* rec = m_w.channelRecords[slot];
        if (Le32(rec + kRecCount) == 0) {
            rec[kRecCodec] = h[28] & 0x0F;
            rec[kRecAttr] = (h[28] >> 4) & 3;
        }
        m_entries.push_back(e);
        list.push_back(number);
        AddToRecords(e, number);
        pos += length;
    }
}

int32_t CPSFile::LoadEntry(uint32_t number, _PSFILE_ENTRY& entry) {
    if (m_scanned) {
        if (number >= m_entries.size()) return PSFILE_EINVAL;
        entry = m_entries[number];
        return PSFILE_OK;
    }
    return Entry(number, entry, false);
}

int32_t CPSFile::FileInfo(_PSFILE_HEADER& out) {
    out = {};
    const uint8_t* m = m_streamMap;
    if (m_streamMapLen < kMapTitle || Be16(m + 8) < 28) return PSFILE_EINVAL;
    const uint32_t infoLength = Be16(m + 8);
    out.packetAttr = m[18];
    out.infoByte1 = m[19];
    out.infoByte2 = m[20];
    out.infoByte3 = m[21];
    out.infoWord0 = Le32(m + 22);
    out.infoWord1 = Le32(m + 26);
    out.infoWord2 = Le32(m + 30);
    out.infoWord3 = Le32(m + 34);
    out.title = infoLength >= 70 && m_streamMapLen >= kMapTitle + 32 ? m_title : nullptr;
    out.extFlag = infoLength >= 72 && m_streamMapLen >= 72 ? m[71] : 0;
    return PSFILE_OK;
}

int32_t CPSFile::ChannelInfo(uint32_t slot, _PSFILE_CHANNEL& out) {
    out = {};
    const uint8_t* m = m_streamMap;
    if (m_streamMapLen < kMapEntries + 4 || m[3] != 0xBC || slot >= PSFILE_SLOTS) {
        return PSFILE_EINVAL;
    }
    const uint64_t entrySize = 4 + uint64_t{Be16(m + kMapEntries + 2)};
    const uint64_t offset = kMapEntries + slot * entrySize;
    const uint64_t available = m_streamMapLen > offset ? m_streamMapLen - offset : 0;
    if (available < 8) return PSFILE_EINVAL;
    const uint8_t* e = m + offset;
    out.streamType = e[0];
    out.streamId = e[1];
    if (slot >= 16) {
        out.audioParam = Be16(e + 4);
        const uint16_t raw = Be16(e + 6);
        if (raw == 0x0000 || raw == 0xFFFF) {
            out.sampleRate = 8000;
            out.audioFlag = 0;
        } else {
            out.sampleRate = static_cast<uint16_t>(e[6] * 256 + (e[7] & 0xF7));
            out.audioFlag = (e[7] >> 3) & 1;
        }
    } else {
        out.widthDiv16 = e[4];
        out.heightDiv16 = e[5];
    }
    if (entrySize > 25 && available >= 26) {
        out.info6 = e[8];
        out.info7 = e[9];
        out.infoWord0 = Le32(e + 10);
        out.infoWord1 = Le32(e + 14);
        out.infoWord2 = Le32(e + 18);
        out.infoWord3 = Le32(e + 22);
        if (entrySize > 57 && available >= 58) {
            CopyText(m_names[slot], e + 26);
            out.name = m_names[slot];
        }
    }
    const uint8_t* rec = m_w.channelRecords[slot];
    out.codec = rec[kRecCodec];
    out.flags = rec[kRecFlags];
    out.attr = rec[kRecAttr];
    return PSFILE_OK;
}

uint32_t CPSFile::Count(uint32_t slot) {
    if (slot == PSFILE_ALL_SLOTS) return EntryCount();
    if (slot >= PSFILE_SLOTS) return 0;
    return Le32(m_w.channelRecords[slot] + kRecCount);
}

uint32_t CPSFile::Count(uint32_t n, const uint16_t* slots) {
    if (n < 1 || n > 31 || slots == nullptr) return 0;
    bool selected[PSFILE_SLOTS] = {};
    uint64_t total = 0;
    for (uint32_t i = 0; i < n; ++i) {
        if (slots[i] < PSFILE_SLOTS && !selected[slots[i]]) {
            selected[slots[i]] = true;
            total += Count(slots[i]);
        }
    }
    return static_cast<uint32_t>(std::min<uint64_t>(total, kNone));
}

int32_t CPSFile::PacketTimes(uint32_t slot, _PSFILE_PACKET& first, _PSFILE_PACKET& last) {
    uint16_t firstDate, lastDate;
    uint32_t firstTime, lastTime;
    if (slot == PSFILE_ALL_SLOTS) {
        if (EntryCount() == 0) return PSFILE_EINVAL;
        const uint8_t* h = m_w.indexHeader;
        firstDate = Le16(h + kHdrFirstDate);
        lastDate = Le16(h + kHdrLastDate);
        firstTime = Le32(h + kHdrFirstTime);
        lastTime = Le32(h + kHdrLastTime);
    } else {
        if (slot >= PSFILE_SLOTS || Count(slot) == 0) return PSFILE_EINVAL;
        const uint8_t* rec = m_w.channelRecords[slot];
        firstDate = Le16(rec + kRecFirstDate);
        lastDate = Le16(rec + kRecLastDate);
        firstTime = Le32(rec + kRecFirstTime);
        lastTime = Le32(rec + kRecLastTime);
    }
    first.channel = static_cast<uint16_t>(slot);
    last.channel = static_cast<uint16_t>(slot);
    FillTimes(firstDate, firstTime, first);
    FillTimes(lastDate, lastTime, last);
    return PSFILE_OK;
}

int32_t CPSFile::Read(_PSFILE_PACKET& p) {
    if (m_mediaFd < 0) return PSFILE_EINVAL;
    _PSFILE_ENTRY e;
    if (p.channel == PSFILE_ALL_SLOTS) {
        if (p.index >= EntryCount()) return PSFILE_EINVAL;
        int32_t rc = LoadEntry(p.index, e);
        if (rc != PSFILE_OK) return rc;
    } else {
        if (p.channel >= PSFILE_SLOTS || p.index >= Count(p.channel)) return PSFILE_EINVAL;
        int32_t rc = ReadSlotEntry(p.channel, p.index, e);
        if (rc != PSFILE_OK) return rc;
    }
    return Read(p, e);
}

// Finds packet `index` of `slot`. With an index file the slot's cursor walks the chain from
// where it stands, one entry read per step; every step is checked so that a corrupted chain
// ends the walk instead of looping or leaving the slot.
int32_t CPSFile::ReadSlotEntry(uint32_t slot, uint32_t index, _PSFILE_ENTRY& entry) {
    if (m_scanned) {
        entry = m_entries[m_slotEntries[slot][index]];
        return PSFILE_OK;
    }
    const uint32_t total = EntryCount();
    SlotCursor& c = m_cursors[slot];
    _PSFILE_ENTRY e;
    if (!c.loaded) {
        const uint32_t first = Le32(m_w.channelRecords[slot] + kRecFirst);
        if (first >= total) return PSFILE_EINVAL;
        int32_t rc = LoadEntry(first, e);
        if (rc != PSFILE_OK) return rc;
        if (!EntryValid(e) || e.bytes[kEntSlot] != slot) return PSFILE_EINVAL;
        c.loaded = true;
        c.entryNumber = first;
        c.numberInSlot = 0;
        c.entry = e;
    }
    while (c.numberInSlot != index) {
        const bool forward = c.numberInSlot < index;
        const uint32_t next = Le32(c.entry.bytes + (forward ? kEntNext : kEntPrev));
        if (next >= total || (forward ? next <= c.entryNumber : next >= c.entryNumber)) {
            return PSFILE_EINVAL;
        }
        int32_t rc = LoadEntry(next, e);
        if (rc != PSFILE_OK) return rc;
        if (!EntryValid(e) || e.bytes[kEntSlot] != slot) return PSFILE_EINVAL;
        c.entryNumber = next;
        if (forward) {
            ++c.numberInSlot;
        } else {
            --c.numberInSlot;
        }
        c.entry = e;
    }
    entry = c.entry;
    return PSFILE_OK;
}

int32_t CPSFile::Read(_PSFILE_PACKET& p, uint32_t n, const uint16_t* slots) {
    if (m_mediaFd < 0 || n < 1 || n > 31 || slots == nullptr) return PSFILE_EINVAL;
    bool selected[PSFILE_SLOTS] = {};
    for (uint32_t i = 0; i < n; ++i) {
        if (slots[i] < PSFILE_SLOTS) selected[slots[i]] = true;
    }
    if (p.index >= Count(n, slots) || !m_merge.valid) return PSFILE_EINVAL;

    const uint64_t target = uint64_t{p.index} + 1;
    uint64_t here = 0;  // selected packets at or before the cursor
    for (uint32_t s = 0; s < PSFILE_SLOTS; ++s) {
        if (selected[s]) here += m_merge.counts[s];
    }
    const uint32_t total = EntryCount();
    _PSFILE_ENTRY e;
    while (here < target) {
        if (m_merge.entryNumber + 1 >= total) return PSFILE_EINVAL;  // fewer packets than counted
        int32_t rc = LoadEntry(m_merge.entryNumber + 1, e);
        if (rc != PSFILE_OK) return rc;
        const uint32_t slot = e.bytes[kEntSlot];
        if (slot >= PSFILE_SLOTS) return PSFILE_EINVAL;
        ++m_merge.entryNumber;
        m_merge.entry = e;
        ++m_merge.counts[slot];
        if (selected[slot]) ++here;
    }
    while (here > target || !selected[m_merge.entry.bytes[kEntSlot]]) {
        if (m_merge.entryNumber == 0) return PSFILE_EINVAL;
        int32_t rc = LoadEntry(m_merge.entryNumber - 1, e);
        if (rc != PSFILE_OK) return rc;
        if (e.bytes[kEntSlot] >= PSFILE_SLOTS) return PSFILE_EINVAL;
        const uint32_t leaving = m_merge.entry.bytes[kEntSlot];
        if (selected[leaving]) --here;
        --m_merge.counts[leaving];
        --m_merge.entryNumber;
        m_merge.entry = e;
    }
    const uint32_t slot = m_merge.entry.bytes[kEntSlot];
    p.channel = static_cast<uint16_t>(slot);
    p.index = m_merge.counts[slot] - 1;
    return Read(p, m_merge.entry);
}

int32_t CPSFile::Read(_PSFILE_PACKET& p, const _PSFILE_ENTRY& e) {
    const int32_t rc = Flush();
    if (rc != PSFILE_OK) return rc;
    const uint32_t slot = e.bytes[kEntSlot];
    if (slot >= PSFILE_SLOTS) return PSFILE_EINVAL;
    const uint32_t length = EntryLength(e);
    const uint32_t bufferSize = p.size;
    p.channel = static_cast<uint16_t>(slot);
    p.frameType = e.bytes[kEntType] & 3;
    p.flags = e.bytes[kEntType] & 0xE0;
    p.codec = e.bytes[kEntCodec] & 0x0F;
    p.packetAttr = (e.bytes[kEntCodec] >> 4) & 3;
    p.gopIndex = Le16(e.bytes + kEntGop);
    p.size = length;
    FillTimes(Le16(e.bytes + kEntDate), Le32(e.bytes + kEntTime), p);
    p.payload = nullptr;
    p.payloadSize = 0;
    if (p.data == nullptr) return PSFILE_OK;

    if (length < 32 || length >= PSFILE_MAX_PACKET) return PSFILE_EINVAL;
    if (bufferSize < length) return PSFILE_EINVAL;
    const int64_t offset = m_dataStart + int64_t{Le32(e.bytes + kEntPosition)} * 32;
    if (!ReadAt(m_mediaFd, p.data, length, offset)) return PSFILE_EREAD;
    const uint8_t* d = p.data;
    if ((d[29] & 0xE0) == 0xC0) p.size = length - (d[29] & 0x1F);

    // Tag area and payload, both clamped to the bytes of this packet.
    const uint32_t ext = d[20] & 0x7F;
    const uint32_t tagArea = ext > 11 ? ext - 11 : 0;
    if (32 + tagArea <= p.size) {
        p.payload = d + 32 + tagArea;
        p.payloadSize = p.size - 32 - tagArea;
    }
    if (p.tags != nullptr) {
        const uint32_t items = std::min({tagArea / 4, (length - 32) / 4, p.tagBytes / 3});
        for (uint32_t i = 0; i < items; ++i) GetTagItem(d + 32 + 4 * i, p.tags + 3 * i);
        p.tagBytes = 3 * items;
    }
    return PSFILE_OK;
}

int32_t CPSFile::Clip(uint32_t number, PSClip& out) {
    const uint8_t* h = m_w.indexHeader;
    if (Le32(h + kHdrClipSize) != PSFILE_CLIP_RECORD_SIZE) return PSFILE_EINVAL;
    const uint32_t stored = Le32(h + kHdrClipCount);
    uint8_t c[PSFILE_CLIP_RECORD_SIZE];
    if (number < stored) {
        if (m_index == nullptr) return PSFILE_EINVAL;
        int32_t rc = Seek(EntryCount(), number);
        if (rc != PSFILE_OK) return rc;
        if (std::fread(c, sizeof(c), 1, m_index) != 1) return PSFILE_EREAD;
        if (c[kClipSlot] >= PSFILE_SLOTS || c[2] != 0 || c[3] != 0) return PSFILE_EINVAL;
    } else {
        const uint64_t i = number - stored;
        if (i >= m_clips.size() / PSFILE_CLIP_RECORD_SIZE) return PSFILE_EINVAL;
        std::memcpy(c, m_clips.data() + i * PSFILE_CLIP_RECORD_SIZE, sizeof(c));
    }
    out.slot = c[kClipSlot];
    out.flags = c[kClipFlags];
    FillTm(Le16(c + kClipFirstDate), Le32(c + kClipFirstTime), out.start);
    FillTm(Le16(c + kClipLastDate), Le32(c + kClipLastTime), out.end);
    return PSFILE_OK;
}
