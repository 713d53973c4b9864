// Lodestor.cpp - the record calls, as thin wrappers over
// CRasteBaseArea.  They turn every failure, an exhausted heap included, into
// the status 0, since their callers expect a status and nothing else.
#include "Lodestor.h"

#include "LocationMask.h"
#include "RasteBaseArea.h"
#if MORVANE_WITH_POSTGRES
#include "PostgresRecordStore.h"
#endif

#include <algorithm>
#include <cstring>
#include <exception>
#include <string>

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

short OpenGcpRecordReader(CRasteBaseArea* area, long key, std::uint32_t* size, std::uint64_t* version) {
    if (size == nullptr || version == nullptr) return 0;
    return Guarded(area, [&](CRasteBaseArea& a) { return a.OpenRecordReader(key, *size, *version); });
}

short ReadGcpRecordPiece(CRasteBaseArea* area, void* buffer, std::uint32_t capacity, std::uint32_t* count) {
    if (count == nullptr) return 0;
    return Guarded(area, [&](CRasteBaseArea& a) { return a.ReadRecordPiece(buffer, capacity, *count); });
}

void CloseGcpRecordReader(CRasteBaseArea* area) {
    if (area != nullptr) area->CloseRecordReader();
}

short GetGcpRecordState(CRasteBaseArea* area, long key, std::uint32_t* size, std::uint64_t* version) {
    if (size == nullptr || version == nullptr) return 0;
    return Guarded(area, [&](CRasteBaseArea& a) { return a.RecordState(key, *size, *version); });
}

short ReadGcpRecordVersion(CRasteBaseArea* area, long key, void* buffer, std::uint32_t length,
                           std::uint64_t* version) {
    if (version == nullptr) return 0;
    return Guarded(area, [&](CRasteBaseArea& a) { return a.ReadRecordVersion(key, buffer, length, *version); });
}

short WriteGcpRecordIf(CRasteBaseArea* area, long key, const void* data, std::uint32_t length,
                       std::uint64_t expected, std::uint64_t* newVersion, bool* conflict) {
    if (conflict != nullptr) *conflict = false;
    if (newVersion == nullptr || conflict == nullptr) return 0;
    return Guarded(area, [&](CRasteBaseArea& a) {
        return a.WriteRecordIf(key, data, length, expected, *newVersion, *conflict);
    });
}

const char* GetGcpLastError(CRasteBaseArea* area) { return area == nullptr ? "" : area->LastError(); }

namespace {

std::string ShownLocation(const std::string& location) {
#if MORVANE_WITH_POSTGRES
    return lodestor::MaskPassword(location);
#else
    // No libpq to ask: where the text alone cannot be sure of the user part
    // (a '?' before its '@') or of a parameter's name (percent-encoded),
    // none of the URI is shown.
    const std::string masked = lodestor::MaskPasswordAsWritten(location);
    const std::size_t question = location.find('?');
    if (masked == location && location.find("://") == std::string::npos) return location;  // not a URI
    if (question != std::string::npos && location.find_first_of("@%", question) != std::string::npos) {
        return location.substr(0, location.find("://") + 3) + "***";
    }
    return masked;
#endif
}

}  // namespace

std::uint32_t ShowGcpLocation(const char* location, char* out, std::uint32_t capacity) {
    std::string shown;
    try {
        shown = location == nullptr ? std::string() : ShownLocation(location);
    } catch (const std::exception&) {
        shown = "***";  // out of memory: show nothing that might be a password
    }
    if (capacity > 0 && out != nullptr) {
        const std::size_t n = std::min<std::size_t>(shown.size(), capacity - 1);
        std::memcpy(out, shown.data(), n);
        out[n] = '\0';
    }
    return static_cast<std::uint32_t>(std::min<std::size_t>(shown.size(), UINT32_MAX));
}
