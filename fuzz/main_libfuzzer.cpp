// A fuzz target as a libFuzzer program.
#include "fuzz/fuzz_targets.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return REMEDY_FUZZ_ENTRY(data, size);
}
