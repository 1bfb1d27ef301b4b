// The PS recording reader on fuzzed files. The input is split as follows:
//   byte 0       mode: 0 media and index file, 1 media file only (the reader scans it),
//                2 one file holding both, read as an export
//   bytes 1-4    A, little-endian: mode 0, the media file's length (clamped to what follows);
//                mode 2, the media offset (modulo the file length + 1)
//   bytes 5-8    B, little-endian: mode 2, the index offset (modulo the file length + 1)
//   bytes 9-     the file bytes
// Then everything a caller of the reader does: open, file and channel information, packet
// counts and times, every packet by file position, by channel forwards and backwards, merged
// reads of several channels, and the clips. Every packet returned must lie inside the bytes
// read for it.
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/FuzzScratch.h"
#include "fuzz/FuzzTargets.h"
#include "rimvaultpi/psfile/PSFile.h"

namespace kivfuzz {
namespace {

// Reads per kind of walk; the counts in a corrupted header may be anything.
constexpr uint32_t kMaxReads = 256;
constexpr uint32_t kMaxClips = 256;

uint32_t Le32(const uint8_t* p) {
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

std::vector<uint8_t>& Buffer() {
    static std::vector<uint8_t> buffer(PSFILE_MAX_PACKET);
    return buffer;
}

// Reads with the packet's bytes and checks what the reader says about them.
int32_t ReadChecked(CPSFile& file, _PSFILE_PACKET& packet, uint32_t n = 0,
                    const uint16_t* slots = nullptr) {
    std::vector<uint8_t>& buffer = Buffer();
    uint8_t tags[96];
    packet.data = buffer.data();
    packet.size = static_cast<uint32_t>(buffer.size());
    packet.tags = tags;
    packet.tagBytes = sizeof tags;
    const int32_t rc = slots != nullptr ? file.Read(packet, n, slots) : file.Read(packet);
    if (rc != PSFILE_OK) return rc;
    if (packet.size > buffer.size()) Fail("packet longer than the read buffer");
    if (packet.tagBytes > sizeof tags || packet.tagBytes % 3 != 0) Fail("tag bytes out of range");
    if (packet.payload != nullptr) {
        const uint8_t* begin = buffer.data();
        if (packet.payload < begin || packet.payload > begin + packet.size ||
            packet.payloadSize > static_cast<size_t>(begin + packet.size - packet.payload)) {
            Fail("payload outside the packet read");
        }
        uint32_t sum = 0;
        for (uint32_t i = 0; i < packet.payloadSize; ++i) sum += packet.payload[i];
        (void)sum;
    } else if (packet.payloadSize != 0) {
        Fail("payload size without a payload");
    }
    if (packet.channel >= PSFILE_SLOTS) Fail("packet of no slot");
    return rc;
}

void Exercise(CPSFile& file) {
    _PSFILE_HEADER header;
    if (file.FileInfo(header) == PSFILE_OK && header.title != nullptr &&
        std::strlen(header.title) > 32) {
        Fail("title longer than 32 characters");
    }
    for (uint32_t slot = 0; slot < PSFILE_SLOTS; ++slot) {
        _PSFILE_CHANNEL channel;
        if (file.ChannelInfo(slot, channel) == PSFILE_OK && channel.name != nullptr &&
            std::strlen(channel.name) > 32) {
            Fail("channel name longer than 32 characters");
        }
    }
    (void)file.Size();

    _PSFILE_PACKET first, last;
    (void)file.PacketTimes(PSFILE_ALL_SLOTS, first, last);
    const uint32_t total = file.Count(PSFILE_ALL_SLOTS);
    for (uint32_t i = 0; i < std::min(total, kMaxReads); ++i) {
        _PSFILE_PACKET packet = {};
        packet.channel = PSFILE_ALL_SLOTS;
        packet.index = i;
        ReadChecked(file, packet);
    }

    for (uint16_t slot = 0; slot < PSFILE_SLOTS; ++slot) {
        const uint32_t count = file.Count(slot);
        if (count == 0) continue;
        (void)file.PacketTimes(slot, first, last);
        const uint32_t reads = std::min(count, kMaxReads);
        for (uint32_t i = 0; i < reads; ++i) {  // forwards
            _PSFILE_PACKET packet = {};
            packet.channel = slot;
            packet.index = i;
            ReadChecked(file, packet);
        }
        for (uint32_t i = reads; i-- > 0;) {  // and back
            _PSFILE_PACKET packet = {};
            packet.channel = slot;
            packet.index = i;
            if (ReadChecked(file, packet) == PSFILE_OK && packet.channel != slot) {
                Fail("packet read by channel belongs to another slot");
            }
        }
    }

    const uint16_t selections[][3] = {{0, 1, 16}, {0, 0, 31}, {5, 40, 0xFFFF}};
    for (const uint16_t* slots : selections) {
        const uint32_t count = file.Count(3, slots);
        for (uint32_t i = 0; i < std::min(count, kMaxReads); ++i) {
            _PSFILE_PACKET packet = {};
            packet.index = i;
            ReadChecked(file, packet, 3, slots);
        }
        if (count > 1) {  // one step back
            _PSFILE_PACKET packet = {};
            packet.index = 0;
            ReadChecked(file, packet, 3, slots);
        }
    }

    for (uint32_t i = 0; i < kMaxClips; ++i) {
        PSClip clip;
        if (file.Clip(i, clip) != PSFILE_OK) break;
        if (clip.slot >= PSFILE_SLOTS) Fail("clip of no slot");
    }
}

}  // namespace

int PSReader(const uint8_t* data, size_t size) {
    if (size < 9) return 0;
    const uint8_t mode = data[0] % 3;
    const uint32_t a = Le32(data + 1);
    const uint32_t b = Le32(data + 5);
    const uint8_t* bytes = data + 9;
    const size_t length = size - 9;

    const std::string media = ScratchDir() + "/recording.ps";
    const std::string index = media + "i";
    CPSFile file;
    int32_t rc;
    if (mode == 0) {
        const size_t mediaLength = std::min<size_t>(a, length);
        WriteBytes(media, bytes, mediaLength);
        WriteBytes(index, bytes + mediaLength, length - mediaLength);
        rc = file.Open(media.c_str());
    } else if (mode == 1) {
        WriteBytes(media, bytes, length);
        ::unlink(index.c_str());
        rc = file.Open(media.c_str());
    } else {
        WriteBytes(media, bytes, length);
        ::unlink(index.c_str());
        const int64_t mediaOffset = static_cast<int64_t>(a % (uint64_t{length} + 1));
        const int64_t indexOffset = static_cast<int64_t>(b % (uint64_t{length} + 1));
        rc = file.Open(media.c_str(), mediaOffset, indexOffset);
    }
    if (rc == PSFILE_OK) Exercise(file);
    file.Close();
    return 0;
}

}  // namespace kivfuzz
