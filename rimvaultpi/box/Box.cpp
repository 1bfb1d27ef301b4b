#include "rimvaultpi/box/Box.h"

namespace rimvault {

bool BoxReader::read_bytes(void* out, uint64_t count) {
    if (failed_ || count > remaining()) return fail();
    if (count == 0) return true;
    in_.read(static_cast<char*>(out), static_cast<std::streamsize>(count));
    if (static_cast<uint64_t>(in_.gcount()) != count) return fail();
    pos_ += count;
    return true;
}

bool BoxReader::read_u8(uint8_t& value) { return read_bytes(&value, 1); }

bool BoxReader::read_u16(uint16_t& value) {
    uint8_t b[2];
    if (!read_bytes(b, sizeof b)) return false;
    value = Box::convert16_bit_big_endian(b);
    return true;
}

bool BoxReader::read_u24(uint32_t& value) {
    uint8_t b[3];
    if (!read_bytes(b, sizeof b)) return false;
    value = (uint32_t{b[0]} << 16) | (uint32_t{b[1]} << 8) | b[2];
    return true;
}

bool BoxReader::read_u32(uint32_t& value) {
    uint8_t b[4];
    if (!read_bytes(b, sizeof b)) return false;
    value = Box::convert32_bit_big_endian(b);
    return true;
}

bool BoxReader::read_u64(uint64_t& value) {
    uint8_t b[8];
    if (!read_bytes(b, sizeof b)) return false;
    value =
        (uint64_t{Box::convert32_bit_big_endian(b)} << 32) | Box::convert32_bit_big_endian(b + 4);
    return true;
}

bool BoxReader::skip(uint64_t count) {
    if (failed_ || count > remaining()) return fail();
    if (count == 0) return true;
    // A seek does not notice the end of the stream; the next read does.
    in_.seekg(static_cast<std::streamoff>(count), std::ios::cur);
    if (!in_) return fail();
    pos_ += count;
    return true;
}

bool BoxReader::end_sub(BoxReader& child) {
    if (failed_ || child.limit_ > remaining()) return fail();
    // A child that refused a read past its limit left the stream where it was; a child whose
    // stream ended early left it failed, and then this seek fails too.
    const uint64_t rest = child.remaining();
    if (rest > 0) in_.seekg(static_cast<std::streamoff>(rest), std::ios::cur);
    if (!in_) return fail();
    pos_ += child.limit_;
    return true;
}

bool entries_fit(uint64_t count, uint64_t entry_size, uint64_t available) {
    uint64_t bytes = 0;
    return !__builtin_mul_overflow(count, entry_size, &bytes) && bytes <= available;
}

int64_t Box::process_data(std::istream& in, int64_t payload_length) {
    valid_ = true;
    if (payload_length <= 0) return 0;
    BoxReader reader(in, static_cast<uint64_t>(payload_length));
    if (!read_payload(reader) || reader.failed()) {
        valid_ = false;
        discard_entries();
    }
    return static_cast<int64_t>(reader.consumed());
}

uint32_t Box::convert32_bit_big_endian(const uint8_t* bytes) {
    return (uint32_t{bytes[0]} << 24) | (uint32_t{bytes[1]} << 16) | (uint32_t{bytes[2]} << 8) |
           bytes[3];
}

uint16_t Box::convert16_bit_big_endian(const uint8_t* bytes) {
    return static_cast<uint16_t>((bytes[0] << 8) | bytes[1]);
}

uint8_t Box::convert8_bit_big_endian(const uint8_t* bytes) { return bytes[0]; }

}  // namespace rimvault
