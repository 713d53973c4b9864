// import and export: move the points of a group in and out of the file
// formats other tools use (FileFormat.h).
//
// Import reads and checks the whole file before it touches the area, so a
// file that is refused leaves the area exactly as it was.  Into an existing
// group that holds points it needs --append or --replace; into the group
// after the last one it creates that group.
#include "CommandContext.h"
#include "Commands.h"
#include "ExchangeFiles.h"
#include "FileFormat.h"
#include "Progress.h"
#include "RasterGcps.h"
#include "TextScan.h"

#include <fmt/format.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

namespace morvane::tool {

namespace {

namespace fs = std::filesystem;

struct ExchangeOptions {
    AreaOptions area;
    std::string file;
    std::string format;
    std::string type;
    std::string crs;
    std::string fromRaster;   // export --from: write a copy of this raster
    bool append = false;
    bool replace = false;
    bool force = false;
};

FileFormat FormatOf(const ExchangeOptions& o) { return morvane::tool::ChooseFormat(o.format, o.file); }

GcpTable ReadTable(const ExchangeOptions& o) { return ReadTableFile(FormatOf(o), o.file); }

void DeleteAllPoints(AreaHandle& area) {
    for (unsigned long i = PointCount(area); i >= 1; --i) {
        bool edit = true;
        area.GetOneGCPEditOnOff(i, edit);
        if (!edit) throw Refusal(fmt::format("point {} of the group is locked; --replace would delete it", i));
        area.DeleteOneGCP(i);
        if (PointCount(area) != i - 1) throw Refusal(fmt::format("point {} of the group cannot be deleted", i));
    }
}

void RunImport(const ExchangeOptions& o) {
    if (o.append && o.replace) throw std::invalid_argument("--append and --replace exclude each other");
    std::optional<short> type;
    if (!o.type.empty()) {
        type = TransTypeByName(o.type);
        if (!type) throw std::invalid_argument(fmt::format("unknown type \"{}\": one of {}", o.type, kTransTypeHelp));
    }
    // A raster's own GCPs come with its size, which sets the group's range
    // unless --size says otherwise.
    AreaOptions areaOptions = o.area;
    GcpTable table;
    if (std::optional<RasterGcps> raster = ReadRasterGcpsForImport(o.file, o.format)) {
        table = std::move(raster->table);
        if (areaOptions.size.empty()) areaOptions.size = fmt::format("{}x{}", raster->columns, raster->rows);
    } else {
        table = ReadTable(o);
    }
    std::unique_ptr<AreaHandle> area = OpenArea(areaOptions, OpenMode::ChangeOrMake);
    unsigned long groups = GroupCount(*area);
    unsigned long g = o.area.group;
    if (g < 1 || g > groups + 1) {
        throw Refusal(fmt::format("group {}: the area holds {} groups; import into 1 to {}", g, groups, groups + 1));
    }
    bool created = g == groups + 1;
    if (created && area->CreateGCPGroup(g) != 1) throw Refusal(fmt::format("group {} cannot be created", g));
    {
        GroupScope scope(*area, g);
        GroupType groupType = ReadGroupType(*area);
        // Every row is converted before the first one is stored.
        std::vector<_CtrlPntStrcT> records;
        records.reserve(table.rows.size());
        for (std::size_t i = 0; i < table.rows.size(); ++i) {
            try {
                records.push_back(RecordFromRow(table.rows[i], groupType.orient));
            } catch (const Refusal& error) {
                if (table.rows[i].fileLine == 0) throw Refusal(fmt::format("{}: point {}: {}", o.file, i + 1, error.what()));
                throw Refusal(fmt::format("{}:{}: {}", o.file, table.rows[i].fileLine, error.what()));
            }
        }
        unsigned long existing = PointCount(*area);
        if (existing > 0 && !o.append && !o.replace) {
            throw Refusal(fmt::format("group {} already holds {} points: give --append or --replace", g, existing));
        }
        if (o.replace) DeleteAllPoints(*area);
        if (type && area->SetGCPGroupType(*type) != 1) throw Refusal(fmt::format("type {} refused", o.type));
        Progress progress("import", records.size());
        AppendRecords(*area, records, progress,
                      [&](std::size_t i) { return fmt::format("{}: point {}", o.file, i + 1); });
        progress.Finish();
    }
    area->Commit();
    fmt::print(stderr, "imported {} points into group {}{} of {}\n", table.rows.size(), g, created ? " (new)" : "",
               ShownAreaAddress(o.area.area));
}

void RunExport(const ExchangeOptions& o) {
    if (!o.fromRaster.empty() && !o.format.empty()) throw std::invalid_argument("--from writes a GeoTIFF: drop --format");
    FileFormat format = o.fromRaster.empty() ? FormatOf(o) : FileFormat::Vrt;
    std::error_code ec;
    bool exists = fs::exists(o.file, ec);
    if (exists && !o.force) throw Refusal(fmt::format("{}: already exists (give --force to replace it)", o.file));
    std::unique_ptr<AreaHandle> area = OpenArea(o.area, OpenMode::Read);
    GcpTable table;
    table.crs = o.crs;
    {
        GroupScope scope(*area, o.area.group);
        GroupType type = ReadGroupType(*area);
        std::vector<_CtrlPntStrcT> points = ReadPoints(*area);
        for (unsigned long i = 1; i <= points.size(); ++i) {
            GcpRow row = RowFromRecord(points[i - 1], type.orient);
            row.residual = ResidualOf(*area, i, type.orient);
            table.rows.push_back(row);
        }
    }
    area->Discard();
    if (!o.fromRaster.empty()) {
        WriteRasterWithGcps(o.fromRaster, o.file, table);
        fmt::print(stderr, "exported {} points of group {} to {} (a copy of {} with them as its GCPs)\n",
                   table.rows.size(), o.area.group, o.file, o.fromRaster);
        return;
    }
    WriteOptions writeOptions;
    RasterSize size = ParseRasterSize(o.area.size);
    writeOptions.columns = size.columns;
    writeOptions.rows = size.rows;
    if (exists && format == FileFormat::Vrt) writeOptions.existing = ReadWholeFile(o.file);
    std::string text;
    try {
        text = WriteGcps(format, table, writeOptions);
    } catch (const FormatError& error) {
        throw Refusal(fmt::format("{}: {}", o.file, error.what()));
    }
    WriteWholeFile(o.file, text);
    fmt::print(stderr, "exported {} points of group {} to {} ({})\n", table.rows.size(), o.area.group, o.file,
               FormatName(format));
}

}  // namespace

void AddExchangeCommands(CLI::App& app) {
    std::string formats = std::string("file format: ") + FormatNamesHelp() + " (default: from the file name)";

    auto in = std::make_shared<ExchangeOptions>();
    CLI::App* import = app.add_subcommand("import", "read the points of a group from a file");
    AddAreaArgument(*import, in->area);
    AddGroupOption(*import, in->area);
    import->add_option("FILE", in->file, "file to read")->required();
    import->add_option("-f,--format", in->format,
                       formats + "; raster: the GCPs stored in any raster GDAL opens (the default for a file "
                                 "whose name names none of these)");
    import->add_flag("--append", in->append, "add the points after the group's own");
    import->add_flag("--replace", in->replace, "delete the group's points first");
    import->add_option("-t,--type", in->type, std::string("set the group's transformation type: ") + kTransTypeHelp);
    import->footer("A missing control-point file, database or database area is created.  Importing into the\n"
                   "group after the last creates that group.  See docs/formats.md for each format's conventions.\n"
                   "A raster's size (import from a raster) sets the group's range unless --size is given.");
    import->callback([in] { RunImport(*in); });

    auto out = std::make_shared<ExchangeOptions>();
    CLI::App* exportCommand = app.add_subcommand("export", "write the points of a group to a file");
    AddAreaArgument(*exportCommand, out->area);
    AddGroupOption(*exportCommand, out->area);
    exportCommand->add_option("FILE", out->file, "file to write")->required();
    exportCommand->add_option("-f,--format", out->format, formats);
    exportCommand->add_option("--crs", out->crs,
                              "map coordinate system text to record (points, vrt, geojson; with --from the "
                              "GCPs', default the raster's own)");
    exportCommand->add_option("--from", out->fromRaster,
                              "write FILE as a GeoTIFF copy of this raster with the points as its GCPs "
                              "(the raster itself is only read)");
    exportCommand->add_flag("--force", out->force,
                            "replace an existing file (an existing .vrt keeps everything but its GCP list)");
    exportCommand->callback([out] { RunExport(*out); });
}

}  // namespace morvane::tool
