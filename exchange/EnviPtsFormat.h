// EnviPtsFormat.h - ENVI ground control point files (.pts).
//
// A few ';' comment lines, the first of which names the kind:
//   ; ENVI Image to Map GCP File     rows: map x, map y, image x, image y
//   ; ENVI Image to Image GCP File   rows: base x, base y, warp x, warp y
// followed by rows of whitespace-separated numbers.  The image (or warp
// image) position becomes pixel/line; the map position (or base image
// position) becomes x/y.  ENVI counts image coordinates from 1, (1, 1)
// being the top-left corner of the top-left pixel: reading subtracts 1 from
// every image coordinate (both images of an image-to-image file) and
// writing adds it back.  Lines already point down.  Writing produces the
// image-to-map kind.
#ifndef MORVANE_EXCHANGE_ENVIPTSFORMAT_H
#define MORVANE_EXCHANGE_ENVIPTSFORMAT_H

#include "GcpTable.h"

#include <string>
#include <string_view>

namespace morvane::tool {

GcpTable ReadEnviPts(std::string_view text);
std::string WriteEnviPts(const GcpTable& table);

}  // namespace morvane::tool

#endif
