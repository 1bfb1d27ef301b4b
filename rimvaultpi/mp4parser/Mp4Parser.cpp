#include "rimvaultpi/mp4parser/Mp4Parser.h"

#include <errno.h>
#include <time.h>
#include <tinyxml2.h>

#include <algorithm>
#include <boost/filesystem.hpp>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <stdexcept>

#include "rimvaultpi/box/BoxTypes.h"
#include "rimvaultpi/mp4parser/Mp4Time.h"
#include "rimvaultpi/psfile/PSFile.h"

namespace rimvault {
namespace {

constexpr int kLevelInfo = 25;
constexpr int kLevelError = 75;
constexpr unsigned long kLogRouting = 0x040;

// Nesting deeper than this is not walked into (the container is skipped whole).
constexpr size_t kMaxBoxDepth = 32;
// Lines about single boxes or tracks of the input logged per conversion.
constexpr unsigned kMaxInputNotices = 32;
// Largest payload one PS packet holds: the longest packet (a multiple of 32 below
// PSFILE_MAX_PACKET) minus its 32-byte header.
constexpr uint32_t kMaxFramePayload = PSFILE_MAX_PACKET - 64;
// Read buffer of the MP4 stream: small, so that reads of whole samples bypass it and go
// straight into the frame buffer.
constexpr size_t kReadBufferSize = 4 * 1024;
// H.264 NAL unit type of a sequence parameter set.
constexpr uint8_t kNalSps = 7;

// A box type for a log line: printable characters as they are, others as \xNN.
std::string printable_type(const char* type) {
    std::string out;
    for (int i = 0; i < 4 && type[i] != '\0'; ++i) {
        const unsigned char c = static_cast<unsigned char>(type[i]);
        if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
        } else {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        }
    }
    return out;
}

void sleep_resuming(unsigned seconds) {
    struct timespec remaining = {static_cast<time_t>(seconds), 0};
    while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
    }
}

// Whether something (a file, a directory, a dangling link) already has this name.
bool name_taken(const std::string& path) {
    boost::system::error_code ec;
    return boost::filesystem::symlink_status(path, ec).type() != boost::filesystem::file_not_found;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// sample_tables

void Mp4Parser::sample_tables::clear() { *this = sample_tables(); }

uint32_t Mp4Parser::sample_tables::sample_count() const {
    return sample_sizes.empty() ? constant_sample_count
                                : static_cast<uint32_t>(sample_sizes.size());
}

uint32_t Mp4Parser::sample_tables::sample_size(uint32_t index) const {
    return sample_sizes.empty() ? constant_sample_size : sample_sizes[index];
}

// ---------------------------------------------------------------------------------------------
// Construction

Mp4Parser::Mp4Parser(const kivsvr::rimvault::Message& msg, kivsvr::rimvault::Poster post)
    : ps_file(std::make_unique<CPSFile>()),
      message(msg),
      poster(std::move(post)),
      retry_sleep(sleep_resuming) {
    channel_id = (static_cast<uint32_t>(message.channel_class) << 28) |
                 (message.source & 0x0FFF0000u) |
                 ((static_cast<uint32_t>(message.device) << 8) & 0xFF00u) |
                 ((static_cast<uint32_t>(message.stream) + 128u) & 0xFFu);
    stream_start = convert_from_gmt_to_server_time(message.start_time);
}

Mp4Parser::~Mp4Parser() = default;

void Mp4Parser::set_retry_sleep(std::function<void(unsigned)> sleep) {
    retry_sleep = std::move(sleep);
}

// ---------------------------------------------------------------------------------------------
// The conversion

int Mp4Parser::parse() {
    const std::string& path = message.source_path;
    if (is_unsupported_file_format(path)) {
        log_error("Unsupported file format - " + path + ".\n");
        delete_file();
        return 1;
    }

    std::ifstream in;
    std::vector<char> read_buffer(kReadBufferSize);
    in.rdbuf()->pubsetbuf(read_buffer.data(), static_cast<std::streamsize>(read_buffer.size()));
    in.open(path, std::ios::in | std::ios::binary);
    log_info("Parsing mp4 container - " + path + ".\n");
    walk_boxes(in);
    in.clear();

    if (track_tables.empty()) {
        log_error("No sample tables found in mp4 container.\n");
        in.close();
        delete_file();
        return 1;
    }
    int result = process_stream(in);
    in.close();
    // Packets still held in memory must be on disk before the MP4 file may go.
    if (!output_failed && ps_file->Flush() != 0) {
        output_failed = true;
        log_error("Error occured while writing frame to ps file - " + ps_file_path + ".\n");
        if (result == 0) result = 1;
    }
    if (output_failed) {
        // The recording could not be stored; the MP4 file is its only copy.
        log_error("Keeping mp4 container - " + path + ".\n");
    } else {
        delete_file();
    }
    return result;
}

int Mp4Parser::process_stream(std::istream& in) {
    try {
        intialize_channel(message.input_name);
        // Packets date their frames from 2000 to 2127 only; a clip from outside (a camera whose
        // clock was never set, say) would be filed and dated wrongly. It is kept instead.
        constexpr int64_t kSecondsPerDay = 86400;
        if (stream_start < days_from_civil(2000, 1, 1) * kSecondsPerDay ||
            stream_start >= days_from_civil(2128, 1, 1) * kSecondsPerDay) {
            output_failed = true;
            log_error("Start time of mp4 container is outside the years 2000 to 2127.\n");
            return 1;
        }
        std::string path;
        try {
            path = create_ps_file_path();
        } catch (const std::exception& e) {
            output_failed = true;
            log_error(std::string("Error creating directory for ps file. What : ") + e.what() +
                      ".\n");
            return 1;
        }
        if (open_ps_file(path) != 0) {
            output_failed = true;
            log_error("Error opening ps file - " + ps_file_path + " for write\n.");
            return 1;
        }
        log_info("Processing mp4 container stream - " + message.source_path + ".\n");

        int result = 0;
        uint16_t slot = 0;
        for (const sample_tables& track : track_tables) {
            if (!received_mandatory_sample_tables(track)) {
                log_error(
                    "Did not receive mandatory sample tables. Aborting parsing of mp4 "
                    "container.\n");
                return 3;
            }
            const std::string format = printable_type(track.sample_descriptions.front().format);
            switch (classify(track)) {
                case TrackKind::other:
                    log_input_notice(kLevelInfo,
                                     "Skipping track of sample format " + format + ".\n");
                    continue;
                case TrackKind::unsupported_video:
                    log_input_notice(kLevelError, "Unsupported video sample format " + format +
                                                      ". Skipping track.\n");
                    result = 1;
                    continue;
                case TrackKind::video:
                    break;
            }
            if (slot >= kVideoChannelCount) {
                log_input_notice(kLevelError, "No free video channel. Skipping track.\n");
                result = 1;
                continue;
            }
            const int converted = convert_track(in, track, slot++);
            if (converted != 0) return converted;
            if (frames_skipped) result = 1;
        }
        return result;
    } catch (const std::exception& e) {
        // The recording is cut short wherever this came from (memory, most likely): the MP4
        // file stays as the only complete copy.
        output_failed = true;
        log_error(std::string("Exception occured while processing stream in process_stream. "
                              "What : ") +
                  e.what() + ".\n");
        return 1;
    }
}

Mp4Parser::TrackKind Mp4Parser::classify(const sample_tables& track) {
    if (track.sample_descriptions.empty()) return TrackKind::other;
    const StsdBox::SStsd& description = track.sample_descriptions.front();
    const bool h264 = Avc1 == description.format || Avc3 == description.format;
    if (!track.handler_type.empty() && track.handler_type != Vide) return TrackKind::other;
    // Samples are copied with 4-byte NAL length prefixes (assumed without a configuration).
    if (h264 && (description.nal_length_size == 4 || description.nal_length_size == 0)) {
        return TrackKind::video;
    }
    if (h264 || track.handler_type == Vide) return TrackKind::unsupported_video;
    return TrackKind::other;  // no handler and not H.264: audio, text, metadata...
}

int Mp4Parser::convert_track(std::istream& in, const sample_tables& track, uint16_t slot) {
    const uint32_t count = track.sample_count();
    // Each sample's bytes are in the file once, so the samples read can never add up to more
    // than the file: tables that reuse bytes would let a small hostile file make a recording of
    // any size. (A file cut short still gives the frames before the cut.)
    in.clear();
    in.seekg(0, std::ios::end);
    const std::streamoff end_of_file = in.tellg();
    const uint64_t file_size = end_of_file > 0 ? static_cast<uint64_t>(end_of_file) : 0;
    uint64_t sample_bytes = 0;
    auto beyond_the_file = [&](uint32_t sample_size) {
        sample_bytes += sample_size;
        if (sample_bytes <= file_size) return false;
        log_error("Sample sizes exceed the file size. Aborting parsing of mp4 container.\n");
        return true;
    };
    max_sample_size = std::min(largest_frame_size(track), kMaxFramePayload);

    // Parameter sets of the configuration go in front of key frames that lack their own.
    const std::vector<uint8_t>& parameter_sets = track.sample_descriptions.front().parameter_sets;
    const size_t prefix = parameter_sets.size();
    const size_t frame_capacity = prefix + max_sample_size;
    FrameBuffer buffer;

    key_samples = track.key_samples;
    std::sort(key_samples.begin(), key_samples.end());
    const long double period = frame_real_time(track);
    const int64_t start_ms = stream_start * 1000;

    uint32_t sample = 0;
    size_t entry = 0;          // current sample-to-chunk entry
    uint64_t at = UINT64_MAX;  // where the stream stands, when known
    for (size_t chunk = 0; chunk < track.chunk_offsets.size() && sample < count; ++chunk) {
        const uint64_t chunk_number = chunk + 1;
        while (entry + 1 < track.sample_to_chunks.size() &&
               track.sample_to_chunks[entry + 1].first_chunk <= chunk_number) {
            ++entry;
        }
        const uint32_t per_chunk = track.sample_to_chunks[entry].samples_per_chunk;
        if (per_chunk == 0) continue;
        const uint64_t offset = track.chunk_offsets[chunk];
        if (offset != at) {
            in.clear();
            in.seekg(static_cast<std::streamoff>(offset));
            at = offset;
        }
        for (uint32_t j = 0; j < per_chunk && sample < count; ++j, ++sample) {
            const uint32_t sample_size = track.sample_size(sample);
            if (sample_size > kMaxFramePayload) {
                // No PS packet holds this frame. It is left out, and the frames after it are
                // still stored (the next key frame decodes again); the result reports the loss.
                if (beyond_the_file(sample_size)) return 3;
                log_input_notice(kLevelError,
                                 "Frame of " + std::to_string(sample_size) +
                                     " bytes does not fit a PS packet. Skipping it.\n");
                frames_skipped = true;
                at += sample_size;
                in.seekg(static_cast<std::streamoff>(at));
                continue;
            }
            // The frame is built where the PS file holds the packet's payload, when it can
            // offer that room: the sample bytes are then copied only by the read.
            uint8_t* frame_bytes = frame_capacity < PSFILE_MAX_PACKET
                                       ? ps_file->NextPayload(static_cast<uint32_t>(frame_capacity))
                                       : nullptr;
            if (frame_bytes == nullptr) {
                if (!buffer) buffer = largest_frame_size_buffer(frame_capacity);
                frame_bytes = buffer.get();
            }
            bool has_sps = false;
            const int64_t length = insert_nal_tags(sample_size, in, frame_bytes, has_sps);
            if (length < 0) {
                log_error("Bad frame size. Aborting parsing of mp4 container.\n");
                return 3;
            }
            if (beyond_the_file(sample_size)) return 3;
            at += sample_size;
            Frame frame;
            frame.channel = slot;
            frame.key = is_key_frame(sample + 1);
            frame.time_ms =
                start_ms + std::llround(static_cast<long double>(sample) * period * 1000.0L);
            frame.data = frame_bytes;
            frame.size = static_cast<uint32_t>(length);
            if (frame.key && !has_sps && prefix > 0 && prefix + frame.size <= kMaxFramePayload) {
                std::memmove(frame_bytes + prefix, frame_bytes, frame.size);
                std::memcpy(frame_bytes, parameter_sets.data(), prefix);
                frame.size += static_cast<uint32_t>(prefix);
            }
            if (!write_frame_to_ps(frame)) {
                output_failed = true;
                log_error("Error occured while writing frame to ps file - " + ps_file_path + ".\n");
                return 1;
            }
        }
    }
    if (sample < count) {
        log_error("Sample tables do not locate every sample. Aborting parsing of mp4 container.\n");
        return 3;
    }
    return 0;
}

bool Mp4Parser::is_key_frame(uint32_t sample_number) const {
    return key_samples.empty() ||
           std::binary_search(key_samples.begin(), key_samples.end(), sample_number);
}

int64_t Mp4Parser::insert_nal_tags(uint32_t sample_size, std::istream& in, uint8_t* frame,
                                   bool& has_sps) const {
    has_sps = false;
    if (sample_size == 0) return 0;
    if (sample_size > max_sample_size) return -1;
    // The whole sample in one read, then each 4-byte NAL length becomes a start code in place.
    in.read(reinterpret_cast<char*>(frame), sample_size);
    if (static_cast<uint64_t>(in.gcount()) != sample_size) return -1;
    uint32_t pos = 0;
    while (pos < sample_size) {
        if (sample_size - pos < 4) return -1;  // a length prefix cut by the sample's end
        uint8_t* const nal = frame + pos;
        const uint32_t length = convert_array_big_endian(nal);
        if (length > sample_size - pos - 4) return -1;
        nal[0] = 0;
        nal[1] = 0;
        nal[2] = 0;
        nal[3] = 1;
        if (length > 0 && (nal[4] & 0x1F) == kNalSps) has_sps = true;
        pos += 4 + length;
    }
    return pos;
}

uint32_t Mp4Parser::largest_frame_size(const sample_tables& tables) const {
    if (tables.sample_sizes.empty()) {
        return tables.constant_sample_count > 0 ? tables.constant_sample_size : 0;
    }
    return *std::max_element(tables.sample_sizes.begin(), tables.sample_sizes.end());
}

Mp4Parser::FrameBuffer Mp4Parser::largest_frame_size_buffer(size_t size) const {
    return FrameBuffer(new uint8_t[size]());
}

bool Mp4Parser::write_frame_to_ps(const Frame& frame) const {
    const UtcTime utc = utc_from_milliseconds(frame.time_ms);
    _PSFILE_PACKET packet = {};
    packet.channel = frame.channel;
    packet.frameType = frame.key ? 1 : 2;
    packet.year = static_cast<uint16_t>(utc.year);
    packet.month = static_cast<uint16_t>(utc.month);
    packet.day = static_cast<uint16_t>(utc.day);
    packet.hour = utc.hour;
    packet.minute = utc.minute;
    packet.second = utc.second;
    packet.millisecond = utc.millisecond;
    packet.flags = message.record_flags;
    packet.payload = frame.data;
    packet.payloadSize = frame.size;
    packet.packetAttr = message.record_flags2;
    return ps_file->Write(packet) == 0;
}

// ---------------------------------------------------------------------------------------------
// Box walk

bool Mp4Parser::is_standard_box(const char* type) { return is_skipped_type(type); }

bool Mp4Parser::is_standard_container(const char* type) { return is_container_type(type); }

bool Mp4Parser::is_mp4_format(std::istream& in) {
    in.clear();
    in.seekg(0);
    char bytes[8] = {};
    in.read(bytes, sizeof bytes);
    return in.gcount() == 8 && std::memcmp(bytes + 4, "ftyp", 4) == 0;
}

bool Mp4Parser::is_unsupported_file_format(const std::string& path) const {
    try {
        std::ifstream in(path, std::ios::in | std::ios::binary);
        return in.is_open() && in.good() && !is_mp4_format(in);
    } catch (const std::exception& e) {
        log_error(std::string("Exception occured while checking file format. What : ") + e.what() +
                  ".\n.");
        return false;
    }
}

bool Mp4Parser::received_mandatory_sample_tables(const sample_tables& tables) {
    return !tables.sample_descriptions.empty() && !tables.chunk_offsets.empty() &&
           !tables.time_to_samples.empty() && tables.sample_count() > 0 &&
           !tables.sample_to_chunks.empty();
}

uint32_t Mp4Parser::convert_array_big_endian(const uint8_t* bytes) {
    return Box::convert32_bit_big_endian(bytes);
}

void Mp4Parser::close_track(sample_tables& working) {
    if (received_mandatory_sample_tables(working)) {
        track_tables.push_back(working);
    } else {
        log_input_notice(kLevelInfo, "Skipping track without complete sample tables.\n");
    }
    working.clear();
}

void Mp4Parser::walk_boxes(std::istream& in) {
    struct OpenContainer {
        uint64_t end;
        bool trak;
        bool mdia;
    };
    track_tables.clear();
    movie_header.clear();
    sample_tables working;

    in.clear();
    in.seekg(0, std::ios::end);
    const std::streamoff file_size = in.tellg();
    if (!in || file_size <= 0) return;

    std::vector<OpenContainer> open;
    unsigned tracks_open = 0;
    uint64_t pos = 0;
    for (;;) {
        // Leave every container that ends here; a track's tables are complete at its end.
        while (!open.empty() && pos >= open.back().end) {
            if (open.back().trak) {
                close_track(working);
                --tracks_open;
            }
            open.pop_back();
        }
        const uint64_t limit = open.empty() ? static_cast<uint64_t>(file_size) : open.back().end;
        if (limit - pos < 8) {
            if (open.empty()) break;  // end of the file
            pos = limit;              // leftover bytes of a container
            continue;
        }

        in.clear();
        in.seekg(static_cast<std::streamoff>(pos));
        BoxReader header(in, limit - pos);
        uint32_t size32;
        char type[5] = {};
        if (!header.read_u32(size32) || !header.read_bytes(type, 4)) break;
        uint64_t size = size32;
        if (size32 == 1) {
            if (!header.read_u64(size)) break;
        } else if (size32 == 0) {
            size = limit - pos;  // to the end of the enclosing box (or of the file)
        }
        const uint64_t header_size = header.consumed();
        if (size < header_size || size > limit - pos) break;  // cannot be walked past
        const uint64_t payload = size - header_size;
        const uint64_t box_end = pos + size;

        if (is_standard_container(type)) {
            if (open.size() >= kMaxBoxDepth) {
                pos = box_end;
                continue;
            }
            pos += header_size;
            // "meta" may be a full box: its children then follow 4 bytes of version and flags.
            uint32_t version_flags;
            if (Meta == type && payload >= 12 && header.read_u32(version_flags) &&
                version_flags == 0) {
                pos += 4;
            }
            const bool trak = Trak == type;
            if (trak) ++tracks_open;
            open.push_back({box_end, trak, Mdia == type});
            continue;
        }

        if (Hdlr == type && !open.empty() && open.back().mdia) {
            // version and flags, pre_defined, handler_type
            char handler[5] = {};
            if (payload >= 12 && header.skip(8) && header.read_bytes(handler, 4)) {
                working.handler_type = handler;
            }
        } else if (is_standard_box(type) || Ftyp == type) {
            // skipped whole
        } else if (!read_table_box(type, in, payload, working)) {
            log_input_notice(kLevelInfo, "Unknown box type : " + printable_type(type) + "\n");
        }
        pos = box_end;
        // Tables outside any track form a record as soon as they are complete.
        if (tracks_open == 0 && received_mandatory_sample_tables(working)) {
            track_tables.push_back(working);
            working.clear();
        }
    }
    // A walk that ended inside a track (a file cut short) keeps the track if it is complete.
    if (received_mandatory_sample_tables(working)) track_tables.push_back(working);
}

bool Mp4Parser::read_table_box(const char* type, std::istream& in, uint64_t payload,
                               sample_tables& tables) {
    const int64_t length = static_cast<int64_t>(payload);
    auto check = [&](const Box& box) {
        if (!box.valid()) {
            log_input_notice(kLevelInfo, "Ignoring malformed box : " + printable_type(type) + "\n");
        }
    };
    if (Mvhd == type) {
        MvhdBox box;
        box.process_data(in, length);
        box.video_characteristics(tables.video_characteristics);
        movie_header = tables.video_characteristics;
        check(box);
    } else if (Stts == type) {
        SttsBox box;
        box.process_data(in, length);
        box.time_to_samples(tables.time_to_samples);
        check(box);
    } else if (Stsc == type) {
        StscBox box;
        box.process_data(in, length);
        box.sample_to_chunks(tables.sample_to_chunks);
        check(box);
    } else if (Stsz == type || Stz2 == type) {
        std::unique_ptr<StszBox> box =
            Stsz == type ? std::make_unique<StszBox>() : std::make_unique<Stz2Box>();
        box->process_data(in, length);
        box->sample_size(tables.sample_sizes);
        tables.constant_sample_size = box->constant_sample_size();
        tables.constant_sample_count = box->constant_sample_count();
        check(*box);
    } else if (Stco == type || Co64 == type) {
        std::unique_ptr<StcoBox> box =
            Stco == type ? std::make_unique<StcoBox>() : std::make_unique<Co64Box>();
        box->process_data(in, length);
        box->chunk_offset(tables.chunk_offsets);
        check(*box);
    } else if (Stss == type) {
        StssBox box;
        box.process_data(in, length);
        box.key_samples(tables.key_samples);
        check(box);
    } else if (Stsd == type) {
        StsdBox box;
        box.process_data(in, length);
        box.sample_decription(tables.sample_descriptions);
        check(box);
    } else {
        return false;
    }
    return true;
}

// ---------------------------------------------------------------------------------------------
// Output file

void Mp4Parser::generate_ps_file_name(int minute, int second, unsigned channel_id,
                                      std::string& out) {
    static const std::string program_stream_extension = ".ps";
    static const std::string rimvaultpi_first_letter = "r";
    char text[48];
    std::snprintf(text, sizeof text, "%02d%02d-%08X", minute, second, channel_id);
    out = text + rimvaultpi_first_letter + program_stream_extension;
}

std::string Mp4Parser::create_ps_file_path() {
    int year, month, day, hour, minute, second;
    year_month_day(stream_start, year, month, day, hour, minute, second);

    std::string root = message.output_root;
    if (!root.empty() && root.back() != '/') root += '/';
    char fields[64];
    std::snprintf(fields, sizeof fields, "%d/%02d/%02d/%02d", year, month, day, hour);
    const std::string directory = root + fields;
    if (!boost::filesystem::is_directory(directory)) {
        boost::filesystem::create_directories(directory);
    }

    // Never replace an existing recording: a recording that starts in the same second as one
    // already filed takes the next free second of the name (its packets keep their own times),
    // up to 59:59; then the nearest free second before its start, so that every name stays a
    // time of its hour.
    constexpr int kSecondsPerHour = 3600;
    const int start = minute * 60 + second;
    for (int k = 0; k < kSecondsPerHour; ++k) {
        const int at = start + k < kSecondsPerHour ? start + k : kSecondsPerHour - 1 - k;
        std::string name;
        generate_ps_file_name(at / 60, at % 60, channel_id, name);
        const std::string path = directory + "/" + name;
        if (!name_taken(path) && !name_taken(path + "i")) {
            ps_file_path = path;
            return ps_file_path;
        }
    }
    throw std::runtime_error("no free file name in " + directory);
}

int Mp4Parser::intialize_channel(const std::string& name) {
    if (track_tables.empty()) {
        log_error("Unable to initialize channel sample tables is empty.\n");
        return 3;
    }
    // Picture size of each video slot from the video track converted into it; every other
    // slot gets the first video track's size (the first track's when there is no video).
    std::vector<const StsdBox::SStsd*> video;
    for (const sample_tables& track : track_tables) {
        if (classify(track) == TrackKind::video && video.size() < kVideoChannelCount) {
            video.push_back(&track.sample_descriptions.front());
        }
    }
    const StsdBox::SStsd& first =
        video.empty() ? track_tables.front().sample_descriptions.front() : *video.front();
    for (int s = 0; s < kChannelCount; ++s) {
        const StsdBox::SStsd& d = static_cast<size_t>(s) < video.size() ? *video[s] : first;
        channels[s] = SChannelInfo();
        channels[s].width = d.width;
        channels[s].height = d.height;
        channels[s].name = name;
    }
    return 0;
}

int Mp4Parser::open_ps_file(const std::string& path) const {
    _PSFILE_HEADER header = {};
    header.packetAttr = message.record_flags2;
    _PSFILE_CHANNEL records[kChannelCount] = {};
    for (int s = 0; s < kChannelCount; ++s) {
        const SChannelInfo& d = channels[s];
        _PSFILE_CHANNEL& c = records[s];
        if (s < kVideoChannelCount) {
            c.streamType = static_cast<uint8_t>(d.kind - 123);
            c.streamId = static_cast<uint8_t>((d.kind != 0 ? 0xE0 : 0xD0) + s);
            // Sizes above 4080 pixels do not fit the 8-bit field.
            c.widthDiv16 = static_cast<uint8_t>(std::min(d.width / 16, 255));
            c.heightDiv16 = static_cast<uint8_t>(std::min(d.height / 16, 255));
        } else {
            c.streamType = static_cast<uint8_t>(d.kind - 112);
            c.streamId = static_cast<uint8_t>(0xC0 + (s - kVideoChannelCount));
            c.audioParam = static_cast<uint16_t>(d.audio_param);
            c.sampleRate = static_cast<uint16_t>(d.sample_rate);
        }
        c.codec = static_cast<uint8_t>(d.codec);
        c.attr = static_cast<uint8_t>(d.attr);
        c.name = d.name.c_str();
    }
    const int result = ps_file->Open(path.c_str(), header, kChannelCount, records);
    if (result == 0) {
        // The whole recording is written in one go: fewer, larger writes (see parse() for
        // how a failure of the last ones is caught).
        ps_file->HoldBackPackets();
        log_info("Opened (and PSI) " + path + ".\n");
    }
    return result;
}

int Mp4Parser::delete_file() {
    const std::string& path = message.source_path;
    if (std::remove(path.c_str()) == 0) return 0;
    log_error("Error deleting file - " + path + ". Attempting to delete again.\n");
    if (retry_sleep) retry_sleep(2);
    std::remove(path.c_str());
    return 1;
}

// ---------------------------------------------------------------------------------------------
// Logging

void Mp4Parser::post_log_message(int level, const char* text) const {
    if (!poster) return;
    tinyxml2::XMLDocument document;
    document.InsertEndChild(document.NewDeclaration());
    tinyxml2::XMLElement* root = document.NewElement("log_msg");
    root->SetAttribute("level", level);
    root->SetText(text);
    document.InsertEndChild(root);
    poster(document, kLogRouting);
}

void Mp4Parser::log_info(const std::string& text) const {
    post_log_message(kLevelInfo, text.c_str());
}

void Mp4Parser::log_input_notice(int level, const std::string& text) {
    if (input_notices_logged >= kMaxInputNotices) return;
    ++input_notices_logged;
    post_log_message(level, text.c_str());
}

void Mp4Parser::log_error(const std::string& text) const {
    post_log_message(kLevelError, text.c_str());
}

}  // namespace rimvault
