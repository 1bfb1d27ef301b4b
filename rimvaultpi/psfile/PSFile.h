// PS recordings: an MPEG-2 program stream media file with one PES packet per frame, plus an
// index file (the media path with "i" appended) that locates every packet by channel, number and
// time. CPSFile writes and reads them; CPSExeCreator packs a recording into one export file.
//
// All operations return 0 on success or one of the negative codes below. Every byte read from a
// media or index file is treated as untrusted: lengths, counts and entry numbers are checked
// before use, so a truncated or corrupted recording yields errors or fewer packets, never a crash.
#pragma once

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <memory>
#include <utility>
#include <vector>

// Result codes of CPSFile.
enum : int32_t {
    PSFILE_OK = 0,
    PSFILE_EINVAL = -1,  // invalid argument or state
    PSFILE_EOPEN = -2,   // a file cannot be opened
    PSFILE_ESEEK = -3,   // a seek failed
    PSFILE_EREAD = -4,   // short read
    PSFILE_EWRITE = -5,  // short write
};

// Number of channel slots of every recording: 0-15 video, 16-31 audio.
constexpr uint32_t PSFILE_SLOTS = 32;
// `channel` value that means "all slots" when reading.
constexpr uint16_t PSFILE_ALL_SLOTS = 0xFFFF;
// Packet lengths are multiples of 32 and below this value.
constexpr uint32_t PSFILE_MAX_PACKET = 4194304;
// Bytes before the first packet of a media file written by CPSFile.
constexpr uint32_t PSFILE_PACK_HEADER_SIZE = 16;
constexpr uint32_t PSFILE_STREAM_MAP_SIZE = 1962;
// Index file geometry.
constexpr uint32_t PSFILE_INDEX_HEADER_SIZE = 64;
constexpr uint32_t PSFILE_CHANNEL_RECORD_SIZE = 32;
constexpr uint32_t PSFILE_ENTRY_SIZE = 32;
constexpr uint32_t PSFILE_CLIP_RECORD_SIZE = 16;
constexpr uint32_t PSFILE_ENTRIES_START =
    PSFILE_INDEX_HEADER_SIZE + PSFILE_SLOTS * PSFILE_CHANNEL_RECORD_SIZE;  // 1088
constexpr uint32_t PSFILE_MS_PER_DAY = 86400000;

// Description of the whole file (stream map header).
struct _PSFILE_HEADER {
    uint8_t packetAttr;  // default packet attribute (2 bits); >= 0x80: each packet gives its own
    uint8_t infoByte1;
    uint8_t infoByte2;
    uint8_t infoByte3;
    uint32_t infoWord0;
    uint32_t infoWord1;
    uint32_t infoWord2;
    uint32_t infoWord3;
    const char* title;  // up to 32 characters, may be null
    uint8_t extFlag;    // must be 0 to write
};

// Description of one channel slot (stream map entry plus channel record values).
struct _PSFILE_CHANNEL {
    uint8_t streamType;
    uint8_t streamId;  // PES stream id; decides the slot of every packet written to this channel
    uint8_t widthDiv16;
    uint8_t heightDiv16;
    uint8_t codec;  // low 4 bits go into every packet and the channel record
    uint8_t flags;  // filled only by the reader
    uint8_t info6;
    uint8_t info7;
    uint32_t infoWord0;
    uint32_t infoWord1;
    uint32_t infoWord2;
    uint32_t infoWord3;
    const char* name;  // up to 32 characters, may be null
    uint8_t attr;
    uint8_t audioFlag;
    uint16_t audioParam;
    uint16_t sampleRate;
};

// One frame, written or read.
struct _PSFILE_PACKET {
    uint16_t channel;    // slot 0-31; PSFILE_ALL_SLOTS when reading by file position
    uint16_t frameType;  // 2 bits; bit 1 clear = key frame
    uint32_t size;       // writing a stored packet: its length; reading: buffer size in, length out
    uint16_t gopIndex;   // reader: frames since the slot's last key frame
    uint16_t year;
    uint16_t month;
    uint16_t day;
    int32_t hour;
    int32_t minute;
    int32_t second;
    int32_t millisecond;
    uint32_t msOfDay;  // reader: time of day in milliseconds
    uint32_t index;    // reader: packet number to read
    uint8_t* data;  // a complete stored packet to copy when writing; the read buffer when reading
    uint8_t codec;
    uint8_t flags;  // bits 5-7
    uint16_t ptsOffsetMs;
    uint8_t* tags;           // 3-byte tag items; written from, or decoded into when reading
    uint32_t tagBytes;       // bytes of `tags` (in: available, out when reading: decoded)
    const uint8_t* payload;  // writing: the frame's bytes; reading: points into `data`
    uint32_t payloadSize;
    uint8_t packetAttr;
    uint16_t packedDate;  // reader: (year - 2000) * 512 + month * 32 + day
};

// One raw 32-byte index entry.
struct _PSFILE_ENTRY {
    uint8_t bytes[PSFILE_ENTRY_SIZE];
};

// A run of packets of one slot (read back from the index).
struct PSClip {
    uint8_t slot;
    uint8_t flags;
    struct tm start;
    struct tm end;
};

// Maps a PES stream id to its slot: 0xE0-0xEF and 0xD0-0xDF are 0-15, 0xC0-0xCF are 16-31.
inline uint32_t PSSlotFromStreamId(uint8_t streamId) {
    return (streamId & 0x30) == 0 ? (streamId & 0x0Fu) + 16 : (streamId & 0x0Fu);
}

// Writes and reads one PS recording at a time. One owner, no locks. The object owns the files it
// opened or adopted and closes them in Close and in its destructor.
class CPSFile {
  public:
    CPSFile();
    ~CPSFile();
    CPSFile(const CPSFile&) = delete;
    CPSFile& operator=(const CPSFile&) = delete;

    // ---- Writing ----
    // Creates (truncates) `path` and `path`+"i", then writes the file headers. `count` must be 32.
    int32_t Open(const char* path, const _PSFILE_HEADER& header, uint32_t count,
                 const _PSFILE_CHANNEL* channels);
    // Adopts an open media descriptor (read/write) and index stream, then writes the headers.
    // -2 when either is missing; then nothing is adopted.
    int32_t Open(int mediaFd, FILE* index, const _PSFILE_HEADER& header, uint32_t count,
                 const _PSFILE_CHANNEL* channels);
    int32_t OpenWrite(const _PSFILE_HEADER& header, uint32_t count,
                      const _PSFILE_CHANNEL* channels);
    // Appends one frame (or, with `data` and `size` set, a copy of a stored packet). A failed
    // media write is taken back out of both files (-5), so the recording stays consistent.
    int32_t Write(const _PSFILE_PACKET& packet);
    // From now on (until Close) appended packets are held in memory and written about 1 MiB at
    // a time, media and index entries together: fewer and larger writes for a program that
    // writes a whole recording in one go. A failed write takes back every packet held at the
    // time; the Write that found it, or Flush, returns -5. Every other call writes the held
    // packets first. Only for a recording being written.
    void HoldBackPackets();
    // Writes the packets held back: 0, or -5 when they could not be written (they are taken
    // back out of both files). A writer that holds packets back calls it before it counts the
    // recording as stored.
    int32_t Flush();
    // While packets are held back: room for up to `size` payload bytes of the next packet,
    // right where a packet without tags keeps its payload among the held ones. A frame built
    // there and then written is not copied again. Valid until the next call that writes;
    // nullptr when packets are not held back or `size` is too large for a packet.
    uint8_t* NextPayload(uint32_t size);
    // Appends one complete packet; `length` is its full length including padding.
    int32_t Write(const uint8_t* bytes, uint32_t length);
    // Adds the index entry of one packet whose first 32 bytes are `header` (bytes 21-23 are set to
    // the previous packet's length). `mediaPos` -1 means the current end of the media file.
    int32_t WriteIndex(uint8_t* header, uint32_t length, int64_t mediaPos);
    // Writes bytes to the media file; returns the number written.
    int64_t WriteMedia(const void* bytes, uint64_t length);
    void UpdateClip(const _PSFILE_ENTRY& entry);
    void CloseClips();
    // Rewrites the index header and the channel records and flushes.
    int32_t Header();
    // Finishes a recording being written (clips, final header) and closes. Always 0.
    int32_t Close();

    // ---- Reading ----
    int32_t Open(const char* path);
    // Opens a recording whose media starts at `mediaOffset` and whose index starts at
    // `indexOffset` of the same file when `indexOffset` is nonzero (an export), else of path+"i".
    int32_t Open(const char* path, int64_t mediaOffset, int64_t indexOffset);
    // Adopts a media descriptor and an index stream (may be null: the media is scanned). Any
    // readable descriptor and stream work, e.g. a memfd and fmemopen() for in-memory bytes.
    // -2 for a descriptor of -1; then nothing is adopted.
    int32_t Open(int mediaFd, FILE* index, int64_t mediaOffset, int64_t indexOffset);
    int32_t OpenRead(int64_t mediaOffset, int64_t indexOffset);
    // File description and channel descriptions from the stream map; text pointers stay valid
    // until the file is closed and are always NUL-terminated.
    int32_t FileInfo(_PSFILE_HEADER& out);
    int32_t ChannelInfo(uint32_t slot, _PSFILE_CHANNEL& out);
    // Packets of one slot, or of the whole file for PSFILE_ALL_SLOTS.
    uint32_t Count(uint32_t slot);
    // Packets of the distinct slots listed (slots above 31 ignored); 0 unless 1 <= n <= 31.
    uint32_t Count(uint32_t n, const uint16_t* slots);
    // Date and time of the first and last packet; -1 when there is none.
    int32_t PacketTimes(uint32_t slot, _PSFILE_PACKET& first, _PSFILE_PACKET& last);
    // Packet `index` of slot `channel` (PSFILE_ALL_SLOTS: entry number `index` of the file).
    // With `data` set (`size` = its capacity) the packet's bytes are read into it; `size` becomes
    // the length without padding, and `payload`/`payloadSize` point at the elementary-stream
    // bytes inside `data`. With `tags` set, up to `tagBytes` / 3 tag items are decoded into it.
    int32_t Read(_PSFILE_PACKET& packet);
    // Packet at position `index` among all packets of the listed slots, in media order.
    int32_t Read(_PSFILE_PACKET& packet, uint32_t n, const uint16_t* slots);
    // The packet an entry describes. With `data` null only the description is filled.
    int32_t Read(_PSFILE_PACKET& packet, const _PSFILE_ENTRY& entry);
    // Clip `number`: stored in the index, or rebuilt in memory for an unfinished index.
    int32_t Clip(uint32_t number, PSClip& out);
    // Reads or writes one index entry.
    int32_t Entry(uint32_t number, _PSFILE_ENTRY& entry, bool write);
    // Positions the index stream on entry `entry` + clip record `clip`.
    int32_t Seek(uint32_t entry, uint32_t clip);
    // Bytes of the media file plus the index file (plus clips not yet written when writing).
    int64_t Size();

    bool IsOpen() const { return m_mediaFd >= 0; }
    bool HasIndex() const { return m_index != nullptr; }
    int64_t DataStart() const { return m_dataStart; }

  private:
    struct SlotCursor {
        bool loaded;
        uint32_t entryNumber;   // number of the entry in the file
        uint32_t numberInSlot;  // its number among the slot's packets
        _PSFILE_ENTRY entry;
    };
    struct MergeCursor {
        bool valid;
        uint32_t entryNumber;
        _PSFILE_ENTRY entry;
        uint32_t counts[PSFILE_SLOTS];  // entries of each slot up to and including the current
    };
    // Everything one appended packet changes in memory; saved so a failed write can be undone.
    struct WriteState {
        uint8_t indexHeader[PSFILE_INDEX_HEADER_SIZE];
        uint8_t channelRecords[PSFILE_SLOTS][PSFILE_CHANNEL_RECORD_SIZE];
        _PSFILE_ENTRY lastEntries[PSFILE_SLOTS];  // last entry of each slot (valid when count > 0)
        uint16_t framesSinceKey[PSFILE_SLOTS];
        uint32_t prevLength;
        uint8_t openClips[PSFILE_SLOTS][PSFILE_CLIP_RECORD_SIZE];
    };

    void Reset();
    int32_t Fail(int32_t code);  // closes, returns code
    uint32_t EntryCount() const;
    int32_t LoadEntry(uint32_t number, _PSFILE_ENTRY& entry);
    // Writes `count` consecutive entries from entry number `first` on.
    int32_t WriteEntries(uint32_t first, const _PSFILE_ENTRY* entries, uint32_t count);
    int64_t EntryPosition(uint32_t number) const;  // byte offset of an entry in the index file
    int32_t SeekIndex(int64_t position);
    void RebuildFromEntries();
    void ScanMedia();
    // Reserves file space past `end` (media end before a packet of `length` bytes).
    void ReserveMedia(int64_t end, uint32_t length);
    // The index entry of a packet (see WriteIndex), without writing held packets first.
    int32_t IndexPacket(uint8_t* header, uint32_t length, int64_t mediaPos);
    // Appends one packet to the held ones.
    int32_t HoldPacket(uint8_t* header, uint32_t headerLen, const uint8_t* body, uint32_t bodyLen,
                       uint32_t padding, uint32_t length);
    // Keeps entry writes of held packets in memory.
    void HoldEntries(uint32_t first, const _PSFILE_ENTRY* entries, uint32_t count);
    // Takes packets whose write failed back out of both files: the state from before them,
    // blank entries in place of their `count` entries from `firstEntry` on, every slot's last
    // entry ending its chain again, the media cut back to `mediaEnd`.
    void TakeBack(const WriteState& before, size_t clipBytes, uint32_t firstEntry, uint32_t count,
                  int64_t mediaEnd);
    // Makes room for `extra` more bytes of held media, keeping the first `keep` bytes.
    void GrowHeldMedia(size_t extra, size_t keep);
    int32_t WritePacket(uint8_t* header, uint32_t headerLen, const uint8_t* body, uint32_t bodyLen,
                        uint32_t padding, uint32_t length);
    void AddToRecords(const _PSFILE_ENTRY& entry, uint32_t number);
    void BuildStreamMap(const _PSFILE_HEADER& header, const _PSFILE_CHANNEL* channels);
    void MakeMapTexts();
    int32_t ReadSlotEntry(uint32_t slot, uint32_t index, _PSFILE_ENTRY& entry);

    int m_mediaFd;
    FILE* m_index;
    bool m_writing;
    int64_t m_indexBase;
    int64_t m_dataStart;
    bool m_reserveMedia;    // media space is reserved ahead of the packets (files opened by path)
    bool m_reserved;        // space was reserved at some point: Close gives back what is left
    int64_t m_reservedEnd;  // media bytes reserved up to this offset (0: none)

    WriteState m_w;

    // Packets held back in memory (HoldBackPackets); a batch is open while any is held.
    struct HeldPackets {
        bool enabled = false;
        bool open = false;
        int64_t mediaStart = 0;      // media end when the batch began: where `media` goes
        uint32_t firstEntry = 0;     // number of the batch's first entry
        WriteState before;           // the writer's state when the batch began
        size_t clipBytes = 0;        // finished clips when the batch began
        // The packets' bytes: `mediaSize` used of `mediaCapacity`. Not a vector: NextPayload
        // hands out the room past the used bytes.
        std::unique_ptr<uint8_t[]> media;
        size_t mediaSize = 0;
        size_t mediaCapacity = 0;
        std::vector<_PSFILE_ENTRY> entries;  // their entries, from firstEntry on
        // Entries from before the batch whose link to the next entry of their slot changed.
        std::vector<std::pair<uint32_t, _PSFILE_ENTRY>> relinked;
    };
    HeldPackets m_held;
    uint8_t m_packHeader[PSFILE_PACK_HEADER_SIZE];
    uint8_t m_streamMap[PSFILE_STREAM_MAP_SIZE];
    uint32_t m_streamMapLen;  // bytes of m_streamMap that hold file data
    uint8_t m_streamIds[PSFILE_SLOTS];
    std::vector<uint8_t> m_clips;  // finished clips, 16 bytes each

    // NUL-terminated copies of the title and channel names handed out by FileInfo/ChannelInfo.
    char m_title[33];
    char m_names[PSFILE_SLOTS][33];

    // Reading.
    SlotCursor m_cursors[PSFILE_SLOTS];
    MergeCursor m_merge;
    bool m_scanned;                        // no index file: entries come from the lists
    std::vector<_PSFILE_ENTRY> m_entries;  // every packet in media order
    std::vector<uint32_t> m_slotEntries[PSFILE_SLOTS];  // entry numbers per slot
};

// Trailer of an export file, short form.
struct tagPSSingleBin {
    uint32_t nStartA;  // 0xFFFFFFFF when the 64-bit start does not fit
    uint32_t nSizeA;
    uint32_t nStartB;
    uint32_t nSizeB;
    uint32_t nStartExtra;  // 0 when absent
    uint32_t nSizeExtra;
};

// Trailer of an export file, long form (80 bytes; the first 24 are the short form).
struct tagPSSingleBinEx {
    tagPSSingleBin single;
    uint32_t cbSize;  // 80
    uint32_t dwReserved;
    int64_t llStartA;
    int64_t llSizeA;
    int64_t llStartB;
    int64_t llSizeB;
    int64_t llStartExtra;
    int64_t llSizeExtra;

    // Each 32-bit field takes the low half of its 64-bit field, or 0xFFFFFFFF when it is larger.
    void ToSingleBin(tagPSSingleBin& out) const;
    // Each 64-bit field takes its 32-bit value; an extra start of 0xFFFFFFFF becomes -1.
    void FromSingleBin(const tagPSSingleBin& in);
    // Little-endian encoding of all 80 bytes, and back (false when the size field is not 80).
    void Encode(uint8_t out[80]) const;
    bool Decode(const uint8_t in[80]);
};
constexpr uint32_t PSFILE_TRAILER_SIZE = 80;

// Builds an export: program image, trailer, stream A, the extra stream, stream B. The builder
// owns the four input streams (any may be null) and closes them in Close and its destructor.
class CPSExeCreator {
  public:
    CPSExeCreator(FILE* program, FILE* streamB, FILE* streamA, FILE* extra);
    ~CPSExeCreator();
    CPSExeCreator(const CPSExeCreator&) = delete;
    CPSExeCreator& operator=(const CPSExeCreator&) = delete;

    // Writes the export to `out` and closes it (except when the inputs are too large: -1).
    // -2 program image, -3 stream A, -4 extra stream, -5 stream B missing or copy failed;
    // -6 the trailer could not be written or the output could not be flushed.
    int32_t BuildExecutable(FILE* out);
    void Close();

  private:
    FILE* m_program;
    FILE* m_streamB;
    FILE* m_streamA;
    FILE* m_extra;
};
