// Harnesses.h - the fuzzing harnesses, callable both from libFuzzer entry
// points and from the corpus replay that runs in every test build.
//
// Each returns 0 and aborts the process when a property fails, so that both
// libFuzzer and ctest report the input.
#ifndef MORVANE_FUZZ_HARNESSES_H
#define MORVANE_FUZZ_HARNESSES_H

#include <cstddef>
#include <cstdint>

namespace morvane::fuzz {

// Reads the bytes as a group stream; a stream read completely must write back
// to exactly GroupStreamLength bytes that read again and write again to the
// same bytes.
int FuzzGroupStream(const std::uint8_t* data, std::size_t size);

// Opens the bytes as a control-point file through an in-memory Env, edits and
// closes the area.  A refused open must leave the file untouched; an accepted
// one must save a file that opens again with the edit in it.
int FuzzControlPointFile(const std::uint8_t* data, std::size_t size);

}  // namespace morvane::fuzz

#endif
