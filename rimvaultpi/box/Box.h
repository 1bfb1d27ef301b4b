#pragma once
// MP4 boxes: a bounded reader over an input stream and the base of the sample-table box readers.
// Every number in an MP4 file is big-endian. Every byte comes from an untrusted file, so nothing
// here reads past the bytes it was given or allocates from a count it has not checked.

#include <cstdint>
#include <istream>

namespace rimvault {

// Reads at most `limit` bytes from the stream's current position. Every read answers false
// (and the reader stays failed) when it would go past the limit or the stream ends early.
class BoxReader {
  public:
    BoxReader(std::istream& in, uint64_t limit) : in_(in), limit_(limit) {}

    [[nodiscard]] bool read_bytes(void* out, uint64_t count);
    [[nodiscard]] bool read_u8(uint8_t& value);
    [[nodiscard]] bool read_u16(uint16_t& value);
    [[nodiscard]] bool read_u24(uint32_t& value);
    [[nodiscard]] bool read_u32(uint32_t& value);
    [[nodiscard]] bool read_u64(uint64_t& value);
    [[nodiscard]] bool skip(uint64_t count);

    // A reader over the next `count` bytes. REQUIRES: count <= remaining(); this reader is not
    // used again until end_sub(child) has been called.
    BoxReader sub(uint64_t count) { return BoxReader(in_, count); }
    // Skips what `child` (made by sub) left unread and advances past its bytes.
    [[nodiscard]] bool end_sub(BoxReader& child);

    uint64_t remaining() const { return limit_ - pos_; }
    uint64_t consumed() const { return pos_; }
    bool failed() const { return failed_; }

  private:
    bool fail() {
        failed_ = true;
        return false;
    }

    std::istream& in_;
    uint64_t limit_;
    uint64_t pos_ = 0;
    bool failed_ = false;
};

// Number of `entry_size`-byte entries a table announces, checked against the bytes that hold
// them: false when count * entry_size overflows or exceeds `available`.
bool entries_fit(uint64_t count, uint64_t entry_size, uint64_t available);

// One box payload reader. process_data reads one payload from the stream's current position
// and returns the bytes it consumed, never more than `payload_length`. A payload that cannot
// be read whole (its counts do not fit it, or the stream ends early) leaves no entries behind
// and marks the box invalid.
class Box {
  public:
    virtual ~Box() = default;

    virtual int64_t process_data(std::istream& in, int64_t payload_length);
    // False when the last payload given to process_data was malformed or cut short.
    bool valid() const { return valid_; }

    // Unchecked: each reads its number of bytes at `bytes`.
    static uint32_t convert32_bit_big_endian(const uint8_t* bytes);
    static uint16_t convert16_bit_big_endian(const uint8_t* bytes);
    static uint8_t convert8_bit_big_endian(const uint8_t* bytes);

  protected:
    // Reads the payload through `reader`; false when it is malformed. Called only for a
    // payload of at least one byte.
    virtual bool read_payload(BoxReader& reader) = 0;
    // Drops whatever a failed read_payload appended.
    virtual void discard_entries() = 0;

  private:
    bool valid_ = true;
};

}  // namespace rimvault
