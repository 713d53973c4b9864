// RasteBaseArea.cpp - a raster area: an open record store and an area id.
#include "RasteBaseArea.h"

#if MORVANE_WITH_POSTGRES
#include "PostgresRecordStore.h"
#endif
#include "SqliteRecordStore.h"

#include <algorithm>
#include <cstdio>
#include <new>

namespace {

// How many area names a refusal lists; a database may hold thousands.
constexpr std::size_t kAreasNamed = 20;

// A name in double quotes, with quotes, backslashes and control bytes
// escaped: names are any text, and the reason must stay one line.
std::string Quoted(const std::string& name) {
    std::string out = "\"";
    for (const char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (byte < 0x20 || byte == 0x7f) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

std::string MissingAreaReason(const std::string& name, const std::string& location,
                              const std::vector<std::string>& names) {
    std::string reason = "no raster area " + Quoted(name) + " in '" + location + "'";
    if (names.empty()) return reason + ", which holds no areas";
    reason += "; areas: ";
    const std::size_t shown = std::min(names.size(), kAreasNamed);
    for (std::size_t i = 0; i < shown; ++i) {
        if (i > 0) reason += ", ";
        reason += Quoted(names[i]);
    }
    if (names.size() > shown) reason += " and " + std::to_string(names.size() - shown) + " more";
    return reason;
}

// The area's id, or a refusal naming the areas there are instead.
lodestor::Status FindExistingArea(lodestor::RecordStore& store, const std::string& name,
                                  lodestor::AreaId* id) {
    bool found = false;
    lodestor::Status status = store.FindArea(name, id, &found);
    if (!status.ok() || found) return status;
    std::vector<std::string> names;
    status = store.AreaNames(&names);
    if (!status.ok()) return status;
    return lodestor::Status::IOError(MissingAreaReason(name, store.Location(), names));
}

// The backend follows from the location: a postgresql:// or postgres:// URI
// is a PostgreSQL database, anything else the path of a SQLite file.
lodestor::Status OpenStore(const std::string& location, bool create,
                           std::unique_ptr<lodestor::RecordStore>* store) {
    lodestor::Status status;
#if MORVANE_WITH_POSTGRES
    if (lodestor::IsPostgresLocation(location)) {
        std::unique_ptr<lodestor::PostgresRecordStore> postgres;
        status = lodestor::PostgresRecordStore::Open(location, create, &postgres);
        *store = std::move(postgres);
    } else {
#else
    // Without libpq (the Windows build) such an address is refused rather
    // than taken for the name of a SQLite file.
    if (location.starts_with("postgresql://") || location.starts_with("postgres://")) {
        // The address is not repeated: it may carry a password.
        status = lodestor::Status::IOError(
            "cannot open a PostgreSQL database: this build has no PostgreSQL support");
    } else {
#endif
        std::unique_ptr<lodestor::SqliteRecordStore> sqlite;
        status = lodestor::SqliteRecordStore::Open(location, create, &sqlite);
        *store = std::move(sqlite);
    }
    return status;
}

}  // namespace

CRasteBaseArea::CRasteBaseArea() = default;
CRasteBaseArea::~CRasteBaseArea() = default;

bool CRasteBaseArea::Open(const char* databasePath, const char* areaName) {
    return Open(databasePath, areaName, CreateIfMissing);
}

bool CRasteBaseArea::Open(const char* databasePath, const char* areaName, OpenMode mode) {
    Close();
    if (databasePath == nullptr || *databasePath == '\0') {
        lastError_ = "no database path given";
        return false;
    }
    if (areaName == nullptr || *areaName == '\0') {
        lastError_ = "no raster area name given";
        return false;
    }
    const bool create = mode == CreateIfMissing;
    std::unique_ptr<lodestor::RecordStore> store;
    lodestor::Status status = OpenStore(databasePath, create, &store);
    if (!status.ok()) return Report(status);
    lodestor::AreaId id = 0;
    status = create ? store->OpenArea(areaName, &id) : FindExistingArea(*store, areaName, &id);
    if (!status.ok()) return Report(status);
    store_ = std::move(store);
    areaId_ = id;
    databasePath_ = databasePath;
    areaName_ = areaName;
    lastError_.clear();
    return true;
}

void CRasteBaseArea::Close() {
    reader_.reset();
    store_.reset();
    areaId_ = 0;
    databasePath_.clear();
    areaName_.clear();
    lastError_.clear();
}

bool CRasteBaseArea::IsOpen() const { return store_ != nullptr; }
const char* CRasteBaseArea::LastError() const { return lastError_.c_str(); }
const char* CRasteBaseArea::DatabasePath() const { return databasePath_.c_str(); }
const char* CRasteBaseArea::AreaName() const { return areaName_.c_str(); }

bool CRasteBaseArea::Report(const lodestor::Status& status) {
    lastError_ = status.message();
    return status.ok();
}

bool CRasteBaseArea::CheckOpen(const char* action) {
    if (!store_) {
        lastError_ = std::string(action) + " refused: the raster area is not open";
        return false;
    }
    if (reader_) {
        lastError_ = std::string(action) + " refused: a record read is still open (CloseRecordReader)";
        return false;
    }
    return true;
}

bool CRasteBaseArea::CheckUsable(long key, const char* action) {
    if (!CheckOpen(action)) return false;
    if (key == 0) {
        lastError_ = std::string(action) + " refused: record key 0 names no record";
        return false;
    }
    return true;
}

bool CRasteBaseArea::RecordSize(long key, std::uint32_t& size) {
    if (!CheckUsable(key, "asking a record's size")) return false;
    return Report(store_->RecordSize(areaId_, key, &size));
}

bool CRasteBaseArea::ReadRecord(long key, void* buffer, std::uint32_t length) {
    if (!CheckUsable(key, "reading a record")) return false;
    return Report(store_->ReadRecord(areaId_, key, buffer, length));
}

bool CRasteBaseArea::WriteRecord(long key, const void* data, std::uint32_t length) {
    if (!CheckUsable(key, "writing a record")) return false;
    return Report(store_->WriteRecord(areaId_, key, data, length));
}

bool CRasteBaseArea::RecordState(long key, std::uint32_t& size, std::uint64_t& version) {
    if (!CheckUsable(key, "asking a record's state")) return false;
    return Report(store_->RecordState(areaId_, key, &size, &version));
}

bool CRasteBaseArea::ReadRecordVersion(long key, void* buffer, std::uint32_t length,
                                       std::uint64_t& version) {
    if (!CheckUsable(key, "reading a record")) return false;
    return Report(store_->ReadRecordVersion(areaId_, key, buffer, length, &version));
}

bool CRasteBaseArea::WriteRecordIf(long key, const void* data, std::uint32_t length,
                                   std::uint64_t expected, std::uint64_t& newVersion,
                                   bool& conflict) {
    conflict = false;
    if (!CheckUsable(key, "writing a record")) return false;
    const lodestor::Status status = store_->WriteRecordIf(areaId_, key, data, length, expected, &newVersion);
    conflict = status.IsConflict();
    return Report(status);
}

bool CRasteBaseArea::DeleteRecord(long key) {
    if (!CheckUsable(key, "deleting a record")) return false;
    return Report(store_->DeleteRecord(areaId_, key));
}

bool CRasteBaseArea::OpenRecordReader(long key, std::uint32_t& size, std::uint64_t& version) {
    reader_.reset();
    if (!CheckUsable(key, "reading a record")) return false;
    std::unique_ptr<lodestor::RecordReader> reader;
    if (!Report(store_->OpenRecordReader(areaId_, key, &size, &version, &reader))) return false;
    reader_ = std::move(reader);
    return true;
}

bool CRasteBaseArea::ReadRecordPiece(void* buffer, std::uint32_t capacity, std::uint32_t& count) {
    count = 0;
    if (!reader_) {
        lastError_ = "reading a record piece refused: no record read is open";
        return false;
    }
    if (buffer == nullptr && capacity > 0) {
        lastError_ = "reading a record piece refused: no buffer given";
        return false;
    }
    return Report(reader_->Read(buffer, capacity, &count));
}

void CRasteBaseArea::CloseRecordReader() { reader_.reset(); }

bool CRasteBaseArea::RecordKeys(std::vector<long>& keys) {
    if (!CheckOpen("listing records")) return false;
    std::vector<std::int64_t> stored;
    if (!Report(store_->ListKeys(areaId_, &stored))) return false;
    keys.assign(stored.begin(), stored.end());
    return true;
}

bool CRasteBaseArea::AreaNames(std::vector<std::string>& names) {
    if (!CheckOpen("listing raster areas")) return false;
    return Report(store_->AreaNames(&names));
}

bool CRasteBaseArea::LimitDatabaseSize(std::uint64_t maxBytes) {
    if (!CheckOpen("limiting the database size")) return false;
    return Report(store_->LimitSize(maxBytes));
}
