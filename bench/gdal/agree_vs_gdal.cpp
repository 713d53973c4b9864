// agree_vs_gdal - does our control-point library compute what GDAL computes,
// and where do the two part ways?  Prints markdown tables:
//   1. forward agreement: our fits against GDAL's on well-conditioned random
//      points, both against an extended-precision reference fit;
//   2. backward consistency: how far each side's backward conversion is from
//      the exact inverse of its own forward conversion;
//   3. near-degenerate input: what each side makes of points that do not
//      determine the transformation;
//   4. the thin plate spline at 10,000 points under a 4 GiB address-space limit.
// Exits non-zero only when something could not be run at all; the verdicts
// are in the tables.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "GcpSets.h"
#include "GdalTransformer.h"
#include "OurSets.h"
#include "ReferenceFit.h"

namespace {

using namespace gdalcmp;

constexpr std::uint64_t kGcpSeed = 0x6d6f7276616e6501ULL;  // the benchmark's points
constexpr std::uint64_t kCheckSeed = 0x6d6f7276616e6503ULL;
constexpr std::size_t kCheckPoints = 10000;
constexpr double kAgreementMetres = 1e-6;
constexpr double kRoundTripPixels = 1e-6;
constexpr std::size_t kLargeSpline = 10000;
constexpr std::uint64_t kAddressLimit = 4ULL << 30;

const char* TypeName(short type) {
    switch (type) {
        case TM_TRANS_POLY1: return "polynomial 1";
        case TM_TRANS_POLY2: return "polynomial 2";
        case TM_TRANS_POLY3: return "polynomial 3";
        case TM_TRANS_TPS: return "thin plate spline";
        default: return "?";
    }
}

std::string Sci(double value) {
    if (std::isnan(value)) return "failed";
    char text[32];
    std::snprintf(text, sizeof text, "%.2e", value);
    return text;
}

double Distance(double x1, double y1, double x2, double y2) { return std::hypot(x1 - x2, y1 - y2); }

// Our side converting interleaved points one call at a time and in one batch.
// Returns the refusal, if any.
long OurConvert(CCtrlPntSet& set, bool forward, const std::vector<double>& in,
                std::vector<double>* perCall, std::vector<double>* batch) {
    if (long rc = set.BeginTransform(forward)) return rc;
    perCall->assign(in.size(), 0.0);
    batch->assign(in.size(), 0.0);
    long rc = TM_OK;
    for (std::size_t i = 0; i + 1 < in.size() && rc == TM_OK; i += 2)
        rc = set.PointTransform(&(*perCall)[i], &(*perCall)[i + 1], in[i], in[i + 1]);
    if (rc == TM_OK) rc = set.BatchTransform(in.data(), batch->data(), in.size() / 2);
    set.EndTransform();
    return rc;
}

// GDAL converting interleaved points in one call; false when any point failed.
bool GdalConvert(GdalTransformer& transformer, bool forward, const std::vector<double>& in,
                 std::vector<double>* out) {
    const std::size_t n = in.size() / 2;
    std::vector<double> x(n), y(n), z(n, 0.0);
    std::vector<int> success(n, 0);
    for (std::size_t i = 0; i < n; ++i) {
        x[i] = in[2 * i];
        y[i] = in[2 * i + 1];
    }
    bool ok = transformer.Batch(forward, static_cast<int>(n), x.data(), y.data(), z.data(),
                                success.data());
    out->resize(in.size());
    for (std::size_t i = 0; i < n; ++i) {
        ok &= success[i] != 0;
        (*out)[2 * i] = x[i];
        (*out)[2 * i + 1] = y[i];
    }
    return ok;
}

double MaxDistance(const std::vector<double>& a, const std::vector<double>& b) {
    double worst = 0.0;
    for (std::size_t i = 0; i + 1 < a.size(); i += 2)
        worst = std::max(worst, Distance(a[i], a[i + 1], b[i], b[i + 1]));
    return worst;
}

// ---- 1 and 2: well-conditioned points ----------------------------------------

struct Case {
    short type;
    std::size_t n;
};

void PrintForwardAgreement(const std::vector<double>& pixels) {
    std::printf("### Forward conversion: our fit against GDAL's\n\n");
    std::printf("%zu check points spread over the 10,000 x 8,000 image; distances in metres. "
                "The reference is an independent least-squares (polynomials) or interpolating "
                "(spline) fit in long double on normalised coordinates. \"Batch vs per call\" "
                "compares our BatchTransform with our PointTransform on the same points.\n\n",
                kCheckPoints);
    std::printf("| type | N | max \\|ours - GDAL\\| | max \\|ours - reference\\| | "
                "max \\|GDAL - reference\\| | batch vs per call | ours = GDAL within 1e-6 m |\n");
    std::printf("|---|---:|---:|---:|---:|---:|---|\n");
    const Case cases[] = {{TM_TRANS_POLY1, 100},   {TM_TRANS_POLY1, 1000}, {TM_TRANS_POLY1, 10000},
                          {TM_TRANS_POLY2, 100},   {TM_TRANS_POLY2, 1000}, {TM_TRANS_POLY2, 10000},
                          {TM_TRANS_POLY3, 100},   {TM_TRANS_POLY3, 1000}, {TM_TRANS_POLY3, 10000},
                          {TM_TRANS_TPS, 100},     {TM_TRANS_TPS, 1000}};
    for (const Case& c : cases) {
        const std::vector<Gcp> gcps = RandomGcps(c.n, kGcpSeed + c.n);
        std::vector<_CtrlPntStrcT> records = ToRecords(gcps);
        CCtrlPntSet set;
        std::vector<double> ours, oursBatch, gdal;
        long rc = FillSet(set, c.type, records);
        if (rc == TM_OK) rc = OurConvert(set, true, pixels, &ours, &oursBatch);
        GdalTransformer transformer(ToGdalGcps(gcps), c.type);
        const bool gdalOk = transformer.Ok() && GdalConvert(transformer, true, pixels, &gdal);
        const ReferenceFit reference(gcps, c.type);
        std::vector<double> expected(pixels.size());
        for (std::size_t i = 0; i + 1 < pixels.size(); i += 2)
            reference.Forward(pixels[i], pixels[i + 1], &expected[i], &expected[i + 1]);

        const double nan = std::nan("");
        const double oursGdal = rc == TM_OK && gdalOk ? MaxDistance(ours, gdal) : nan;
        const double oursRef = rc == TM_OK ? MaxDistance(ours, expected) : nan;
        const double gdalRef = gdalOk ? MaxDistance(gdal, expected) : nan;
        const double batch = rc == TM_OK ? MaxDistance(ours, oursBatch) : nan;
        std::printf("| %s | %zu | %s | %s | %s | %s | %s |\n", TypeName(c.type), c.n,
                    Sci(oursGdal).c_str(), Sci(oursRef).c_str(), Sci(gdalRef).c_str(),
                    Sci(batch).c_str(),
                    rc != TM_OK ? ResultName(rc) : oursGdal < kAgreementMetres ? "yes" : "no");
    }
    std::printf("\n");
}

void PrintBackwardConsistency(const std::vector<double>& pixels) {
    std::printf("### Backward conversion against the exact inverse of the forward one\n\n");
    std::printf("Each side converts the %zu check points forward and then back with its own "
                "backward conversion; the table gives the largest distance, in pixels, from the "
                "starting point. GDAL fits its backward direction as a separate model; ours "
                "inverts the forward model.\n\n",
                kCheckPoints);
    std::printf("| type | N | ours (px) | GDAL (px) | ours under 1e-6 px |\n");
    std::printf("|---|---:|---:|---:|---|\n");
    const Case cases[] = {{TM_TRANS_POLY1, 1000}, {TM_TRANS_POLY2, 1000}, {TM_TRANS_POLY3, 1000},
                          {TM_TRANS_TPS, 1000}};
    for (const Case& c : cases) {
        const std::vector<Gcp> gcps = RandomGcps(c.n, kGcpSeed + c.n);
        std::vector<_CtrlPntStrcT> records = ToRecords(gcps);
        CCtrlPntSet set;
        std::vector<double> map, mapBatch, back, backBatch;
        long rc = FillSet(set, c.type, records);
        if (rc == TM_OK) rc = OurConvert(set, true, pixels, &map, &mapBatch);
        if (rc == TM_OK) rc = OurConvert(set, false, map, &back, &backBatch);
        const double nan = std::nan("");
        const double ours =
            rc == TM_OK ? std::max(MaxDistance(back, pixels), MaxDistance(backBatch, pixels)) : nan;

        GdalTransformer transformer(ToGdalGcps(gcps), c.type);
        std::vector<double> gdalMap, gdalBack;
        const bool gdalOk = transformer.Ok() && GdalConvert(transformer, true, pixels, &gdalMap) &&
                            GdalConvert(transformer, false, gdalMap, &gdalBack);
        const double gdal = gdalOk ? MaxDistance(gdalBack, pixels) : nan;
        std::printf("| %s | %zu | %s | %s | %s |\n", TypeName(c.type), c.n, Sci(ours).c_str(),
                    Sci(gdal).c_str(),
                    rc != TM_OK ? ResultName(rc) : ours < kRoundTripPixels ? "yes" : "no");
    }
    std::printf("\n");
}

// ---- 3: near-degenerate points -------------------------------------------------

// Worst distance, in km, between a conversion over the whole frame and the
// true mapping; NaN when a conversion failed.
double WorstFrameErrorKm(const std::vector<double>& grid, const std::vector<double>& converted) {
    const std::vector<double> truth = MapOf(grid);
    double worst = 0.0;
    for (std::size_t i = 0; i + 1 < grid.size(); i += 2) {
        const double d = Distance(converted[i], converted[i + 1], truth[i], truth[i + 1]);
        if (!std::isfinite(d)) return std::nan("");
        worst = std::max(worst, d);
    }
    return worst / 1000.0;
}

void PrintDegenerateRow(const char* name, const std::vector<Gcp>& gcps, short type) {
    const std::vector<double> grid = FrameGrid(11);
    GdalTransformer transformer(ToGdalGcps(gcps), type);
    std::string gdalVerdict = "refused";
    std::string gdalError = "-";
    if (transformer.Ok()) {
        std::vector<double> converted;
        gdalVerdict = GdalConvert(transformer, true, grid, &converted)
                          ? "accepted"
                          : "accepted, some conversions failed";
        gdalError = Sci(WorstFrameErrorKm(grid, converted));
    }

    std::vector<_CtrlPntStrcT> records = ToRecords(gcps);
    CCtrlPntSet set;
    long rc = FillSet(set, type, records);
    std::string oursVerdict;
    if (rc != TM_OK) {
        oursVerdict = std::string("refused to take the points: ") + ResultName(rc);
    } else {
        double x = 0.0, y = 0.0;
        const long fit = set.BeginTransform(true);
        set.EndTransform();
        const long point = set.GetCoordinateA(&x, &y, 5000.0, 4000.0, true);
        if (fit != TM_OK && point != TM_OK) {
            oursVerdict = std::string("refused: ") + ResultName(fit);
        } else if (fit != TM_OK || point != TM_OK) {
            oursVerdict = std::string("inconsistent: BeginTransform ") + ResultName(fit) +
                          ", GetCoordinateA " + ResultName(point);
        } else {
            std::vector<double> converted, batch;
            const long conv = OurConvert(set, true, grid, &converted, &batch);
            oursVerdict = conv == TM_OK
                              ? "accepted, worst error " + Sci(WorstFrameErrorKm(grid, converted)) + " km"
                              : std::string("accepted, conversions refused: ") + ResultName(conv);
        }
    }
    std::printf("| %s | %s | %s | %s | %s |\n", name, TypeName(type), gdalVerdict.c_str(),
                gdalError.c_str(), oursVerdict.c_str());
}

void PrintDegenerate() {
    std::printf("### Near-degenerate input\n\n");
    std::printf("Twenty points on a diagonal of the image, off the line by at most 1e-3 pixel; "
                "six points on one ellipse for the second-order polynomial. Map coordinates carry "
                "0.5 m of noise. The error is the largest distance, over an 11 x 11 grid covering "
                "the whole image, between the fitted forward conversion and the true mapping.\n\n");
    std::printf("| points | type | GDAL | GDAL's worst error (km) | ours |\n");
    std::printf("|---|---|---|---:|---|\n");
    const std::vector<Gcp> collinear = NearlyCollinearGcps(kGcpSeed + 1);
    for (short type : {TM_TRANS_POLY1, TM_TRANS_POLY2, TM_TRANS_POLY3, TM_TRANS_TPS})
        PrintDegenerateRow("20 nearly collinear", collinear, type);
    PrintDegenerateRow("6 on one ellipse", ConicGcps(kGcpSeed + 2), TM_TRANS_POLY2);
    std::printf("\n");
}

// ---- 4: the spline at 10,000 points --------------------------------------------

struct LargeSplineResult {
    long code;
    double seconds;
    double worstMetres;  // against the true mapping, at the check points
};

// Runs in a child process so that its peak memory is its own and the address
// space limit binds only the fit.
LargeSplineResult FitLargeSpline() {
    const std::vector<Gcp> gcps = RandomGcps(kLargeSpline, kGcpSeed + kLargeSpline);
    std::vector<_CtrlPntStrcT> records = ToRecords(gcps);
    const std::vector<double> pixels = RandomPixels(1000, kCheckSeed);
    const auto start = std::chrono::steady_clock::now();
    CCtrlPntSet set;
    long rc = FillSet(set, TM_TRANS_TPS, records);
    if (rc == TM_OK) rc = set.BeginTransform(true);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    double worst = std::nan("");
    if (rc == TM_OK) {
        std::vector<double> converted(pixels.size());
        rc = set.BatchTransform(pixels.data(), converted.data(), pixels.size() / 2);
        if (rc == TM_OK) worst = MaxDistance(converted, MapOf(pixels));
    }
    set.EndTransform();
    return {rc, seconds, worst};
}

void PrintLargeSpline() {
    std::printf("### Thin plate spline fit at %zu points\n\n", kLargeSpline);
    std::printf("Fitted in a child process whose address space is limited to 4 GiB. The fit time "
                "is wall-clock, from the first point added to the prepared transformation; the "
                "CPU time is the whole child's (the point set is generated there too). The error "
                "is the largest distance from the true mapping over 1,000 check points (the "
                "control points carry 0.5 m of noise). GDAL is not run at this size.\n\n");
    std::printf("| points | result | fit time (s) | process CPU time (s) | peak resident memory (MiB) "
                "| error (m) |\n");
    std::printf("|---:|---|---:|---:|---:|---:|\n");
    int channel[2];
    if (pipe(channel) != 0) {
        std::printf("| %zu | could not run (pipe) | - | - | - | - |\n\n", kLargeSpline);
        return;
    }
    std::fflush(stdout);
    const pid_t child = fork();
    if (child == 0) {
        close(channel[0]);
        const rlimit limit{kAddressLimit, kAddressLimit};
        setrlimit(RLIMIT_AS, &limit);
        LargeSplineResult result{TM_ERR_MEMORY, 0.0, std::nan("")};
        try {
            result = FitLargeSpline();
        } catch (...) {
            // An allocation escaping the library still counts as running out.
        }
        const ssize_t written = write(channel[1], &result, sizeof result);
        _exit(written == static_cast<ssize_t>(sizeof result) ? 0 : 1);
    }
    close(channel[1]);
    LargeSplineResult result{};
    const bool got = child > 0 && read(channel[0], &result, sizeof result) ==
                                      static_cast<ssize_t>(sizeof result);
    close(channel[0]);
    int status = 0;
    rusage usage{};
    if (child > 0) wait4(child, &status, 0, &usage);
    const double cpu = usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
                       1e-6 * (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec);
    if (!got) {
        std::printf("| %zu | child died (status %d) | - | %.1f | %.0f | - |\n\n", kLargeSpline,
                    status, cpu, usage.ru_maxrss / 1024.0);
        return;
    }
    std::printf("| %zu | %s | %.1f | %.1f | %.0f | %s |\n\n", kLargeSpline,
                ResultName(result.code), result.seconds, cpu, usage.ru_maxrss / 1024.0,
                Sci(result.worstMetres).c_str());
}

}  // namespace

int main(int argc, char** argv) {
    bool large = true;
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]) == "--no-large-spline") {
            large = false;
        } else {
            std::fprintf(stderr, "usage: %s [--no-large-spline]\n", argv[0]);
            return 2;
        }
    }
    QuietGdalErrors();
    std::printf("Compared with GDAL %s.\n\n", GdalVersion().c_str());
    const std::vector<double> pixels = RandomPixels(kCheckPoints, kCheckSeed);
    PrintForwardAgreement(pixels);
    PrintBackwardConsistency(pixels);
    PrintDegenerate();
    if (large) PrintLargeSpline();
    return 0;
}
