// GdalSupport.h - what the raster commands share about GDAL: registering
// the drivers once, keeping GDAL's own messages off the terminal (the tool
// reports refusals in one line of its own, with GDAL's reason), and closing
// datasets on every way out.
#ifndef MORVANE_TOOLS_GDALSUPPORT_H
#define MORVANE_TOOLS_GDALSUPPORT_H

#include "Progress.h"

#include <gdal.h>

#include <memory>
#include <string>

namespace morvane::tool {

// Registers GDAL's drivers (once per process).
void EnsureGdalDrivers();

// While alive, GDAL's errors and warnings are kept rather than printed.
class QuietGdal {
public:
    QuietGdal();
    ~QuietGdal();
    QuietGdal(const QuietGdal&) = delete;
    QuietGdal& operator=(const QuietGdal&) = delete;
};

// GDAL's last error message, or `fallback` when it recorded none.
std::string LastGdalError(const std::string& fallback);

struct DatasetCloser {
    void operator()(GDALDatasetH dataset) const {
        if (dataset != nullptr) GDALClose(dataset);
    }
};
using Dataset = std::unique_ptr<std::remove_pointer_t<GDALDatasetH>, DatasetCloser>;

// Opens a raster read-only; throws Refusal naming the path and GDAL's reason.
Dataset OpenRasterForReading(const std::string& path);

// GDAL's progress callback drawing our progress bar (on a terminal only).
class GdalProgress {
public:
    explicit GdalProgress(std::string label) : bar_(std::move(label), kSteps) {}
    // GDALProgressFunc: pass the object as the callback's argument.
    static int CPL_STDCALL Callback(double complete, const char* message, void* self);
    void Finish() { bar_.Finish(); }

private:
    static constexpr std::size_t kSteps = 1000;
    Progress bar_;
    std::size_t done_ = 0;
};

// Writes through `temporary` and renames it over `target` on Commit();
// removes the temporary file otherwise.
class ReplacingOutput {
public:
    explicit ReplacingOutput(std::string target);
    ~ReplacingOutput();
    ReplacingOutput(const ReplacingOutput&) = delete;
    ReplacingOutput& operator=(const ReplacingOutput&) = delete;
    const std::string& Temporary() const { return temporary_; }
    // Throws Refusal when the rename fails.
    void Commit();

private:
    std::string target_;
    std::string temporary_;
    bool done_ = false;
};

}  // namespace morvane::tool

#endif
