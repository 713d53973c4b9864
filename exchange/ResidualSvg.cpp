#include "ResidualSvg.h"

#include "TextScan.h"
#include "VrtFormat.h"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>

namespace morvane::tool {

namespace {

constexpr double kPlotWidth = 820.0;
constexpr double kMargin = 50.0;
constexpr double kLegendHeight = 130.0;   // symbols, arrows, scale bar
constexpr double kTitleHeight = 34.0;
constexpr const char* kUsedColour = "#1f5fbf";
constexpr const char* kCheckColour = "#d9730d";
constexpr const char* kOutlierColour = "#d62728";
constexpr const char* kArrowColour = "#c0202a";

struct Extent {
    double minPixel, minLine, maxPixel, maxLine;
    double Width() const { return maxPixel - minPixel; }
    double Height() const { return maxLine - minLine; }
};

// The part of the pixel/line plane to draw: the raster frame when known,
// grown to take in every point, with a margin.
Extent LayoutExtent(const std::vector<SvgPoint>& points, const SvgOptions& options) {
    bool frame = options.columns > 0 && options.rows > 0;
    Extent e{0.0, 0.0, 1.0, 1.0};
    if (frame) e = {0.0, 0.0, static_cast<double>(options.columns), static_cast<double>(options.rows)};
    if (!points.empty()) {
        if (!frame) e = {points[0].pixel, points[0].line, points[0].pixel, points[0].line};
        for (const SvgPoint& p : points) {
            e.minPixel = std::min(e.minPixel, p.pixel);
            e.maxPixel = std::max(e.maxPixel, p.pixel);
            e.minLine = std::min(e.minLine, p.line);
            e.maxLine = std::max(e.maxLine, p.line);
        }
    }
    // Pad by 8% (at least one pixel) so that points do not sit on the border.
    double pad = std::max({e.Width(), e.Height(), 1.0}) * 0.08;
    return {e.minPixel - pad, e.minLine - pad, e.maxPixel + pad, e.maxLine + pad};
}

std::string Num(double v) { return fmt::format("{:.2f}", v); }

std::string Arrow(double x, double y, double dx, double dy, const char* colour, bool dashed) {
    double length = std::hypot(dx, dy);
    if (length < 0.5) return {};
    double ux = dx / length, uy = dy / length;
    double head = std::min(9.0, length * 0.45);
    double tipX = x + dx, tipY = y + dy;
    double baseX = tipX - ux * head, baseY = tipY - uy * head;
    double side = head * 0.45;
    std::string out = fmt::format(
        "<line x1=\"{}\" y1=\"{}\" x2=\"{}\" y2=\"{}\" stroke=\"{}\" stroke-width=\"1.6\"{}/>\n", Num(x), Num(y),
        Num(baseX), Num(baseY), colour, dashed ? " stroke-dasharray=\"4 2\"" : "");
    out += fmt::format("<polygon points=\"{},{} {},{} {},{}\" fill=\"{}\"/>\n", Num(tipX), Num(tipY),
                       Num(baseX - uy * side), Num(baseY + ux * side), Num(baseX + uy * side),
                       Num(baseY - ux * side), colour);
    return out;
}

std::string Marker(double x, double y, bool used) {
    if (used) {
        return fmt::format("<circle cx=\"{}\" cy=\"{}\" r=\"4.5\" fill=\"{}\" stroke=\"white\" stroke-width=\"1\"/>\n",
                           Num(x), Num(y), kUsedColour);
    }
    return fmt::format("<rect x=\"{}\" y=\"{}\" width=\"9\" height=\"9\" fill=\"white\" stroke=\"{}\" "
                       "stroke-width=\"2\"/>\n",
                       Num(x - 4.5), Num(y - 4.5), kCheckColour);
}

// One magnification for every arrow, set by the points used in the fit:
// their largest residual spans 10% of the plot's longer side.  Check points
// can be far worse; their arrows are clipped at the plot's edge.
double ArrowScale(const std::vector<SvgPoint>& points, double plotSide, double& reference) {
    double largest = 0.0, largestUsed = 0.0;
    for (const SvgPoint& p : points) {
        if (!p.hasResidual) continue;
        double length = std::hypot(p.residualPixel, p.residualLine);
        largest = std::max(largest, length);
        if (p.used) largestUsed = std::max(largestUsed, length);
    }
    reference = largestUsed > 0.0 ? largestUsed : largest;
    return reference > 0.0 ? 0.10 * plotSide / reference : 1.0;
}

// The shaded cells, under everything else; *lo and *hi: the value range.
std::string ShadingCells(const ErrorShading& g, const std::function<double(double)>& toX,
                         const std::function<double(double)>& toY, double scale, double* lo, double* hi) {
    *lo = std::numeric_limits<double>::infinity(), *hi = -*lo;
    for (double v : g.values)
        if (std::isfinite(v)) *lo = std::min(*lo, v), *hi = std::max(*hi, v);
    std::string out;
    if (!(*hi >= *lo)) return out;
    const double span = *hi > *lo ? *hi - *lo : 1.0;
    for (int j = 0; j < g.rows; ++j)
        for (int i = 0; i < g.columns; ++i) {
            const double v = g.values[static_cast<std::size_t>(j) * static_cast<std::size_t>(g.columns) + static_cast<std::size_t>(i)];
            if (!std::isfinite(v)) continue;
            // Cells overlap by a hair so that no seams show between them.
            out += fmt::format("<rect x=\"{}\" y=\"{}\" width=\"{}\" height=\"{}\" fill=\"{}\"/>\n",
                               Num(toX(g.pixel0 + i * g.cellWidth)), Num(toY(g.line0 + j * g.cellHeight)),
                               Num(g.cellWidth * scale + 0.6), Num(g.cellHeight * scale + 0.6),
                               ShadeColour((v - *lo) / span));
        }
    return out;
}

}  // namespace

std::string ShadeColour(double t) {
    // Five stops from dark blue through teal and green to yellow, readable
    // in grey too (lightness grows with the value).
    static constexpr double kStops[5][3] = {
        {48, 18, 120}, {38, 98, 160}, {32, 150, 140}, {110, 196, 90}, {250, 230, 40}};
    t = std::clamp(std::isfinite(t) ? t : 0.0, 0.0, 1.0) * 4.0;
    const int k = std::min(3, static_cast<int>(t));
    const double f = t - k;
    int c[3];
    for (int q = 0; q < 3; ++q) c[q] = static_cast<int>(std::lround(kStops[k][q] + f * (kStops[k + 1][q] - kStops[k][q])));
    return fmt::format("#{:02x}{:02x}{:02x}", c[0], c[1], c[2]);
}

namespace {

// 10^exponent, exact for |exponent| <= 22 and correctly rounded for the
// negative ones (one division): std::pow of MinGW-w64's runtime is some
// ulps off for negative exponents, so that 5 * pow(10, -2) != 0.05 there.
double PowerOfTen(int exponent) {
    double power = 1.0;
    for (int i = 0; i < (exponent < 0 ? -exponent : exponent); ++i) power *= 10.0;
    return exponent < 0 ? 1.0 / power : power;
}

}  // namespace

double RoundScaleValue(double value) {
    if (!(value > 0.0) || !std::isfinite(value)) return 1.0;
    double power = PowerOfTen(static_cast<int>(std::floor(std::log10(value))));
    for (double step : {5.0, 2.0, 1.0}) {
        if (step * power <= value) return step * power;
    }
    return power;
}

std::string DrawResidualSvg(const std::vector<SvgPoint>& points, const SvgOptions& options) {
    Extent extent = LayoutExtent(points, options);
    double layoutScale = kPlotWidth / std::max(extent.Width(), 1e-9);
    double plotHeight = std::clamp(extent.Height() * layoutScale, 200.0, 900.0);
    layoutScale = std::min(layoutScale, plotHeight / std::max(extent.Height(), 1e-9));
    double plotWidth = extent.Width() * layoutScale;
    plotHeight = extent.Height() * layoutScale;
    double width = std::max(plotWidth, 600.0) + 2 * kMargin;
    const bool shaded = options.shading.columns > 0 && options.shading.rows > 0 &&
                        options.shading.values.size() ==
                            static_cast<std::size_t>(options.shading.columns) * static_cast<std::size_t>(options.shading.rows);
    double height = kTitleHeight + kMargin + plotHeight + kLegendHeight +
                    18.0 * static_cast<double>(options.notes.size()) + (shaded ? 64.0 : 0.0);
    auto toX = [&](double pixel) { return kMargin + (pixel - extent.minPixel) * layoutScale; };
    auto toY = [&](double line) { return kTitleHeight + kMargin + (line - extent.minLine) * layoutScale; };
    double reference = 0.0;
    double arrowScale = ArrowScale(points, std::max(plotWidth, plotHeight), reference);

    std::string out = fmt::format(
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"{0}\" height=\"{1}\" viewBox=\"0 0 {0} {1}\" "
        "font-family=\"DejaVu Sans, Arial, sans-serif\" font-size=\"12\">\n"
        "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n"
        "<text x=\"{2}\" y=\"24\" font-size=\"16\" font-weight=\"bold\">{3}</text>\n",
        Num(width), Num(height), Num(kMargin), XmlEscape(options.title));
    std::string plotRect = fmt::format("x=\"{}\" y=\"{}\" width=\"{}\" height=\"{}\"", Num(toX(extent.minPixel)),
                                       Num(toY(extent.minLine)), Num(plotWidth), Num(plotHeight));
    out += fmt::format("<clipPath id=\"plot\"><rect {}/></clipPath>\n", plotRect);
    out += fmt::format("<rect {} fill=\"#f6f6f3\" stroke=\"#888\"/>\n", plotRect);
    double shadeLo = 0.0, shadeHi = 0.0;
    if (shaded) {
        out += "<g clip-path=\"url(#plot)\">\n";
        out += ShadingCells(options.shading, toX, toY, layoutScale, &shadeLo, &shadeHi);
        out += "</g>\n";
    }
    if (options.columns > 0 && options.rows > 0) {
        out += fmt::format("<rect x=\"{}\" y=\"{}\" width=\"{}\" height=\"{}\" fill=\"none\" stroke=\"#bbb\" "
                           "stroke-dasharray=\"6 3\"/>\n",
                           Num(toX(0)), Num(toY(0)), Num(options.columns * layoutScale),
                           Num(options.rows * layoutScale));
    }
    out += fmt::format("<text x=\"{}\" y=\"{}\" fill=\"#666\" font-size=\"10\">pixel {} .. {}, line {} .. {} "
                       "(line down){}</text>\n",
                       Num(kMargin), Num(toY(extent.maxLine) + 14), Num(extent.minPixel), Num(extent.maxPixel),
                       Num(extent.minLine), Num(extent.maxLine),
                       options.columns > 0 ? "; dashed: the raster's edge" : "");

    out += "<g clip-path=\"url(#plot)\">\n";
    for (const SvgPoint& p : points) {
        if (!p.hasResidual) continue;
        out += Arrow(toX(p.pixel), toY(p.line), p.residualPixel * arrowScale, p.residualLine * arrowScale,
                     p.used ? kArrowColour : kCheckColour, !p.used);
    }
    out += "</g>\n";
    for (const SvgPoint& p : points) {
        if (p.outlier)
            out += fmt::format("<circle cx=\"{}\" cy=\"{}\" r=\"9\" fill=\"none\" stroke=\"{}\" stroke-width=\"2.5\"/>\n",
                               Num(toX(p.pixel)), Num(toY(p.line)), kOutlierColour);
        out += Marker(toX(p.pixel), toY(p.line), p.used);
        if (!p.label.empty()) {
            out += fmt::format("<text x=\"{}\" y=\"{}\" font-size=\"9\" fill=\"#333\">{}</text>\n",
                               Num(toX(p.pixel) + 6), Num(toY(p.line) - 6), XmlEscape(p.label));
        }
    }

    // Legend: symbols, then the scale bar, then the caller's figures.
    double y0 = toY(extent.maxLine) + 40.0;
    double x0 = kMargin;
    out += Marker(x0 + 5, y0, true);
    out += fmt::format("<text x=\"{}\" y=\"{}\">point used in the fit</text>\n", Num(x0 + 16), Num(y0 + 4));
    out += Marker(x0 + 205, y0, false);
    out += fmt::format("<text x=\"{}\" y=\"{}\">check point (not used in the fit)</text>\n", Num(x0 + 216),
                       Num(y0 + 4));
    out += Arrow(x0, y0 + 26, 30, 0, kArrowColour, false);
    out += fmt::format("<text x=\"{}\" y=\"{}\">residual, used point</text>\n", Num(x0 + 40), Num(y0 + 30));
    out += Arrow(x0 + 200, y0 + 26, 30, 0, kCheckColour, true);
    out += fmt::format("<text x=\"{}\" y=\"{}\">residual, check point (arrows: fitted minus measured)</text>\n",
                       Num(x0 + 240), Num(y0 + 30));
    if (reference > 0.0) {
        double barValue = RoundScaleValue(reference);
        double barLength = barValue * arrowScale;
        double by = y0 + 56;
        out += fmt::format("<path d=\"M{0},{1} v-5 M{0},{1} h{2} v-5\" stroke=\"black\" stroke-width=\"2\" "
                           "fill=\"none\"/>\n",
                           Num(x0), Num(by), Num(barLength));
        out += fmt::format("<text x=\"{}\" y=\"{}\">{} px of residual (arrows magnified {}x against the "
                           "layout)</text>\n",
                           Num(x0 + barLength + 10), Num(by + 4), FormatNumber(barValue),
                           fmt::format("{:.3g}", arrowScale / layoutScale));
    } else {
        out += fmt::format("<text x=\"{}\" y=\"{}\">every residual is zero</text>\n", Num(x0), Num(y0 + 60));
    }
    double ny = y0 + 84;
    if (shaded && shadeHi >= shadeLo) {
        // The colour bar of the shading, with its two ends' values.
        constexpr int kSteps = 24;
        constexpr double kBarWidth = 240.0;
        for (int k = 0; k < kSteps; ++k)
            out += fmt::format("<rect x=\"{}\" y=\"{}\" width=\"{}\" height=\"12\" fill=\"{}\"/>\n",
                               Num(x0 + k * kBarWidth / kSteps), Num(ny - 10), Num(kBarWidth / kSteps + 0.5),
                               ShadeColour((k + 0.5) / kSteps));
        out += fmt::format("<text x=\"{}\" y=\"{}\">{:.4g} .. {:.4g} map units</text>\n", Num(x0 + kBarWidth + 10),
                           Num(ny), shadeLo, shadeHi);
        out += fmt::format("<text x=\"{}\" y=\"{}\" font-size=\"10\" fill=\"#444\">shading: {}</text>\n", Num(x0),
                           Num(ny + 44), XmlEscape(options.shading.caption));
        out += fmt::format("<circle cx=\"{}\" cy=\"{}\" r=\"7\" fill=\"none\" stroke=\"{}\" stroke-width=\"2.5\"/>\n",
                           Num(x0 + 7), Num(ny + 22), kOutlierColour);
        out += fmt::format("<text x=\"{}\" y=\"{}\">outlier found by the robust check</text>\n", Num(x0 + 22),
                           Num(ny + 26));
        ny += 64.0;
    }
    for (const std::string& note : options.notes) {
        out += fmt::format("<text x=\"{}\" y=\"{}\">{}</text>\n", Num(x0), Num(ny), XmlEscape(note));
        ny += 18.0;
    }
    out += "</svg>\n";
    return out;
}

}  // namespace morvane::tool
