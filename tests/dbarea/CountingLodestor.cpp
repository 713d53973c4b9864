// CountingLodestor.cpp - the program's own definitions of the Lodestor calls,
// counting each one and forwarding it to the real raster area.
#include "CountingLodestor.h"

#include "RasteBaseArea.h"

#include <utility>

namespace dbarea_test {

LodestorCalls& Calls() {
    static LodestorCalls calls;
    return calls;
}

void ResetCalls() { Calls() = LodestorCalls(); }

}  // namespace dbarea_test

using dbarea_test::Calls;

#ifdef _WIN32
// Lodestor.h declares the calls dllimport; the definitions below are the
// program's own.
#pragma GCC diagnostic ignored "-Wattributes"
#endif

namespace {

// Counts a size or state query of key.
void CountSizeQuery(long key) {
    ++Calls().sizeQueries;
    Calls().keys.push_back(key);
}

// The hook the test set, once: another writer just before the read.
void RunHookBeforeRead() {
    if (Calls().beforeRead) {
        auto hook = std::move(Calls().beforeRead);
        Calls().beforeRead = nullptr;
        hook();
    }
}

// Counts a read of key; true when the test asked this read to fail.  The
// hook runs first, as another writer between the area's size query and
// its read.
bool CountReadThatFails(long key) {
    ++Calls().reads;
    Calls().keys.push_back(key);
    RunHookBeforeRead();
    if (Calls().failReads > 0) {
        --Calls().failReads;
        return true;
    }
    return false;
}

void CountWrite(long key, std::uint32_t length) {
    ++Calls().writes;
    Calls().keys.push_back(key);
    Calls().writeLengths.push_back(length);
}

}  // namespace

short GetGcpRecordSize(CRasteBaseArea* area, long key, std::uint32_t* size) {
    CountSizeQuery(key);
    if (area == nullptr || size == nullptr) return 0;
    return area->RecordSize(key, *size) ? 1 : 0;
}

short ReadGcpRecord(CRasteBaseArea* area, long key, void* buffer, std::uint32_t length) {
    if (CountReadThatFails(key) || area == nullptr) return 0;
    return area->ReadRecord(key, buffer, length) ? 1 : 0;
}

short WriteGcpRecord(CRasteBaseArea* area, long key, const void* data, std::uint32_t length) {
    CountWrite(key, length);
    ++Calls().unconditionalWrites;
    if (area == nullptr) return 0;
    return area->WriteRecord(key, data, length) ? 1 : 0;
}

// Opening a record read counts as a size query (the hook runs first, as
// another writer just before the read), each piece as a read.
long openReadKey = 0;

short OpenGcpRecordReader(CRasteBaseArea* area, long key, std::uint32_t* size, std::uint64_t* version) {
    CountSizeQuery(key);
    RunHookBeforeRead();
    openReadKey = key;
    if (area == nullptr || size == nullptr || version == nullptr) return 0;
    return area->OpenRecordReader(key, *size, *version) ? 1 : 0;
}

short ReadGcpRecordPiece(CRasteBaseArea* area, void* buffer, std::uint32_t capacity, std::uint32_t* count) {
    if (CountReadThatFails(openReadKey) || area == nullptr || count == nullptr) return 0;
    return area->ReadRecordPiece(buffer, capacity, *count) ? 1 : 0;
}

void CloseGcpRecordReader(CRasteBaseArea* area) {
    if (area != nullptr) area->CloseRecordReader();
}

short GetGcpRecordState(CRasteBaseArea* area, long key, std::uint32_t* size, std::uint64_t* version) {
    CountSizeQuery(key);
    if (area == nullptr || size == nullptr || version == nullptr) return 0;
    return area->RecordState(key, *size, *version) ? 1 : 0;
}

short ReadGcpRecordVersion(CRasteBaseArea* area, long key, void* buffer, std::uint32_t length,
                           std::uint64_t* version) {
    if (CountReadThatFails(key) || area == nullptr || version == nullptr) return 0;
    return area->ReadRecordVersion(key, buffer, length, *version) ? 1 : 0;
}

short WriteGcpRecordIf(CRasteBaseArea* area, long key, const void* data, std::uint32_t length,
                       std::uint64_t expected, std::uint64_t* newVersion, bool* conflict) {
    CountWrite(key, length);
    Calls().expectedVersions.push_back(expected);
    if (conflict != nullptr) *conflict = false;
    if (area == nullptr || newVersion == nullptr || conflict == nullptr) return 0;
    return area->WriteRecordIf(key, data, length, expected, *newVersion, *conflict) ? 1 : 0;
}

const char* GetGcpLastError(CRasteBaseArea* area) { return area == nullptr ? "" : area->LastError(); }

#ifdef _WIN32
// Windows has no interposition: a caller of a DLL calls through the import
// pointer __imp_NAME, which lodestor's import library binds to lodestor.dll.
// The program defines those pointers itself, aimed at the definitions above;
// the linker takes them before it reaches the import library, so the area
// library's calls (and the tests' own) land here as on Linux.  The names are
// g++'s manglings of the declarations in Lodestor.h (x86-64: no underscore
// prefix); a changed declaration fails the link with an undefined __imp_.
#define DBAREA_TEST_IMPORT(function, mangled) \
    extern "C" const void* const dbarea_test_import_##function __asm__("__imp_" mangled) = \
        reinterpret_cast<const void*>(&function)
DBAREA_TEST_IMPORT(GetGcpRecordSize, "_Z16GetGcpRecordSizeP14CRasteBaseArealPj");
DBAREA_TEST_IMPORT(ReadGcpRecord, "_Z13ReadGcpRecordP14CRasteBaseArealPvj");
DBAREA_TEST_IMPORT(WriteGcpRecord, "_Z14WriteGcpRecordP14CRasteBaseArealPKvj");
DBAREA_TEST_IMPORT(OpenGcpRecordReader, "_Z19OpenGcpRecordReaderP14CRasteBaseArealPjPy");
DBAREA_TEST_IMPORT(ReadGcpRecordPiece, "_Z18ReadGcpRecordPieceP14CRasteBaseAreaPvjPj");
DBAREA_TEST_IMPORT(CloseGcpRecordReader, "_Z20CloseGcpRecordReaderP14CRasteBaseArea");
DBAREA_TEST_IMPORT(GetGcpRecordState, "_Z17GetGcpRecordStateP14CRasteBaseArealPjPy");
DBAREA_TEST_IMPORT(ReadGcpRecordVersion, "_Z20ReadGcpRecordVersionP14CRasteBaseArealPvjPy");
DBAREA_TEST_IMPORT(WriteGcpRecordIf, "_Z16WriteGcpRecordIfP14CRasteBaseArealPKvjyPyPb");
DBAREA_TEST_IMPORT(GetGcpLastError, "_Z15GetGcpLastErrorP14CRasteBaseArea");
#undef DBAREA_TEST_IMPORT
#endif
