// libFuzzer entry point; FUZZ_ENTRY names the harness (set per target).
#include "harness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    return FUZZ_ENTRY(data, size);
}
