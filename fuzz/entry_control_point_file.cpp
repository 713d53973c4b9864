// libFuzzer entry point of the control-point file harness.
#include "Harnesses.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return morvane::fuzz::FuzzControlPointFile(data, size);
}
