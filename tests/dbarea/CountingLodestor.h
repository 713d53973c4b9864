// CountingLodestor.h - counts the Lodestor calls the area makes.
//
// CountingLodestor.cpp defines the functions of Lodestor.h in the test
// program itself.  The dynamic linker binds the area library's calls to the
// program's definitions first (on Windows the program defines the import
// pointers the area calls through), so every call lands there, is counted, and
// goes on to the real raster area (and real SQLite).  A test may make the
// next calls of one kind fail, to reach failures that a real database cannot
// produce on demand.  State queries count as size queries, versioned reads
// as reads, the opening of a piecewise record read as a size query and each
// piece as a read, and conditional writes as writes.
#ifndef MORVANE_TESTS_DBAREA_COUNTINGLODESTOR_H
#define MORVANE_TESTS_DBAREA_COUNTINGLODESTOR_H

#include <cstdint>
#include <functional>
#include <vector>

namespace dbarea_test {

struct LodestorCalls {
    int sizeQueries = 0;
    int reads = 0;
    int writes = 0;
    std::vector<long> keys;                   // key of every call, in order
    std::vector<std::uint32_t> writeLengths;  // length of every write
    int failReads = 0;                        // this many next reads report failure
    int unconditionalWrites = 0;              // writes through WriteGcpRecord
    std::vector<std::uint64_t> expectedVersions;  // of every conditional write
    std::function<void()> beforeRead;         // runs once, at the next read

    int total() const { return sizeQueries + reads + writes; }
};

// The calls since the last Reset().
LodestorCalls& Calls();
void ResetCalls();

}  // namespace dbarea_test

#endif
