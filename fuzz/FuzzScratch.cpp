#include "fuzz/FuzzScratch.h"

#include <fcntl.h>
#include <unistd.h>

#include <boost/filesystem/operations.hpp>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace kivfuzz {
namespace {

std::string MakeScratchDir() {
    const char* base = std::getenv("KIV_FUZZ_TMPDIR");
    if (base == nullptr || *base == '\0') base = std::getenv("TMPDIR");
    if (base == nullptr || *base == '\0') base = "/tmp";
    std::string pattern = std::string(base) + "/kivfuzz-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (::mkdtemp(name.data()) == nullptr) {
        std::fprintf(stderr, "fuzz: cannot create a scratch directory under %s: %s\n", base,
                     std::strerror(errno));
        std::abort();
    }
    return std::string(name.data());
}

std::string* g_scratch = nullptr;

void RemoveScratch() {
    if (g_scratch == nullptr) return;
    boost::system::error_code ignored;
    boost::filesystem::remove_all(*g_scratch, ignored);
}

}  // namespace

const std::string& ScratchDir() {
    if (g_scratch == nullptr) {
        g_scratch = new std::string(MakeScratchDir());
        std::atexit(RemoveScratch);
    }
    return *g_scratch;
}

void WriteBytes(const std::string& path, const uint8_t* data, size_t size) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) Fail("cannot create a scratch file");
    size_t done = 0;
    while (done < size) {
        const ssize_t n = ::write(fd, data + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) Fail("cannot write a scratch file");
        done += static_cast<size_t>(n);
    }
    if (::close(fd) != 0) Fail("cannot close a scratch file");
}

void Fail(const char* what) {
    std::fprintf(stderr, "fuzz: property failed: %s\n", what);
    std::abort();
}

}  // namespace kivfuzz
