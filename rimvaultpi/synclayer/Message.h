#pragma once
// The sync layer's queue entry, and the argument of one container conversion.
// A plain value record: copied into the queue, copied by the converter.

#include <cstdint>
#include <string>

namespace kivsvr::rimvault {

struct Message {
    uint32_t reserved = 0;       // always 0
    uint32_t size = 0;           // byte length of `data`
    char* data = nullptr;        // the core's buffer (not NUL-terminated); kept by reference
    uint32_t type = 0;           // routed event's dwType (Write only)
    uint32_t flags = 0;          // routed event's dwFlags (Write only)
    uint32_t source = 0;         // routed event's dwSource; for a conversion the owner ID
    int32_t stream = 0;          // 0 from every producer; part of the converter's channel ID
    int32_t channel_class = 0;   // 0 from every producer; part of the converter's channel ID
    uint32_t start_time = 0;     // conversion: recording start, seconds since 1970 UTC
    uint32_t end_time = 0;       // conversion: recording end, seconds since 1970 UTC
    int32_t device = 0;          // conversion: device number
    std::string source_path;     // conversion: the downloaded container file
    std::string spare_text_1;    // never set
    std::string input_name;      // conversion: name of the recorded input
    std::string output_root;     // conversion: directory under which recordings are stored
    std::string spare_text_2;    // never set
    uint8_t record_flags = 0;    // 128 for queued documents; conversion: from the recording type
    uint8_t record_flags2 = 0;   // 0 from every producer
};

}  // namespace kivsvr::rimvault
