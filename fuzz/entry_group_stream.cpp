// libFuzzer entry point of the group stream harness.
#include "Harnesses.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return morvane::fuzz::FuzzGroupStream(data, size);
}
