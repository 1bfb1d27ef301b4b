#pragma once
// Builds MP4 byte fixtures box by box for the converter's tests.

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

namespace rimvault::test {

using Bytes = std::vector<uint8_t>;

inline Bytes be16(uint32_t v) { return {uint8_t(v >> 8), uint8_t(v)}; }
inline Bytes be32(uint32_t v) {
    return {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)};
}
inline Bytes be64(uint64_t v) {
    Bytes b = be32(uint32_t(v >> 32));
    const Bytes low = be32(uint32_t(v));
    b.insert(b.end(), low.begin(), low.end());
    return b;
}

inline Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

inline Bytes fourcc(const char* type) { return Bytes(type, type + 4); }

// A box with a 32-bit size.
inline Bytes box(const char* type, const Bytes& payload) {
    return cat({be32(uint32_t(8 + payload.size())), fourcc(type), payload});
}
// A box with size 1 and a 64-bit size.
inline Bytes large_box(const char* type, const Bytes& payload) {
    return cat({be32(1), fourcc(type), be64(16 + payload.size()), payload});
}
// A box whose header carries an arbitrary 32-bit size.
inline Bytes box_with_size(uint32_t size, const char* type, const Bytes& payload) {
    return cat({be32(size), fourcc(type), payload});
}

inline Bytes full(const Bytes& payload, uint32_t version_flags = 0) {
    return cat({be32(version_flags), payload});
}

inline Bytes ftyp() { return box("ftyp", cat({fourcc("isom"), be32(512), fourcc("isom")})); }

inline Bytes mvhd(uint32_t timescale, uint32_t duration) {
    return box("mvhd",
               full(cat({be32(0), be32(0), be32(timescale), be32(duration), Bytes(80, 0)})));
}

inline Bytes stts(std::initializer_list<std::pair<uint32_t, uint32_t>> runs) {
    Bytes p = be32(uint32_t(runs.size()));
    for (const auto& r : runs) p = cat({p, be32(r.first), be32(r.second)});
    return box("stts", full(p));
}

struct StscRun {
    uint32_t first_chunk, samples_per_chunk;
};
inline Bytes stsc(std::initializer_list<StscRun> runs) {
    Bytes p = be32(uint32_t(runs.size()));
    for (const auto& r : runs)
        p = cat({p, be32(r.first_chunk), be32(r.samples_per_chunk), be32(1)});
    return box("stsc", full(p));
}

inline Bytes stsz(const std::vector<uint32_t>& sizes) {
    Bytes p = cat({be32(0), be32(uint32_t(sizes.size()))});
    for (uint32_t s : sizes) p = cat({p, be32(s)});
    return box("stsz", full(p));
}

inline Bytes stco(const std::vector<uint32_t>& offsets) {
    Bytes p = be32(uint32_t(offsets.size()));
    for (uint32_t o : offsets) p = cat({p, be32(o)});
    return box("stco", full(p));
}

inline Bytes co64(const std::vector<uint64_t>& offsets) {
    Bytes p = be32(uint32_t(offsets.size()));
    for (uint64_t o : offsets) p = cat({p, be64(o)});
    return box("co64", full(p));
}

inline Bytes stss(const std::vector<uint32_t>& numbers) {
    Bytes p = be32(uint32_t(numbers.size()));
    for (uint32_t n : numbers) p = cat({p, be32(n)});
    return box("stss", full(p));
}

// One visual sample entry of `format` with optional child boxes.
inline Bytes sample_entry(const char* format, uint16_t width, uint16_t height,
                          const Bytes& children = {}) {
    Bytes fields =
        cat({Bytes(6, 0), be16(1), Bytes(16, 0), be16(width), be16(height), be32(0x00480000),
             be32(0x00480000), be32(0), be16(1), Bytes(32, 0), be16(0x18), be16(0xFFFF), children});
    return box(format, fields);
}

// An "avcC" box with the given parameter sets and NAL length size.
inline Bytes avcc(const std::vector<Bytes>& sps, const std::vector<Bytes>& pps,
                  uint8_t length_size = 4) {
    Bytes p = {1, 66, 0xC0, 30, uint8_t(0xFC | (length_size - 1)), uint8_t(0xE0 | sps.size())};
    for (const Bytes& s : sps) p = cat({p, be16(uint32_t(s.size())), s});
    p.push_back(uint8_t(pps.size()));
    for (const Bytes& s : pps) p = cat({p, be16(uint32_t(s.size())), s});
    return box("avcC", p);
}

inline Bytes stsd(const std::vector<Bytes>& entries) {
    Bytes p = be32(uint32_t(entries.size()));
    for (const Bytes& e : entries) p = cat({p, e});
    return box("stsd", full(p));
}

inline Bytes hdlr(const char* handler) {
    return box("hdlr", full(cat({be32(0), fourcc(handler), Bytes(12, 0), Bytes{'v', 0}})));
}

// trak > mdia > (hdlr, minf > stbl > tables).
inline Bytes trak(const Bytes& tables, const char* handler = "vide") {
    Bytes mdia_children = handler != nullptr ? hdlr(handler) : Bytes{};
    mdia_children = cat({mdia_children, box("minf", box("stbl", tables))});
    return box("trak", box("mdia", mdia_children));
}

}  // namespace rimvault::test
