// VrtFormat.h - the <GCPList> of a GDAL virtual raster (.vrt).
//
// Each <GCP> element carries Id, Info, Pixel, Line, X, Y and optionally Z.
// Pixel and Line use the table's own convention (origin at the top-left
// corner of the top-left pixel, line down), so nothing is converted.  Id
// becomes the point's name (and, when it is a whole number, its numeric id);
// Info is kept as the name only when Id is empty.  Writing puts the name in
// Id, or for a point without a name its position in the list (1, 2, ...),
// so that every GCP has an id to be told by.  Reading takes an Id that is
// exactly its GCP's position as no name (the numeric id is that position),
// so a point without a name comes back without one.
// Numbers are written with full round-trip precision.
//
// Writing into an existing VRT replaces its <GCPList> and keeps the rest of
// the document; otherwise a minimal <VRTDataset> holding only the list is
// written.
#ifndef MORVANE_EXCHANGE_VRTFORMAT_H
#define MORVANE_EXCHANGE_VRTFORMAT_H

#include "GcpTable.h"

#include <string>
#include <string_view>

namespace morvane::tool {

GcpTable ReadVrtGcps(std::string_view text);

// columns, rows: the raster size for a new document (0 = taken from the
// points).  existing: the current file's text, or empty.
std::string WriteVrtGcps(const GcpTable& table, long columns, long rows, std::string_view existing = {});

std::string XmlEscape(std::string_view text);

}  // namespace morvane::tool

#endif
