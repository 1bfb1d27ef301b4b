#include "rimvaultpi/box/SampleTableBoxes.h"

#include <algorithm>
#include <cstring>

#include "rimvaultpi/box/BoxTypes.h"

namespace rimvault {
namespace {

// Vectors grow with the entries actually read; this caps the up-front reservation.
constexpr uint32_t kReserveLimit = 1u << 16;

// Reads the version/flags word and an entry count, and checks that `count` entries of
// `entry_size` bytes fit the rest of the payload.
bool read_entry_count(BoxReader& reader, uint64_t entry_size, uint32_t& count) {
    return reader.skip(4) && reader.read_u32(count) &&
           entries_fit(count, entry_size, reader.remaining());
}

template <typename Entry, typename ReadEntry>
bool read_entries(BoxReader& reader, uint32_t count, std::vector<Entry>& out, ReadEntry read) {
    out.reserve(out.size() + std::min(count, kReserveLimit));
    for (uint32_t i = 0; i < count; ++i) {
        Entry entry{};
        if (!read(entry)) return false;
        out.push_back(entry);
    }
    return !reader.failed();
}

// Appends `count` bytes of the reader behind a 4-byte start code.
bool append_parameter_set(BoxReader& reader, uint16_t count, std::vector<uint8_t>& out) {
    if (count > reader.remaining()) return false;
    static const uint8_t kStartCode[4] = {0, 0, 0, 1};
    out.insert(out.end(), kStartCode, kStartCode + 4);
    const size_t at = out.size();
    out.resize(at + count);
    return reader.read_bytes(out.data() + at, count);
}

// The payload of an "avcC" box.
bool read_avc_configuration(BoxReader& reader, StsdBox::SStsd& d) {
    uint8_t version, profile, compatibility, level, length_byte, sps_byte;
    if (!reader.read_u8(version) || !reader.read_u8(profile) || !reader.read_u8(compatibility) ||
        !reader.read_u8(level) || !reader.read_u8(length_byte) || !reader.read_u8(sps_byte)) {
        return false;
    }
    d.configuration_version = version;
    d.profile_indication = profile;
    d.profile_compatibility = compatibility;
    d.level_indication = level;
    d.length_size_byte = length_byte;
    d.sps_count_byte = sps_byte;
    const unsigned sps_count = sps_byte & 0x1F;
    for (unsigned i = 0; i < sps_count; ++i) {
        uint16_t length;
        if (!reader.read_u16(length) || !append_parameter_set(reader, length, d.parameter_sets)) {
            return false;
        }
        if (i == 0) d.sps_length = length;
    }
    uint8_t pps_count;
    if (!reader.read_u8(pps_count)) return false;
    d.pps_count = pps_count;
    for (unsigned i = 0; i < pps_count; ++i) {
        uint16_t length;
        if (!reader.read_u16(length) || !append_parameter_set(reader, length, d.parameter_sets)) {
            return false;
        }
        if (i == 0) d.pps_length = length;
    }
    d.nal_length_size = static_cast<uint8_t>((length_byte & 3) + 1);
    return true;
}

// Looks for the "avcC" box among the boxes that follow the visual sample entry fields. A
// missing or malformed configuration leaves the entry without one; it is not an error of the
// sample description.
void read_avc_children(BoxReader& entry, StsdBox::SStsd& d) {
    while (entry.remaining() >= 8) {
        uint32_t size;
        char type[5] = {};
        if (!entry.read_u32(size) || !entry.read_bytes(type, 4)) return;
        if (size < 8 || size - 8 > entry.remaining()) return;
        BoxReader child = entry.sub(size - 8);
        if (AvcC == type) {
            d.avcc_size = size;
            std::memcpy(d.avcc_type, type, sizeof d.avcc_type);
            if (!read_avc_configuration(child, d)) {
                d.nal_length_size = 0;
                d.parameter_sets.clear();
            }
            (void)entry.end_sub(child);
            return;
        }
        if (!entry.end_sub(child)) return;
    }
}

// Visual sample entry fields after size and format (78 bytes), then the AVC configuration.
bool read_sample_entry(BoxReader& entry, StsdBox::SStsd& d) {
    constexpr uint64_t kVisualFields = 78;
    if (entry.remaining() < kVisualFields) return true;  // too short for the visual layout
    bool ok = entry.skip(6) && entry.read_u16(d.data_reference_index) &&
              entry.read_u16(d.pre_defined) && entry.read_u16(d.reserved);
    for (uint32_t& word : d.pre_defined_words) ok = ok && entry.read_u32(word);
    ok = ok && entry.read_u16(d.width) && entry.read_u16(d.height) &&
         entry.read_u32(d.horizresolution) && entry.read_u32(d.vertresolution) &&
         entry.read_u32(d.reserved_word) && entry.read_u16(d.frame_count) &&
         entry.read_u32(d.compressor_word) && entry.read_u16(d.compressor_half1) &&
         entry.read_u16(d.compressor_half2) && entry.skip(28);
    if (!ok) return false;
    if (Avc1 == d.format || Avc3 == d.format) read_avc_children(entry, d);
    return true;
}

}  // namespace

bool MvhdBox::read_payload(BoxReader& reader) {
    uint8_t version;
    if (!reader.read_u8(version) || !reader.skip(3)) return false;
    SMvhd m;
    if (version == 1) {
        if (!reader.read_u64(m.creation_time) || !reader.read_u64(m.modification_time) ||
            !reader.read_u32(m.timescale) || !reader.read_u64(m.duration)) {
            return false;
        }
    } else {
        uint32_t creation, modification, duration;
        if (!reader.read_u32(creation) || !reader.read_u32(modification) ||
            !reader.read_u32(m.timescale) || !reader.read_u32(duration)) {
            return false;
        }
        m.creation_time = creation;
        m.modification_time = modification;
        m.duration = duration;
    }
    entries_.push_back(m);
    return true;
}

bool SttsBox::read_payload(BoxReader& reader) {
    uint32_t count;
    if (!read_entry_count(reader, 8, count)) return false;
    return read_entries(reader, count, entries_, [&](SStts& e) {
        return reader.read_u32(e.sample_count) && reader.read_u32(e.sample_delta);
    });
}

bool StscBox::read_payload(BoxReader& reader) {
    uint32_t count;
    if (!read_entry_count(reader, 12, count)) return false;
    return read_entries(reader, count, entries_, [&](SStsc& e) {
        return reader.read_u32(e.first_chunk) && reader.read_u32(e.samples_per_chunk) &&
               reader.read_u32(e.sample_description_index);
    });
}

void StszBox::discard_entries() {
    entries_.clear();
    constant_size_ = 0;
    constant_count_ = 0;
}

bool StszBox::read_payload(BoxReader& reader) {
    uint32_t constant_size, count;
    if (!reader.skip(4) || !reader.read_u32(constant_size) || !reader.read_u32(count)) {
        return false;
    }
    if (constant_size != 0) {
        // No table follows: every sample has this size.
        constant_size_ = constant_size;
        constant_count_ = count;
        return true;
    }
    if (!entries_fit(count, 4, reader.remaining())) return false;
    return read_entries(reader, count, entries_,
                        [&](uint32_t& size) { return reader.read_u32(size); });
}

bool Stz2Box::read_payload(BoxReader& reader) {
    uint32_t reserved;
    uint8_t field_size;
    uint32_t count;
    if (!reader.skip(4) || !reader.read_u24(reserved) || !reader.read_u8(field_size) ||
        !reader.read_u32(count)) {
        return false;
    }
    if (field_size != 4 && field_size != 8 && field_size != 16) return false;
    const uint64_t bytes = (uint64_t{count} * field_size + 7) / 8;
    if (bytes > reader.remaining()) return false;
    entries_.reserve(std::min(count, kReserveLimit));
    uint8_t packed = 0;
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t size = 0;
        if (field_size == 4) {
            if (i % 2 == 0 && !reader.read_u8(packed)) return false;
            size = (i % 2 == 0) ? (packed >> 4) : (packed & 0x0F);
        } else if (field_size == 8) {
            uint8_t value;
            if (!reader.read_u8(value)) return false;
            size = value;
        } else {
            uint16_t value;
            if (!reader.read_u16(value)) return false;
            size = value;
        }
        entries_.push_back(size);
    }
    return true;
}

bool StcoBox::read_payload(BoxReader& reader) {
    uint32_t count;
    if (!read_entry_count(reader, offset_bytes_, count)) return false;
    return read_entries(reader, count, entries_, [&](uint64_t& offset) {
        if (offset_bytes_ == 8) return reader.read_u64(offset);
        uint32_t value;
        if (!reader.read_u32(value)) return false;
        offset = value;
        return true;
    });
}

bool StssBox::read_payload(BoxReader& reader) {
    uint32_t count;
    if (!read_entry_count(reader, 4, count)) return false;
    return read_entries(reader, count, entries_,
                        [&](uint32_t& number) { return reader.read_u32(number); });
}

bool StsdBox::read_payload(BoxReader& reader) {
    uint32_t count;
    // Every entry has at least its size and format.
    if (!read_entry_count(reader, 8, count)) return false;
    for (uint32_t i = 0; i < count; ++i) {
        SStsd d;
        if (!reader.read_u32(d.size) || !reader.read_bytes(d.format, 4)) return false;
        if (d.size < 8 || d.size - 8 > reader.remaining()) return false;
        BoxReader entry = reader.sub(d.size - 8);
        if (!read_sample_entry(entry, d) || !reader.end_sub(entry)) return false;
        entries_.push_back(std::move(d));
    }
    return true;
}

}  // namespace rimvault
