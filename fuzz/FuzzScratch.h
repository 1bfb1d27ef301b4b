#pragma once
// A private scratch directory per process for the files the fuzz entries write. It lives under
// $KIV_FUZZ_TMPDIR (the runner points it at a memory file system), else $TMPDIR, else /tmp, and
// is removed when the process exits normally.

#include <cstddef>
#include <cstdint>
#include <string>

namespace kivfuzz {

// The scratch directory, created on first use. Aborts when it cannot be created.
const std::string& ScratchDir();

// Replaces the file `path` with the given bytes. Aborts on failure: a run that cannot write its
// input tests nothing.
void WriteBytes(const std::string& path, const uint8_t* data, size_t size);

// Aborts with a message on standard error: a property of the parser under test failed.
[[noreturn]] void Fail(const char* what);

}  // namespace kivfuzz
