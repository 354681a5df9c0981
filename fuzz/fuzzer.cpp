// One libFuzzer program per entry point; VEK_FUZZ_ENTRY names the entry.
#include "entries.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    return vek::fuzz::VEK_FUZZ_ENTRY(data, size);
}
