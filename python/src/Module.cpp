// The compiled part of the Python package morvane (morvane/_morvane): the
// areas, groups and transformers of PyArea.h, the exchange files (the
// exchange library's, which the tool reads and writes too), and the
// exceptions.  morvane/__init__.py re-exports it.
#include "AreaHandle.h"
#include "Errors.h"
#include "ExchangeFiles.h"
#include "MorvaneModule.h"
#include "PointArrays.h"
#include "PyArea.h"
#include "TextScan.h"

#include <fmt/format.h>
#include <pybind11/stl.h>

#include <cerrno>
#include <filesystem>

namespace py = pybind11;

namespace morvane::python {

namespace {

// A path argument: str, bytes or os.PathLike.
std::string PathText(const py::object& path) {
    py::object text = py::module_::import("os").attr("fsdecode")(path);
    return text.cast<std::string>();
}

tool::FileFormat FormatFor(const std::optional<std::string>& format, const std::string& path) {
    return tool::ChooseFormat(format.value_or(""), path);
}

[[noreturn]] void RaiseOSError(int error, const std::string& path) {
    errno = error;
    PyErr_SetFromErrnoWithFilename(PyExc_OSError, path.c_str());
    throw py::error_already_set();
}

py::object ReadPoints(const py::object& pathObject, const std::optional<std::string>& format, bool withCrs) {
    const std::string path = PathText(pathObject);
    const tool::FileFormat chosen = FormatFor(format, path);
    std::error_code ec;
    if (!std::filesystem::exists(path, ec)) RaiseOSError(ENOENT, path);
    tool::GcpTable table;
    try {
        table = tool::ReadTableFile(chosen, path);
    } catch (const tool::Refusal& error) {
        throw FormatError(error.what());
    }
    py::array points = ArrayFromRows(table.rows);
    if (withCrs) return py::make_tuple(points, table.crs);
    return points;
}

void WritePoints(const py::object& pathObject, const py::object& points, const std::optional<std::string>& format,
                 const std::string& crs, std::optional<std::tuple<long, long>> size) {
    const std::string path = PathText(pathObject);
    const tool::FileFormat chosen = FormatFor(format, path);
    tool::GcpTable table;
    table.rows = RowsFromArray(points);
    table.crs = crs;
    tool::WriteOptions options;
    if (size) std::tie(options.columns, options.rows) = *size;
    if (options.columns < 0 || options.rows < 0) throw std::invalid_argument("size: columns and rows must be >= 0");
    std::error_code ec;
    try {
        // An existing VRT keeps everything but its GCP list.
        if (chosen == tool::FileFormat::Vrt && std::filesystem::exists(path, ec)) {
            options.existing = tool::ReadWholeFile(path);
        }
        std::string text;
        try {
            text = tool::WriteGcps(chosen, table, options);
        } catch (const tool::FormatError& error) {
            throw FormatError(fmt::format("{}: {}", path, error.what()));
        }
        tool::WriteWholeFile(path, text);
    } catch (const tool::Refusal& error) {
        PyErr_SetString(PyExc_OSError, error.what());
        throw py::error_already_set();
    }
}

void BindErrors(py::module_& m) {
    auto& base = py::register_exception<Error>(m, "Error");
    py::register_exception<OpenError>(m, "OpenError", base.ptr());
    py::register_exception<SaveError>(m, "SaveError", base.ptr());
    py::register_exception<TransformError>(m, "TransformError", base.ptr());
    py::register_exception<RefusedError>(m, "RefusedError", base.ptr());
    py::register_exception<FormatError>(m, "FormatError", base.ptr());
    gUnsavedChangesWarning =
        PyErr_NewException("morvane._morvane.UnsavedChangesWarning", PyExc_UserWarning, nullptr);
    if (gUnsavedChangesWarning == nullptr) throw py::error_already_set();
    m.attr("UnsavedChangesWarning") = py::handle(gUnsavedChangesWarning);
}

// The group list of an area: numbered from 1 as the library numbers them.
struct GroupList {
    Area area;
};

void BindAreas(py::module_& m) {
    py::class_<Transformer>(m, "Transformer")
        .def("__call__", &Transformer::Convert, py::arg("xy"), py::kw_only(), py::arg("out") = py::none())
        .def_property_readonly("inverse", &Transformer::Inverse)
        .def("__repr__", [](const Transformer& t) { return "<morvane.Transformer " + t.Describe() + ">"; });

    py::class_<Group>(m, "Group")
        .def_property_readonly("number", &Group::Number)
        .def_property("type", &Group::Type, &Group::SetType)
        .def_property_readonly("orientation", &Group::Orientation)
        .def("__len__", &Group::PointCount)
        .def_property_readonly("points", &Group::Points)
        .def("add_points", &Group::AddPoints, py::arg("points"))
        .def("transform", &Group::Transform, py::arg("xy"), py::arg("inverse") = false, py::kw_only(),
             py::arg("out") = py::none())
        .def("transformer", &Group::MakeTransformer, py::arg("inverse") = false)
        .def("residuals", &Group::Residuals)
        .def("rms", &Group::Rms)
        .def("loo", &Group::Loo)
        .def("prediction_rms", &Group::PredictionRms)
        .def("refine", &Group::Refine, py::kw_only(), py::arg("apply") = false)
        .def("predicted_error", &Group::PredictedError, py::arg("xy"))
        .def("__repr__", [](const Group& g) { return fmt::format("<morvane.Group {}>", g.Number()); });

    py::class_<GroupList>(m, "GroupList")
        .def("__len__", [](const GroupList& l) { return l.area.GroupCount(); })
        .def("__getitem__", [](const GroupList& l, long n) { return l.area.GetGroup(n); })
        .def("__delitem__", [](GroupList& l, long n) { l.area.DeleteGroup(n); })
        .def("__iter__", [](const GroupList& l) {
            py::list groups;
            const unsigned long count = l.area.GroupCount();
            for (unsigned long n = 1; n <= count; ++n) groups.append(l.area.GetGroup(static_cast<long>(n)));
            return py::iter(groups);
        });

    py::class_<Area>(m, "Area")
        .def_property_readonly("address", &Area::Address)
        .def_property_readonly("closed", &Area::Closed)
        .def_property_readonly("modified", &Area::Modified)
        .def_property_readonly("groups", [](const Area& a) { return GroupList{a}; })
        .def("add_group", &Area::AddGroup, py::kw_only(), py::arg("type") = "poly1")
        .def("delete_group", &Area::DeleteGroup, py::arg("number"))
        .def("close", &Area::Close)
        .def("discard", &Area::Discard)
        .def("__enter__", [](const py::object& self) { return self; })
        .def("__exit__",
             [](Area& a, const py::object& type, const py::object&, const py::object&) {
                 a.Exit(!type.is_none());
                 return false;
             })
        .def("__repr__", [](const Area& a) {
            return fmt::format("<morvane.Area {}{}>", a.Address(), a.Closed() ? " (closed)" : "");
        });

    m.def(
        "open",
        [](const py::object& address, bool create, std::optional<std::tuple<long, long>> size) {
            return Area::Open(PathText(address), create, size);
        },
        py::arg("address"), py::kw_only(), py::arg("create") = false, py::arg("size") = py::none());
}

}  // namespace
}  // namespace morvane::python

using namespace morvane::python;

PYBIND11_MODULE(_morvane, m) {
    m.doc() = "Ground control points of raster images: areas, groups, transformations, exchange files.";
    m.attr("__version__") = MorvaneVersion();
    m.attr("POINT_DTYPE") = PointDtype();
    m.attr("RESIDUAL_DTYPE") = ResidualDtype();
    BindErrors(m);
    BindAreas(m);
    m.def("read_points", &ReadPoints, py::arg("path"), py::arg("format") = py::none(), py::kw_only(),
          py::arg("with_crs") = false);
    m.def("write_points", &WritePoints, py::arg("path"), py::arg("points"), py::arg("format") = py::none(),
          py::kw_only(), py::arg("crs") = "", py::arg("size") = py::none());
}

