// perf_table_vs_gdal - turns bench_vs_gdal's JSON output (Google Benchmark's
// --benchmark_out_format=json) into a markdown table: one row per pair, both
// times (process CPU time), the ratio GDAL time / our time, and the target
// that ratio has to reach.  Usage: perf_table_vs_gdal results.json
#include <nlohmann/json.hpp>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace {

using nlohmann::json;

// One side of a pair: seconds per iteration and points per iteration (0 for
// fits), or the error the benchmark stopped with.
struct Side {
    std::optional<double> seconds;
    double points = 0.0;
    bool fromMedian = false;
    std::string error;
};

struct Pair {
    Side ours, gdal;
};

std::vector<std::string> Split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::stringstream stream(text);
    std::string part;
    while (std::getline(stream, part, separator)) parts.push_back(part);
    return parts;
}

double ToSeconds(double value, const std::string& unit) {
    if (unit == "ns") return value * 1e-9;
    if (unit == "us") return value * 1e-6;
    if (unit == "ms") return value * 1e-3;
    return value;
}

// "fit/poly2/N=1000" -> what, type, points, direction.
struct Key {
    std::string what, type, n, direction;
};

Key ParseKey(const std::string& key) {
    const std::vector<std::string> parts = Split(key, '/');
    Key k;
    if (parts.size() > 0) k.what = parts[0];
    if (parts.size() > 1) k.type = parts[1];
    if (parts.size() > 2) k.n = parts[2].rfind("N=", 0) == 0 ? parts[2].substr(2) : parts[2];
    if (parts.size() > 3) k.direction = parts[3];
    return k;
}

std::string TypeLabel(const std::string& type) {
    if (type == "poly1") return "polynomial 1";
    if (type == "poly2") return "polynomial 2";
    if (type == "poly3") return "polynomial 3";
    if (type == "tps") return "thin plate spline";
    return type;
}

std::string Label(const Key& k) {
    std::string label;
    if (k.what == "fit") label = "fit";
    else if (k.what == "fitarray") label = "fit from an array (AddGCPs)";
    else if (k.what == "point") label = "one point per call";
    else if (k.what == "batch") label = "batch of 1,000,000";
    else label = k.what;
    label += ", " + TypeLabel(k.type) + ", N = " + k.n;
    if (!k.direction.empty()) label += ", " + k.direction;
    return label;
}

// The ratio GDAL time / our time the comparison promises, 0 when none.
double Target(const Key& k) {
    const long n = std::strtol(k.n.c_str(), nullptr, 10);
    const bool polynomial = k.type.rfind("poly", 0) == 0;
    // The fit from a ready array (one AddGCPs call) is held to the fit's
    // own target; the one-call-per-point rows keep it as well.
    if (k.what == "fit" || (k.what == "fitarray" && polynomial)) {
        if (polynomial && n >= 1000) return 5.0;
        if (k.type == "tps" && n == 3000) return 10.0;
        return 0.0;
    }
    if (k.what == "point") {
        // Backward, orders 2 and 3: ours is the exact inverse (within 1e-6
        // px), GDAL's a second fitted polynomial up to 0.7 px off, so the
        // promise is to be at least as fast, not twice.
        if (polynomial && k.direction == "backward" && k.type != "poly1") return 1.0;
        if (polynomial) return 2.0;
        if (k.type == "tps" && n == 1000) return 4.0;
        return 0.0;
    }
    if (k.what == "batch") return 1.0;
    return 0.0;
}

std::string FormatTime(double seconds) {
    char text[32];
    if (seconds < 1e-6) std::snprintf(text, sizeof text, "%.2f ns", seconds * 1e9);
    else if (seconds < 1e-3) std::snprintf(text, sizeof text, "%.2f µs", seconds * 1e6);
    else if (seconds < 1.0) std::snprintf(text, sizeof text, "%.2f ms", seconds * 1e3);
    else std::snprintf(text, sizeof text, "%.2f s", seconds);
    return text;
}

// What a row shows for one side: per point for one-point calls, per call
// otherwise.
std::string Cell(const Side& side, const Key& k) {
    if (!side.error.empty()) return "error: " + side.error;
    if (!side.seconds) return "not run";
    if (k.what == "point" && side.points > 0)
        return FormatTime(*side.seconds / side.points) + " / point";
    return FormatTime(*side.seconds);
}

void Record(Side& side, const json& b) {
    if (b.value("error_occurred", false)) {
        side.error = b.value("error_message", std::string("unknown"));
        return;
    }
    const std::string runType = b.value("run_type", std::string("iteration"));
    const bool median = runType == "aggregate" && b.value("aggregate_name", "") == "median";
    if (runType == "aggregate" && !median) return;
    if (side.fromMedian && !median) return;  // a median beats single iterations
    side.seconds = ToSeconds(b.at("cpu_time").get<double>(), b.value("time_unit", "ns"));
    side.points = b.value("points", 0.0);
    side.fromMedian = median;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s bench_vs_gdal.json\n", argv[0]);
        return 2;
    }
    std::ifstream file(argv[1]);
    if (!file) {
        std::fprintf(stderr, "cannot read %s\n", argv[1]);
        return 1;
    }
    json results;
    try {
        results = json::parse(file);
    } catch (const json::exception& e) {
        std::fprintf(stderr, "%s: %s\n", argv[1], e.what());
        return 1;
    }

    std::vector<std::string> order;
    std::map<std::string, Pair> pairs;
    for (const json& b : results.value("benchmarks", json::array())) {
        const std::string runName = b.value("run_name", b.value("name", std::string()));
        const std::vector<std::string> parts = Split(runName, '/');
        std::string key;
        Side* side = nullptr;
        for (std::size_t i = 0; i < parts.size() && !side; ++i) {
            if (parts[i] == "ours" || parts[i] == "gdal") {
                if (!pairs.count(key)) order.push_back(key);
                side = parts[i] == "ours" ? &pairs[key].ours : &pairs[key].gdal;
            } else {
                key += (key.empty() ? "" : "/") + parts[i];
            }
        }
        if (side) Record(*side, b);
    }

    std::printf("| measurement | ours | GDAL | GDAL time / our time | target | met |\n");
    std::printf("|---|---:|---:|---:|---:|---|\n");
    int targets = 0, met = 0;
    for (const std::string& key : order) {
        const Key k = ParseKey(key);
        const Pair& p = pairs[key];
        std::string ratio = "-", verdict = "-";
        const double target = Target(k);
        if (p.ours.seconds && p.gdal.seconds && p.ours.error.empty() && p.gdal.error.empty()) {
            const double r = *p.gdal.seconds / *p.ours.seconds;
            char text[32];
            std::snprintf(text, sizeof text, "%.2f", r);
            ratio = text;
            if (target > 0) verdict = r >= target ? "yes" : "**no**";
        } else if (target > 0) {
            verdict = "**not measured**";
        }
        std::string targetText = "-";
        if (target > 0) {
            char text[32];
            std::snprintf(text, sizeof text, ">= %g", target);
            targetText = text;
            ++targets;
            met += verdict == "yes";
        }
        std::printf("| %s | %s | %s | %s | %s | %s |\n", Label(k).c_str(),
                    Cell(p.ours, k).c_str(), Cell(p.gdal, k).c_str(), ratio.c_str(),
                    targetText.c_str(), verdict.c_str());
    }
    std::printf("\nTargets met: %d of %d.\n", met, targets);
    return 0;
}
