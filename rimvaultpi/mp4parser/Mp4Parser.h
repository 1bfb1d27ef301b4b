#pragma once
// Converts one downloaded MP4 recording into one PS recording: reads the file's sample tables in
// one forward pass over its boxes, copies every H.264 video sample into one PS packet (NAL length
// prefixes become start codes), files the recording under the output root by local date and hour,
// and deletes the MP4 file. One object per file: construct, parse(), destroy (which closes the PS
// file).
//
// Results of parse(): 0 success, 1 failure, 3 aborted input. Details go out as "log_msg"
// documents (level 25 information, 75 error) through the poster given at construction.

#include <cstdint>
#include <ctime>
#include <functional>
#include <istream>
#include <memory>
#include <string>
#include <vector>

#include "rimvaultpi/box/SampleTableBoxes.h"
#include "rimvaultpi/synclayer/Message.h"
#include "rimvaultpi/synclayer/Poster.h"

class CPSFile;

namespace rimvault {

class Mp4Parser {
  public:
    // The tables of one track.
    struct sample_tables {
        std::vector<uint64_t> chunk_offsets;  // from "stco" or "co64"
        std::vector<uint32_t> sample_sizes;   // from "stsz" or "stz2" (empty with a constant size)
        std::vector<uint32_t> key_samples;    // 1-based sample numbers, from "stss"
        std::vector<StscBox::SStsc> sample_to_chunks;
        std::vector<SttsBox::SStts> time_to_samples;
        std::vector<StsdBox::SStsd> sample_descriptions;
        std::vector<MvhdBox::SMvhd> video_characteristics;  // the movie header ("mvhd")
        uint32_t constant_sample_size = 0;   // "stsz" without a table: every sample's size ...
        uint32_t constant_sample_count = 0;  // ... and the number of samples
        std::string handler_type;            // media handler ("vide", "soun", ...), if read

        void clear();
        uint32_t sample_count() const;
        // REQUIRES: index < sample_count().
        uint32_t sample_size(uint32_t index) const;
    };

    // One of the 32 channel descriptors (0-15 video, 16-31 audio).
    struct SChannelInfo {
        int32_t kind = 0;
        int32_t width = 0;
        int32_t height = 0;
        int32_t audio_param = 0;
        int32_t sample_rate = 0;
        int32_t attr = 0;
        int32_t codec = 0;
        std::string name;
    };
    static constexpr int kChannelCount = 32;
    static constexpr int kVideoChannelCount = 16;

    // One frame as it goes into the PS file.
    struct Frame {
        uint16_t channel = 0;  // slot
        bool key = false;
        int64_t time_ms = 0;  // milliseconds since 1970-01-01 00:00:00 UTC
        const uint8_t* data = nullptr;
        uint32_t size = 0;
    };

    using FrameBuffer = std::unique_ptr<uint8_t[]>;

    Mp4Parser(const kivsvr::rimvault::Message& message, kivsvr::rimvault::Poster poster);
    virtual ~Mp4Parser();
    Mp4Parser(const Mp4Parser&) = delete;
    Mp4Parser& operator=(const Mp4Parser&) = delete;

    // The whole conversion: format check, box walk, conversion, deletion of the MP4 file.
    int parse();
    // Converts the tracks of `track_tables` read from `in`: 0, 1 or 3.
    int process_stream(std::istream& in);
    // Walks the box tree of `in` from offset 0 and fills `track_tables`.
    void walk_boxes(std::istream& in);

    // ---- Box reading ----
    static bool is_standard_box(const char* type);
    static bool is_standard_container(const char* type);
    // Bytes 4..7 of the stream are "ftyp".
    static bool is_mp4_format(std::istream& in);
    // True only when `path` opens and is not MP4.
    bool is_unsupported_file_format(const std::string& path) const;
    static bool received_mandatory_sample_tables(const sample_tables& tables);
    // Unchecked: reads 4 bytes at `bytes`.
    static uint32_t convert_array_big_endian(const uint8_t* bytes);

    // ---- Frames ----
    // Whether 1-based `sample_number` of the track being converted is a key frame.
    bool is_key_frame(uint32_t sample_number) const;
    // Reads one sample of `sample_size` bytes from `in` into `frame` with every 4-byte NAL length
    // replaced by 00 00 00 01; sets `has_sps` when it holds a sequence parameter set. Returns the
    // frame length, or -1 when the sample cannot be read whole or its NAL lengths do not add up
    // to its size. REQUIRES: `frame` holds max_sample_size bytes.
    int64_t insert_nal_tags(uint32_t sample_size, std::istream& in, uint8_t* frame,
                            bool& has_sps) const;
    uint32_t largest_frame_size(const sample_tables& tables) const;
    FrameBuffer largest_frame_size_buffer(size_t size) const;
    virtual bool write_frame_to_ps(const Frame& frame) const;

    // ---- Output file ----
    // Creates the directory of the new recording and returns its path (also kept in
    // ps_file_path). Throws the file-system library's error when the directory cannot be made.
    virtual std::string create_ps_file_path();
    static void generate_ps_file_name(int minute, int second, unsigned channel_id,
                                      std::string& out);
    int intialize_channel(const std::string& name);
    virtual int open_ps_file(const std::string& path) const;
    // Removes the MP4 file: 0, or 1 when the first attempt failed (one retry after 2 s).
    virtual int delete_file();

    // ---- Time ----
    // Frame period in seconds of `track`, from the movie header; 0.065 when it cannot be known.
    long double frame_real_time(const sample_tables& track) const;
    // `timescale` times the number of samples of `table`.
    static long double time_to_sample_duration(uint32_t timescale,
                                               const std::vector<SttsBox::SStts>& table);
    // GMT hour minus local hour now (or at `now`, seconds since 1970), between -14 and +12.
    static int calculate_local_gmt_hour_difference();
    static int calculate_local_gmt_hour_difference(int64_t now);
    static struct tm* substract_time_difference(struct tm* t, int hours);
    static struct tm* adjust_time_yesterday(struct tm* t);
    static struct tm* adjust_time_daylight_savings(struct tm* t);
    // The recording start on the server's clock, from camera seconds since 1970 GMT.
    static int64_t convert_from_gmt_to_server_time(uint32_t gmt_seconds);
    // Local calendar fields of `t` (seconds since 1970).
    static void year_month_day(int64_t t, int& year, int& month, int& day, int& hour, int& minute,
                               int& second);

    // ---- Logging ----
    virtual void post_log_message(int level, const char* text) const;
    void log_info(const std::string& text) const;
    void log_error(const std::string& text) const;
    // A line about one box or track of the input: a hostile file may hold millions of them, so
    // only the first few of a conversion are logged.
    void log_input_notice(int level, const std::string& text);

    // ---- Observers ----
    const std::vector<sample_tables>& tables() const { return track_tables; }
    const std::string& ps_path() const { return ps_file_path; }
    int64_t start_seconds() const { return stream_start; }
    uint32_t channel() const { return channel_id; }
    const SChannelInfo& channel_info(int slot) const { return channels[slot]; }

    // Replaces the pause before the second delete attempt (tests).
    void set_retry_sleep(std::function<void(unsigned seconds)> sleep);

  protected:
    std::vector<sample_tables> track_tables;
    std::unique_ptr<CPSFile> ps_file;
    std::string ps_file_path;
    const kivsvr::rimvault::Message message;
    kivsvr::rimvault::Poster poster;
    int64_t stream_start = 0;
    SChannelInfo channels[kChannelCount];
    uint32_t channel_id = 0;
    uint32_t max_sample_size = 0;

  private:
    enum class TrackKind { video, unsupported_video, other };
    static TrackKind classify(const sample_tables& track);
    int convert_track(std::istream& in, const sample_tables& track, uint16_t slot);
    bool read_table_box(const char* type, std::istream& in, uint64_t payload,
                        sample_tables& tables);
    void close_track(sample_tables& working);

    std::vector<MvhdBox::SMvhd> movie_header;
    std::vector<uint32_t> key_samples;  // of the track being converted, sorted
    bool output_failed = false;         // the PS file could not be made or written
    unsigned input_notices_logged = 0;
    bool frames_skipped = false;  // a frame too large for a PS packet was left out
    std::function<void(unsigned)> retry_sleep;
};

}  // namespace rimvault
