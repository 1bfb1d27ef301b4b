// The libFuzzer entry of one fuzz executable; KIV_FUZZ_ENTRY names the function it fuzzes.
#include "fuzz/FuzzTargets.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return kivfuzz::KIV_FUZZ_ENTRY(data, size);
}
