// fuzz_replay - runs a harness over every file of a corpus directory, so that
// the seed corpus (and every crash once added to it) is checked by ctest in
// builds without libFuzzer.
//
//   fuzz_replay group_stream|control_point_file <corpus directory>
#include "Harnesses.h"

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s group_stream|control_point_file <corpus dir>\n", argv[0]);
        return 2;
    }
    int (*harness)(const std::uint8_t*, std::size_t) = nullptr;
    if (std::strcmp(argv[1], "group_stream") == 0) harness = morvane::fuzz::FuzzGroupStream;
    if (std::strcmp(argv[1], "control_point_file") == 0) harness = morvane::fuzz::FuzzControlPointFile;
    if (harness == nullptr) {
        std::fprintf(stderr, "unknown harness %s\n", argv[1]);
        return 2;
    }
    int inputs = 0;
    for (const auto& entry : std::filesystem::directory_iterator(argv[2])) {
        if (!entry.is_regular_file()) continue;
        std::ifstream in(entry.path(), std::ios::binary);
        const std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                              std::istreambuf_iterator<char>());
        harness(bytes.data(), bytes.size());
        ++inputs;
    }
    std::printf("%d inputs replayed through %s\n", inputs, argv[1]);
    return inputs > 0 ? 0 : 1;
}
