// ResidualSvg.h - draws the residual vectors of a fit over the layout of
// its control points, as an SVG document.
//
// Points are placed by their pixel/line position (line down, as on the
// raster).  Each residual (fitted minus stored position, in pixels) is drawn
// as an arrow from the point, magnified by one factor for all arrows so that
// the largest is clearly visible; a scale bar gives the arrow length of a
// round residual.  Points used in the fit and check points get different
// symbols and colours, explained in a legend.  Optionally the plot is
// shaded by the predicted standard error of the converted position (a grid
// of cells, coloured on a scale in map units shown by a colour bar), and
// outliers get a red ring.
#ifndef MORVANE_EXCHANGE_RESIDUALSVG_H
#define MORVANE_EXCHANGE_RESIDUALSVG_H

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
    bool outlier = false;         // marked by the robust check
};

// Predicted standard error on a regular grid of cells over the plane:
// cell (i, j) spans pixel0 + i * cellWidth .. + cellWidth and likewise in
// line; values row by row (j outer), NaN where there is none.
struct ErrorShading {
    int columns = 0, rows = 0;
    double pixel0 = 0.0, line0 = 0.0, cellWidth = 1.0, cellHeight = 1.0;
    std::vector<double> values;   // map units
    std::string caption;          // what the values are
};

struct SvgOptions {
    std::string title;
    std::vector<std::string> notes;   // lines of figures shown under the legend
    long columns = 0;                 // raster frame to draw; 0 = none
    long rows = 0;
    ErrorShading shading;             // drawn when it has cells
};

std::string DrawResidualSvg(const std::vector<SvgPoint>& points, const SvgOptions& options);

// The colour of t in [0, 1] on the shading's scale (dark blue to yellow).
std::string ShadeColour(double t);

// A 1, 2 or 5 times a power of ten, not above value (value > 0).
double RoundScaleValue(double value);

}  // namespace morvane::tool

#endif
