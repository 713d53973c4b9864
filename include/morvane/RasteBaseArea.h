// RasteBaseArea.h - one raster area of a Lodestor raster database.
//
// A raster database keeps, for each named raster area, byte records under
// non-zero record keys; the control-point record of an area is one of them.
// A CRasteBaseArea is a connection to one area of one database: open it on a
// database (for SQLite, the path of the database file; for PostgreSQL, a
// postgresql:// or postgres:// URI, see docs/lodestor.md) and an area name,
// hand it to the record calls of Lodestor.h, and close it.  Opening either
// creates what is missing (the file with its schema, the area) or, for
// readers, insists that both exist and writes nothing.
//
// Every call reports success as true (or non-zero for the calls of
// Lodestor.h); after a failure LastError() says why in a sentence, and after
// a success it is "".  Records are at most 1,000,000,000 bytes (SQLite's
// limit, kept for PostgreSQL too).
//
// An object is used by one thread at a time.  Several objects, in one process
// or in several, may use the same database at once: readers see every record
// either as it was before a write or as it is after it, and concurrent
// writers wait for each other (the later write wins).  A writer that must
// not overwrite a save made after its read uses the versioned calls: every
// write gives the record a new version, and WriteRecordIf writes only over
// the version its caller read.
#ifndef MORVANE_RASTEBASEAREA_H
#define MORVANE_RASTEBASEAREA_H

#include "Lodestor.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace lodestor { class RecordReader; class RecordStore; }
namespace morvane { class Status; }

class LODESTOR_API CRasteBaseArea {
public:
    CRasteBaseArea();
    ~CRasteBaseArea();
    CRasteBaseArea(const CRasteBaseArea&) = delete;
    CRasteBaseArea& operator=(const CRasteBaseArea&) = delete;

    // What Open may do when the database or the area does not exist yet.
    enum OpenMode {
        // Both must exist: the file, holding a raster database schema, and
        // the area in it.  Opening writes nothing to the file (a database
        // not yet in write-ahead-log mode is switched by its first write);
        // a missing area is refused with a reason that names, in byte
        // order, the areas the database does hold (20 at most, then how
        // many more).
        OpenExisting,
        // A missing or empty file gets the schema, and a missing area is
        // added (empty).  Fails when the file cannot be written.
        CreateIfMissing,
    };

    // Opens the raster area `areaName` (non-empty text) of the SQLite
    // database at `databasePath` (a file path), as `mode` allows.  An area
    // that is open is closed first.  Returns false on failure, with the
    // object closed and LastError() saying why.
    // A `databasePath` starting with postgresql:// or postgres:// is a
    // PostgreSQL database instead (libpq's URI, plus lodestor_schema and
    // lodestor_statement_timeout); "the file" below is then its schema,
    // and a server that is down or refuses the login is refused here with
    // libpq's reason (the URI's password shown as ***).
    bool Open(const char* databasePath, const char* areaName, OpenMode mode);
    // Open(databasePath, areaName, CreateIfMissing).
    bool Open(const char* databasePath, const char* areaName);
    void Close();
    bool IsOpen() const;
    const char* LastError() const;   // "" when the last call succeeded

    const char* DatabasePath() const;  // "" when closed
    const char* AreaName() const;      // "" when closed

    // The record calls; Lodestor.h's functions are these.  Key 0 names no
    // record and is refused.
    bool RecordSize(long key, std::uint32_t& size);
    bool ReadRecord(long key, void* buffer, std::uint32_t length);
    bool WriteRecord(long key, const void* data, std::uint32_t length);
    // Versioned record calls (Lodestor.h explains versions).  RecordState
    // gives size and version together, ReadRecordVersion the bytes and
    // their version; WriteRecordIf writes only while the record is at
    // `expected` and sets `conflict` when it is not.
    bool RecordState(long key, std::uint32_t& size, std::uint64_t& version);
    bool ReadRecordVersion(long key, void* buffer, std::uint32_t length, std::uint64_t& version);
    bool WriteRecordIf(long key, const void* data, std::uint32_t length, std::uint64_t expected,
                       std::uint64_t& newVersion, bool& conflict);
    // Reading a record piece by piece, without a buffer of its size.
    // OpenRecordReader gives the record's size and version (0 and 0 for a
    // key without one) and starts the read: size, version and bytes are of
    // one snapshot.  ReadRecordPiece copies the next bytes, at most
    // `capacity`, into buffer and sets `count` to how many (0 only once
    // all are read); it refuses a record found damaged on the way.
    // CloseRecordReader ends the read, also before its end.  While a read
    // is open the object takes no other call (they are refused), and
    // opening a second one ends the first.
    bool OpenRecordReader(long key, std::uint32_t& size, std::uint64_t& version);
    bool ReadRecordPiece(void* buffer, std::uint32_t capacity, std::uint32_t& count);
    void CloseRecordReader();
    // Removes the key's record (a missing one counts as removed).
    bool DeleteRecord(long key);
    // The keys of this area that hold a record, in increasing order.
    bool RecordKeys(std::vector<long>& keys);
    // The names of every raster area of the open database, in byte order.
    bool AreaNames(std::vector<std::string>& names);
    // Caps the database file at about maxBytes (whole pages); writes that
    // would need more are refused and change nothing.  For this connection.
    // On PostgreSQL a byte budget: refused is a write after which the
    // records of the schema would hold more than maxBytes bytes, and more
    // than before.
    bool LimitDatabaseSize(std::uint64_t maxBytes);

private:
    bool Report(const morvane::Status& status);
    bool CheckUsable(long key, const char* action);
    bool CheckOpen(const char* action);

    std::unique_ptr<lodestor::RecordStore> store_;
    std::unique_ptr<lodestor::RecordReader> reader_;
    std::int64_t areaId_ = 0;
    std::string databasePath_;
    std::string areaName_;
    std::string lastError_;
};

#endif
