#pragma once
// Reading the "GUID" text of the server's documents.

#include <string>

#include "rimvaultpi/rimvault/RimvaultTypes.h"

namespace rimvault {

// Parses an operation identifier: an optional opening brace, then 32 hexadecimal digits
// (either case), two per byte; dashes either absent or after the 4th, 6th, 8th and 10th byte
// (decided by whether one follows the 4th byte); a closing brace when there was an opening
// one. Characters after that are ignored. Raises std::runtime_error("invalid uuid string")
// otherwise, also for a character that is not a hexadecimal digit.
Uuid ParseGuid(const std::string& text);

}  // namespace rimvault
