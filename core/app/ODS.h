#pragma once
// Diagnostic print to standard error, printf-style.

namespace kiv {

// Formats into a 260-character buffer (longer text is cut), appends a line feed
// unless the text already ends with one, and writes the line to standard error.
void ODS(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace kiv
