#pragma once
// Four-character box type codes, and the two classifications the box walk uses: containers
// (whose children follow their header in place) and boxes whose payload is skipped whole.

#include <string>

namespace rimvault {

// Containers.
inline const std::string Pdin = "pdin";
inline const std::string Moov = "moov";
inline const std::string Moof = "moof";
inline const std::string Mfra = "mfra";
inline const std::string Meta = "meta";
inline const std::string Meco = "meco";
inline const std::string Styp = "styp";
inline const std::string Prft = "prft";
inline const std::string Trak = "trak";
inline const std::string Tref = "tref";
inline const std::string Edts = "edts";
inline const std::string Mdia = "mdia";
inline const std::string Minf = "minf";
inline const std::string Dinf = "dinf";
inline const std::string Drm = "drm ";
inline const std::string Stbl = "stbl";
inline const std::string Ipro = "ipro";
inline const std::string Sinf = "sinf";
inline const std::string Traf = "traf";
inline const std::string Xml = "xml ";
inline const std::string Bxml = "bxml";

// Boxes the walk reads.
inline const std::string Ftyp = "ftyp";
inline const std::string Mvhd = "mvhd";
inline const std::string Stts = "stts";
inline const std::string Stsc = "stsc";
inline const std::string Stsz = "stsz";
inline const std::string Stz2 = "stz2";
inline const std::string Stco = "stco";
inline const std::string Co64 = "co64";
inline const std::string Stss = "stss";
inline const std::string Stsd = "stsd";
inline const std::string Hdlr = "hdlr";

// Sample entry formats and their configuration box.
inline const std::string Avc1 = "avc1";
inline const std::string Avc3 = "avc3";
inline const std::string AvcC = "avcC";
inline const std::string Mp4a = "mp4a";

// Handler type of a video track.
inline const std::string Vide = "vide";

// True when `type` (a zero-terminated four-character code) is a container.
bool is_container_type(const char* type);
// True when `type` is a box whose payload the walk skips whole.
bool is_skipped_type(const char* type);

}  // namespace rimvault
