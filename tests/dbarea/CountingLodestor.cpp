// CountingLodestor.cpp - the program's own definitions of the Lodestor calls,
// counting each one and forwarding it to the real raster area.
#include "CountingLodestor.h"

#include "RasteBaseArea.h"

namespace dbarea_test {

LodestorCalls& Calls() {
    static LodestorCalls calls;
    return calls;
}

void ResetCalls() { Calls() = LodestorCalls(); }

}  // namespace dbarea_test

using dbarea_test::Calls;

short GetGcpRecordSize(CRasteBaseArea* area, long key, std::uint32_t* size) {
    ++Calls().sizeQueries;
    Calls().keys.push_back(key);
    if (area == nullptr || size == nullptr) return 0;
    return area->RecordSize(key, *size) ? 1 : 0;
}

short ReadGcpRecord(CRasteBaseArea* area, long key, void* buffer, std::uint32_t length) {
    ++Calls().reads;
    Calls().keys.push_back(key);
    if (Calls().failReads > 0) {
        --Calls().failReads;
        return 0;
    }
    if (area == nullptr) return 0;
    return area->ReadRecord(key, buffer, length) ? 1 : 0;
}

short WriteGcpRecord(CRasteBaseArea* area, long key, const void* data, std::uint32_t length) {
    ++Calls().writes;
    Calls().keys.push_back(key);
    Calls().writeLengths.push_back(length);
    if (area == nullptr) return 0;
    return area->WriteRecord(key, data, length) ? 1 : 0;
}
