#include "core/app/ODS.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace kiv {

void ODS(const char* format, ...) {
    char text[260];
    va_list args;
    va_start(args, format);
    int n = vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (n < 0) return;
    size_t len = strlen(text);
    // Room for the line feed: a cut text loses its last character to it.
    if (len == 0 || text[len - 1] != '\n') {
        if (len == sizeof text - 1) --len;
        text[len++] = '\n';
        text[len] = '\0';
    }
    fputs(text, stderr);
}

}  // namespace kiv
