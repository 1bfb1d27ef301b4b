// Byte-level encodings of PS recordings: little- and big-endian fields, the 33-bit time stamps,
// 22-bit length codes and tag items. Every function reads or writes a fixed number of bytes at
// the pointer it is given; callers guarantee those bytes exist.
#pragma once

#include <cstdint>

namespace psbytes {

inline uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t Le32(const uint8_t* p) {
    return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}
inline uint16_t Be16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }

inline void PutLe16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
inline void PutLe32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}
inline void PutBe16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}

// 33-bit 90 kHz time stamp in the 5-byte PES form (first byte carries the 0x31 prefix).
inline void PutTimestamp(uint8_t* p, uint64_t t) {
    p[0] = static_cast<uint8_t>(0x31 | ((t >> 29) & 0x0E));
    p[1] = static_cast<uint8_t>(t >> 22);
    p[2] = static_cast<uint8_t>(((t >> 14) & 0xFE) | 1);
    p[3] = static_cast<uint8_t>(t >> 7);
    p[4] = static_cast<uint8_t>(((t << 1) & 0xFE) | 1);
}
inline uint64_t GetTimestamp(const uint8_t* p) {
    return (uint64_t{(p[0] >> 1) & 0x07u} << 30) | (uint64_t{p[1]} << 22) |
           (uint64_t{p[2]} >> 1 << 15) | (uint64_t{p[3]} << 7) | (p[4] >> 1);
}

// 22-bit length code (3 bytes); REQUIRES: v < 2^22.
inline void PutLengthCode(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(0x80 | (v >> 15));
    p[1] = static_cast<uint8_t>((((v >> 11) & 0x0F) << 4) | 0x08 | ((v >> 8) & 0x07));
    p[2] = static_cast<uint8_t>(v);
}
inline uint32_t GetLengthCode(const uint8_t* p) {
    return (uint32_t{p[0] & 0x7Fu} << 15) | (uint32_t{p[1]} >> 4 << 11) |
           (uint32_t{p[1] & 0x07u} << 8) | p[2];
}

// A 3-byte tag item in its 4-byte stored form; the two lowest bits of x2 are lost.
inline void PutTagItem(uint8_t* p, const uint8_t* x) {
    p[0] = x[0];
    p[1] = static_cast<uint8_t>(x[1] | 1);
    p[2] = static_cast<uint8_t>(((x[1] & 1) << 7) | (x[2] >> 1));
    p[3] = 0x01;
}
inline void GetTagItem(const uint8_t* p, uint8_t* x) {
    x[0] = p[0];
    x[1] = static_cast<uint8_t>((p[1] & 0xFE) | (p[2] >> 7));
    x[2] = static_cast<uint8_t>((p[2] << 1) & 0xFC);
}

}  // namespace psbytes
