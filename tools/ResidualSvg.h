// ResidualSvg.h - draws the residual vectors of a fit over the layout of
// its control points, as an SVG document.
//
// Points are placed by their pixel/line position (line down, as on the
// raster).  Each residual (fitted minus stored position, in pixels) is drawn
// as an arrow from the point, magnified by one factor for all arrows so that
// the largest is clearly visible; a scale bar gives the arrow length of a
// round residual.  Points used in the fit and check points get different
// symbols and colours, explained in a legend.
#ifndef MORVANE_TOOLS_RESIDUALSVG_H
#define MORVANE_TOOLS_RESIDUALSVG_H

#include <string>
#include <vector>

namespace morvane::tool {

struct SvgPoint {
    double pixel = 0.0;
    double line = 0.0;
    double residualPixel = 0.0;   // pixels
    double residualLine = 0.0;    // pixels, positive downward
    bool used = true;
    bool hasResidual = true;      // false: the fit could not give one
    std::string label;
};

struct SvgOptions {
    std::string title;
    std::vector<std::string> notes;   // lines of figures shown under the legend
    long columns = 0;                 // raster frame to draw; 0 = none
    long rows = 0;
};

std::string DrawResidualSvg(const std::vector<SvgPoint>& points, const SvgOptions& options);

// A 1, 2 or 5 times a power of ten, not above value (value > 0).
double RoundScaleValue(double value);

}  // namespace morvane::tool

#endif
