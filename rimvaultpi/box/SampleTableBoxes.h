#pragma once
// Readers of the movie header and the sample-table boxes. Each box object reads one payload
// (Box::process_data), keeps its entries, and hands them out through one accessor that replaces
// the destination's content.

#include <cstdint>
#include <vector>

#include "rimvaultpi/box/Box.h"

namespace rimvault {

// "mvhd": the movie's creation and modification times, time scale and duration.
class MvhdBox : public Box {
  public:
    struct SMvhd {
        uint64_t creation_time = 0;
        uint64_t modification_time = 0;
        uint64_t duration = 0;
        uint32_t timescale = 0;
    };
    void video_characteristics(std::vector<SMvhd>& out) const { out = entries_; }

  protected:
    bool read_payload(BoxReader& reader) override;
    void discard_entries() override { entries_.clear(); }

  private:
    std::vector<SMvhd> entries_;
};

// "stts": runs of samples sharing one duration.
class SttsBox : public Box {
  public:
    struct SStts {
        uint32_t sample_count = 0;
        uint32_t sample_delta = 0;
    };
    void time_to_samples(std::vector<SStts>& out) const { out = entries_; }

  protected:
    bool read_payload(BoxReader& reader) override;
    void discard_entries() override { entries_.clear(); }

  private:
    std::vector<SStts> entries_;
};

// "stsc": from which chunk on each chunk holds how many samples.
class StscBox : public Box {
  public:
    struct SStsc {
        uint32_t first_chunk = 0;
        uint32_t samples_per_chunk = 0;
        uint32_t sample_description_index = 0;
    };
    void sample_to_chunks(std::vector<SStsc>& out) const { out = entries_; }

  protected:
    bool read_payload(BoxReader& reader) override;
    void discard_entries() override { entries_.clear(); }

  private:
    std::vector<SStsc> entries_;
};

// "stsz": one size per sample, or one constant size for every sample (then the table is empty
// and constant_sample_count() says how many samples there are).
class StszBox : public Box {
  public:
    void sample_size(std::vector<uint32_t>& out) const { out = entries_; }
    uint32_t constant_sample_size() const { return constant_size_; }
    uint32_t constant_sample_count() const { return constant_count_; }

  protected:
    bool read_payload(BoxReader& reader) override;
    void discard_entries() override;

    std::vector<uint32_t> entries_;
    uint32_t constant_size_ = 0;
    uint32_t constant_count_ = 0;
};

// "stz2": compact sample sizes of 4, 8 or 16 bits each.
class Stz2Box : public StszBox {
  protected:
    bool read_payload(BoxReader& reader) override;
};

// "stco": 32-bit chunk offsets (kept as 64-bit values, like those of "co64").
class StcoBox : public Box {
  public:
    StcoBox() = default;
    void chunk_offset(std::vector<uint64_t>& out) const { out = entries_; }

  protected:
    explicit StcoBox(uint32_t offset_bytes) : offset_bytes_(offset_bytes) {}
    bool read_payload(BoxReader& reader) override;
    void discard_entries() override { entries_.clear(); }

  private:
    uint32_t offset_bytes_ = 4;
    std::vector<uint64_t> entries_;
};

// "co64": 64-bit chunk offsets.
class Co64Box : public StcoBox {
  public:
    Co64Box() : StcoBox(8) {}
};

// "stss": 1-based numbers of the sync (key) samples.
class StssBox : public Box {
  public:
    void key_samples(std::vector<uint32_t>& out) const { out = entries_; }

  protected:
    bool read_payload(BoxReader& reader) override;
    void discard_entries() override { entries_.clear(); }

  private:
    std::vector<uint32_t> entries_;
};

// "stsd": the sample descriptions. Every entry is read with the visual sample entry layout when
// it is long enough for it; an "avc1"/"avc3" entry also yields its AVC configuration ("avcC").
class StsdBox : public Box {
  public:
    struct SStsd {
        uint32_t size = 0;
        char format[5] = {};  // four-character code, zero-terminated
        uint16_t data_reference_index = 0;
        uint16_t pre_defined = 0;
        uint16_t reserved = 0;
        uint32_t pre_defined_words[3] = {};
        uint16_t width = 0;
        uint16_t height = 0;
        uint32_t horizresolution = 0;
        uint32_t vertresolution = 0;
        uint32_t reserved_word = 0;
        uint16_t frame_count = 0;
        uint32_t compressor_word = 0;   // compressor name bytes 0..3
        uint16_t compressor_half1 = 0;  // bytes 4..5
        uint16_t compressor_half2 = 0;  // bytes 6..7
        // AVC configuration, when the entry has one.
        uint32_t avcc_size = 0;
        uint16_t configuration_version = 0;
        uint16_t profile_indication = 0;
        uint16_t profile_compatibility = 0;
        uint16_t level_indication = 0;
        uint16_t length_size_byte = 0;  // packed: 6 reserved bits, NAL length size - 1
        uint16_t sps_count_byte = 0;    // packed: 3 reserved bits, number of SPS
        uint16_t sps_length = 0;        // length of the first SPS
        uint16_t pps_count = 0;
        uint16_t pps_length = 0;  // length of the first PPS
        char avcc_type[5] = {};
        // Bytes of each NAL unit's length prefix in the samples (1, 2 or 4); 0 without a
        // readable AVC configuration.
        uint8_t nal_length_size = 0;
        // Every SPS, then every PPS of the AVC configuration, each behind 00 00 00 01.
        std::vector<uint8_t> parameter_sets;
    };
    void sample_decription(std::vector<SStsd>& out) const { out = entries_; }

  protected:
    bool read_payload(BoxReader& reader) override;
    void discard_entries() override { entries_.clear(); }

  private:
    std::vector<SStsd> entries_;
};

}  // namespace rimvault
