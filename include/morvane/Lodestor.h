// Lodestor.h - the three calls the system makes into the raster database.
//
// A control-point record is a block of bytes named by a raster area and a
// non-zero record key.  Each call returns a 16-bit status: non-zero for
// success, 0 for failure.  CRasteBaseArea is opaque here: the system only
// passes the caller's handle through.
#ifndef MORVANE_LODESTOR_H
#define MORVANE_LODESTOR_H

#include "Export.h"

#include <cstdint>

class CRasteBaseArea;

// Writes the length of the key's record to *size (0 for a key that holds no
// record yet).
LODESTOR_API short GetGcpRecordSize(CRasteBaseArea* area, long key, std::uint32_t* size);

// Reads the key's record into buffer, whose length must equal the record's
// length; never writes more than length bytes.
LODESTOR_API short ReadGcpRecord(CRasteBaseArea* area, long key, void* buffer, std::uint32_t length);

// Replaces the key's record with the given bytes, atomically.
LODESTOR_API short WriteGcpRecord(CRasteBaseArea* area, long key, const void* data, std::uint32_t length);

// ---- additions of ours: record versions ------------------------------------
//
// Every write gives the record a new version, a number never used before in
// the same database (so a record deleted and written again does not repeat
// an old version).  Version 0 means "no record".  A writer that must not
// overwrite what another writer saved since it read the record remembers
// the version it read and writes with WriteGcpRecordIf.  Same results as
// above: non-zero for success, 0 for failure.

// Writes the length and the version of the key's record, read together, to
// *size and *version (0 and 0 for a key that holds no record).
LODESTOR_API short GetGcpRecordState(CRasteBaseArea* area, long key, std::uint32_t* size,
                                     std::uint64_t* version);

// ReadGcpRecord that also writes the version of the bytes read (the bytes
// and the version come from one snapshot) to *version.
LODESTOR_API short ReadGcpRecordVersion(CRasteBaseArea* area, long key, void* buffer,
                                        std::uint32_t length, std::uint64_t* version);

// Replaces the key's record with the given bytes only if its version is
// still `expected` (0: only if the key holds no record), checking and
// writing in one transaction.  On success *newVersion is the record's new
// version.  On failure *conflict says whether the reason was a version
// that differs from `expected` (another writer saved meanwhile); the record
// is unchanged either way.
LODESTOR_API short WriteGcpRecordIf(CRasteBaseArea* area, long key, const void* data,
                                    std::uint32_t length, std::uint64_t expected,
                                    std::uint64_t* newVersion, bool* conflict);

// Reading a record piece by piece, without a buffer of its whole size (a
// server database streams it).  OpenGcpRecordReader writes the record's
// length and version to *size and *version (0 and 0 for a key without a
// record) and starts the read; size, version and bytes are of one
// snapshot.  ReadGcpRecordPiece copies the next bytes, at most `capacity`,
// into buffer and writes how many to *count (0 only once all are read).
// CloseGcpRecordReader ends the read, also before its end.  While a read
// is open, every other call on the area fails.  Same results as above.
LODESTOR_API short OpenGcpRecordReader(CRasteBaseArea* area, long key, std::uint32_t* size,
                                       std::uint64_t* version);
LODESTOR_API short ReadGcpRecordPiece(CRasteBaseArea* area, void* buffer, std::uint32_t capacity,
                                      std::uint32_t* count);
LODESTOR_API void CloseGcpRecordReader(CRasteBaseArea* area);

// Why the last call on area failed, as one sentence; "" after a success
// and for a null area.  Valid until the next call on area.
LODESTOR_API const char* GetGcpLastError(CRasteBaseArea* area);

// A database location as it may be shown to a person: a PostgreSQL URI with
// every password libpq would read from it as *** (in the user part, as a
// parameter, however written or percent-encoded), any other location as it
// is.  Writes at most capacity bytes into out, the terminating zero
// included (out may be null when capacity is 0), and returns the length of
// the whole text without the zero: a result of capacity or more means the
// text was cut, and a buffer of result + 1 bytes holds it.
LODESTOR_API std::uint32_t ShowGcpLocation(const char* location, char* out, std::uint32_t capacity);

#endif
