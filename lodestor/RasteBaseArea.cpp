// RasteBaseArea.cpp - a raster area: an open record store and an area id.
#include "RasteBaseArea.h"

#include "SqliteRecordStore.h"

#include <new>

CRasteBaseArea::CRasteBaseArea() = default;
CRasteBaseArea::~CRasteBaseArea() = default;

bool CRasteBaseArea::Open(const char* databasePath, const char* areaName) {
    Close();
    if (databasePath == nullptr || *databasePath == '\0') {
        lastError_ = "no database path given";
        return false;
    }
    if (areaName == nullptr || *areaName == '\0') {
        lastError_ = "no raster area name given";
        return false;
    }
    std::unique_ptr<lodestor::SqliteRecordStore> sqlite;
    lodestor::Status status = lodestor::SqliteRecordStore::Open(databasePath, &sqlite);
    if (!status.ok()) return Report(status);
    lodestor::AreaId id = 0;
    status = sqlite->OpenArea(areaName, &id);
    if (!status.ok()) return Report(status);
    store_ = std::move(sqlite);
    areaId_ = id;
    databasePath_ = databasePath;
    areaName_ = areaName;
    lastError_.clear();
    return true;
}

void CRasteBaseArea::Close() {
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
    lastError_ = status.reason();
    return status.ok();
}

bool CRasteBaseArea::CheckUsable(long key, const char* action) {
    if (!store_) {
        lastError_ = std::string(action) + " refused: the raster area is not open";
        return false;
    }
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

bool CRasteBaseArea::DeleteRecord(long key) {
    if (!CheckUsable(key, "deleting a record")) return false;
    return Report(store_->DeleteRecord(areaId_, key));
}

bool CRasteBaseArea::RecordKeys(std::vector<long>& keys) {
    if (!store_) {
        lastError_ = "listing records refused: the raster area is not open";
        return false;
    }
    std::vector<std::int64_t> stored;
    if (!Report(store_->ListKeys(areaId_, &stored))) return false;
    keys.assign(stored.begin(), stored.end());
    return true;
}

bool CRasteBaseArea::LimitDatabaseSize(std::uint64_t maxBytes) {
    if (!store_) {
        lastError_ = "limiting the database size refused: the raster area is not open";
        return false;
    }
    return Report(store_->LimitSize(maxBytes));
}
