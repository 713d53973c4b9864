// Lodestor.cpp - the three record calls, as thin wrappers over
// CRasteBaseArea.  They turn every failure, an exhausted heap included, into
// the status 0, since their callers expect a status and nothing else.
#include "Lodestor.h"

#include "RasteBaseArea.h"

#include <exception>

namespace {

template <typename Call>
short Guarded(CRasteBaseArea* area, Call call) {
    if (area == nullptr) return 0;
    try {
        return call(*area) ? 1 : 0;
    } catch (const std::exception&) {
        return 0;
    }
}

}  // namespace

short GetGcpRecordSize(CRasteBaseArea* area, long key, std::uint32_t* size) {
    if (size == nullptr) return 0;
    return Guarded(area, [&](CRasteBaseArea& a) { return a.RecordSize(key, *size); });
}

short ReadGcpRecord(CRasteBaseArea* area, long key, void* buffer, std::uint32_t length) {
    return Guarded(area, [&](CRasteBaseArea& a) { return a.ReadRecord(key, buffer, length); });
}

short WriteGcpRecord(CRasteBaseArea* area, long key, const void* data, std::uint32_t length) {
    return Guarded(area, [&](CRasteBaseArea& a) { return a.WriteRecord(key, data, length); });
}
