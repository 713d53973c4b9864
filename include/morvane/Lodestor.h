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

#endif
