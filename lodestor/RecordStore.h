// RecordStore.h - the storage behind a raster database: byte records named by
// a raster area and a record key.
//
// A RecordStore is one connection to one database.  Areas are named by text
// and known inside the store by an AreaId; a record is a block of bytes
// (possibly empty) under a non-zero 64-bit key of an area.  A key that holds
// no record reads as length 0.  Writing a record replaces it as a whole and
// atomically: a concurrent reader sees the old bytes or the new ones, and a
// crash or power cut leaves one of the two.
//
// A store is used by one thread at a time.  Every operation reports its
// outcome as a Status whose reason says what went wrong.
//
// SQLite (SqliteRecordStore.h) and PostgreSQL (PostgresRecordStore.h)
// implement it; CRasteBaseArea picks one from the location it is given.
#ifndef MORVANE_LODESTOR_RECORDSTORE_H
#define MORVANE_LODESTOR_RECORDSTORE_H

#include "Status.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace lodestor {

// The libraries' one Status (base/Status.h).
using Status = morvane::Status;

using AreaId = std::int64_t;

// The bytes of one record, handed out piece by piece in order.
class RecordReader {
public:
    virtual ~RecordReader() = default;
    // Copies the next bytes of the record, at most `capacity`, into buffer;
    // *count is how many, 0 only once the record is all read.
    virtual Status Read(void* buffer, std::uint32_t capacity, std::uint32_t* count) = 0;
};

class RecordStore {
public:
    RecordStore() = default;
    virtual ~RecordStore() = default;
    RecordStore(const RecordStore&) = delete;
    RecordStore& operator=(const RecordStore&) = delete;

    // Finds the area named `name` (non-empty), creating it when missing.
    virtual Status OpenArea(const std::string& name, AreaId* id) = 0;

    // Finds the area named `name` without creating it: *found says whether
    // the store has one, and *id is its id when it has.  Writes nothing.
    virtual Status FindArea(const std::string& name, AreaId* id, bool* found) = 0;

    // The names of every area of the store, in byte order.
    virtual Status AreaNames(std::vector<std::string>* names) = 0;

    // Length in bytes of the record under `key`; 0 when the key holds none.
    virtual Status RecordSize(AreaId area, std::int64_t key, std::uint32_t* size) = 0;

    // Copies the record under `key` into buffer.  Refused, with nothing
    // written, unless the stored record is exactly `length` bytes long.
    virtual Status ReadRecord(AreaId area, std::int64_t key, void* buffer,
                              std::uint32_t length) = 0;

    // Replaces (or creates) the record under `key` with `length` bytes.
    virtual Status WriteRecord(AreaId area, std::int64_t key, const void* data,
                               std::uint32_t length) = 0;

    // ---- versions ---------------------------------------------------------
    // Every write (WriteRecord too) gives the record a new version taken
    // from a counter of the whole database, so a version is never reused,
    // not even by a record deleted and written again.  0 means no record.

    // Size and version of the record under `key`, read in one snapshot;
    // both 0 when the key holds none.
    virtual Status RecordState(AreaId area, std::int64_t key, std::uint32_t* size,
                               std::uint64_t* version) = 0;

    // ReadRecord that also gives the version of the bytes it read, from
    // the same snapshot.
    virtual Status ReadRecordVersion(AreaId area, std::int64_t key, void* buffer,
                                     std::uint32_t length, std::uint64_t* version) = 0;

    // Replaces the record under `key` only if its version is `expected` (0:
    // only if the key holds no record); check and write are one
    // transaction.  A different version fails with Status::Conflict,
    // saying another writer changed the record.  On success *newVersion is
    // the new version.
    virtual Status WriteRecordIf(AreaId area, std::int64_t key, const void* data,
                                 std::uint32_t length, std::uint64_t expected,
                                 std::uint64_t* newVersion) = 0;

    // Removes the record under `key`; removing a missing record succeeds.
    virtual Status DeleteRecord(AreaId area, std::int64_t key) = 0;

    // The keys of the area that hold a record, in increasing order.
    virtual Status ListKeys(AreaId area, std::vector<std::int64_t>* keys) = 0;

    // Starts reading the record under `key` without a buffer of its size:
    // *size and *version are the record's (both 0 when the key holds none),
    // and *reader hands out its bytes; all three are of one snapshot.  The
    // store takes no other call until the reader is destroyed, which may
    // be before its end.
    virtual Status OpenRecordReader(AreaId area, std::int64_t key, std::uint32_t* size,
                                    std::uint64_t* version, std::unique_ptr<RecordReader>* reader) = 0;

    // Caps the size of the database at about maxBytes; a write that would
    // grow it further is refused and leaves every stored record as it was.
    virtual Status LimitSize(std::uint64_t maxBytes) = 0;

    // Where the store lives, for messages.
    virtual const std::string& Location() const = 0;
};

}  // namespace lodestor

#endif
