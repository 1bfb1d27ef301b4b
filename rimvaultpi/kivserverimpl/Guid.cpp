#include "rimvaultpi/kivserverimpl/Guid.h"

#include <cstddef>
#include <stdexcept>

namespace rimvault {

namespace {

[[noreturn]] void Invalid() { throw std::runtime_error("invalid uuid string"); }

uint8_t HexValue(char c) {
    if (c >= '0' && c <= '9') return static_cast<uint8_t>(c - '0');
    if (c >= 'a' && c <= 'f') return static_cast<uint8_t>(c - 'a' + 10);
    if (c >= 'A' && c <= 'F') return static_cast<uint8_t>(c - 'A' + 10);
    Invalid();
}

}  // namespace

Uuid ParseGuid(const std::string& text) {
    size_t pos = 0;
    auto next = [&]() -> char {
        if (pos >= text.size()) Invalid();
        return text[pos++];
    };

    char c = next();
    const bool braced = c == '{';
    if (braced) c = next();

    bool dashes = false;
    Uuid id{};
    for (size_t i = 0; i < id.size(); ++i) {
        if (i != 0) c = next();
        if (i == 4) {
            dashes = c == '-';
            if (dashes) c = next();
        } else if (dashes && (i == 6 || i == 8 || i == 10)) {
            if (c != '-') Invalid();
            c = next();
        }
        const uint8_t high = HexValue(c);
        const uint8_t low = HexValue(next());
        id.data[i] = static_cast<uint8_t>(high << 4 | low);
    }
    if (braced && next() != '}') Invalid();
    return id;
}

}  // namespace rimvault
