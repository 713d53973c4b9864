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
