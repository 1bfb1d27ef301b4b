#include "rimvaultpi/box/BoxTypes.h"

#include <cstring>

namespace rimvault {
namespace {

// Plain character arrays: the lookups must not depend on the order in which the string
// constants of other translation units are initialised.
constexpr const char* kContainers[] = {
    "pdin", "moov", "moof", "mfra", "meta", "meco", "styp", "prft", "trak", "tref", "edts",
    "mdia", "minf", "dinf", "drm ", "stbl", "ipro", "sinf", "traf", "xml ", "bxml",
};

constexpr const char* kSkipped[] = {
    "skip", "free", "mdat", "tkhd", "trgr", "elst", "mdhd", "elng", "vmhd", "smhd", "hmhd",
    "sthd", "nmhd", "ctts", "cslg", "padb", "mvex", "sdtp", "sbgp", "mehd", "trex", "leva",
    "mfhd", "tfhd", "trun", "sgpd", "subs", "saiz", "saio", "tfdt", "tfra", "mfro", "cprt",
    "tsel", "udta", "hdlr", "dref", "iloc", "frma", "schm", "schi", "iinf", "pitm", "fiin",
    "fire", "fpar", "fecr", "segr", "gitn", "idat", "iref", "mere", "sidx", "ssix", "rdrf",
};

template <size_t N>
bool listed(const char* const (&list)[N], const char* type) {
    for (const char* entry : list) {
        if (std::strcmp(entry, type) == 0) return true;
    }
    return false;
}

}  // namespace

bool is_container_type(const char* type) { return type != nullptr && listed(kContainers, type); }

bool is_skipped_type(const char* type) { return type != nullptr && listed(kSkipped, type); }

}  // namespace rimvault
