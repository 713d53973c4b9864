#include "PointArrays.h"

#include <fmt/format.h>

#include <cstdint>
#include <type_traits>
#include <stdexcept>
#include <string>

namespace py = pybind11;

namespace morvane::python {

namespace {

constexpr const char* kFloatFields[] = {"pixel", "line", "x", "y", "z"};
constexpr const char* kRequiredFields[] = {"pixel", "line", "x", "y"};

template <class Row>
auto& FloatField(Row& row, int field) {
    switch (field) {
        case 0: return row.pixel;
        case 1: return row.line;
        case 2: return row.x;
        case 3: return row.y;
        default: return row.z;
    }
}

py::dtype MakeDtype(const py::list& fields) { return py::dtype::from_args(fields); }

// Names are bytes in the store; a name that is not UTF-8 still travels
// unchanged through Python as a str with escaped bytes (PEP 383).
py::str NameToStr(const std::string& name) {
    PyObject* text = PyUnicode_DecodeUTF8(name.data(), static_cast<Py_ssize_t>(name.size()), "surrogateescape");
    if (text == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(text);
}

std::string NameFromObject(const py::handle& value, std::size_t row) {
    if (py::isinstance<py::bytes>(value)) return value.cast<std::string>();
    if (!py::isinstance<py::str>(value)) {
        throw std::invalid_argument(fmt::format("row {}: name must be a str", row));
    }
    PyObject* bytes = PyUnicode_AsEncodedString(value.ptr(), "utf-8", "surrogateescape");
    if (bytes == nullptr) {
        PyErr_Clear();
        throw std::invalid_argument(fmt::format("row {}: the name cannot be encoded as UTF-8", row));
    }
    return py::reinterpret_steal<py::bytes>(bytes).cast<std::string>();
}

bool HasField(const py::dtype& dtype, const char* name) {
    py::object names = dtype.attr("names");
    if (names.is_none()) return false;
    for (py::handle n : names) {
        if (n.cast<std::string>() == name) return true;
    }
    return false;
}

// One field of the structured array as a contiguous array of T; values
// that do not convert exactly to T are refused, not wrapped or truncated.
template <class T>
py::array_t<T> Column(const py::array& points, const char* field) {
    py::object column = points[py::str(field)];
    py::object numpy = py::module_::import("numpy");
    // An out-of-range value is refused below; NumPy need not warn about it.
    py::object quiet = numpy.attr("errstate")(py::arg("invalid") = "ignore", py::arg("over") = "ignore");
    quiet.attr("__enter__")();
    py::array converted;
    try {
        converted = numpy.attr("asarray")(column, py::dtype::of<T>());
    } catch (...) {
        quiet.attr("__exit__")(py::none(), py::none(), py::none());
        throw;
    }
    quiet.attr("__exit__")(py::none(), py::none(), py::none());
    // Numbers convert as NumPy converts them; an id or flag must survive
    // the conversion unchanged (no wrap-around, no truncated fraction).
    if (!std::is_same_v<T, double> && !numpy.attr("array_equal")(converted, column).template cast<bool>()) {
        throw std::invalid_argument(fmt::format("field \"{}\" holds values that are not {}", field,
                                                std::is_same_v<T, bool> ? "True or False" : "32-bit integers"));
    }
    return py::array_t<T, py::array::c_style | py::array::forcecast>::ensure(converted);
}

}  // namespace

py::dtype PointDtype() {
    py::list fields;
    for (const char* f : kFloatFields) fields.append(py::make_tuple(f, "<f8"));
    fields.append(py::make_tuple("name", "<U31"));
    fields.append(py::make_tuple("id", "<i4"));
    fields.append(py::make_tuple("use", "?"));
    fields.append(py::make_tuple("edit", "?"));
    return MakeDtype(fields);
}

py::dtype ResidualDtype() {
    py::list fields;
    for (const char* f : kRequiredFields) fields.append(py::make_tuple(f, "<f8"));
    return MakeDtype(fields);
}

py::array ArrayFromRows(const std::vector<tool::GcpRow>& rows) {
    const auto n = static_cast<py::ssize_t>(rows.size());
    py::array result = py::module_::import("numpy").attr("zeros")(n, PointDtype());
    for (int f = 0; f < 5; ++f) {
        py::array_t<double> column(n);
        auto out = column.mutable_unchecked<1>();
        for (py::ssize_t i = 0; i < n; ++i) out(i) = FloatField(rows[i], f);
        result[py::str(kFloatFields[f])] = column;
    }
    py::array_t<std::int32_t> ids(n);
    py::array_t<bool> use(n), edit(n);
    py::list names;
    for (py::ssize_t i = 0; i < n; ++i) {
        ids.mutable_at(i) = rows[i].id;
        use.mutable_at(i) = rows[i].use;
        edit.mutable_at(i) = rows[i].edit;
        names.append(NameToStr(rows[i].name));
    }
    result[py::str("id")] = ids;
    result[py::str("use")] = use;
    result[py::str("edit")] = edit;
    if (n > 0) result[py::str("name")] = names;
    return result;
}

std::vector<tool::GcpRow> RowsFromArray(const py::object& object) {
    if (!py::isinstance<py::array>(object)) {
        throw std::invalid_argument("points must be a NumPy structured array (dtype morvane.POINT_DTYPE)");
    }
    py::array points = py::reinterpret_borrow<py::array>(object);
    if (points.dtype().attr("names").is_none()) {
        throw std::invalid_argument("points must be a NumPy structured array (dtype morvane.POINT_DTYPE), not one of "
                                    + py::str(points.dtype()).cast<std::string>());
    }
    if (points.ndim() != 1) {
        throw std::invalid_argument(fmt::format("points must be one-dimensional, not {}-dimensional", points.ndim()));
    }
    for (const char* f : kRequiredFields) {
        if (!HasField(points.dtype(), f)) {
            throw std::invalid_argument(fmt::format("points lack the field \"{}\" (pixel, line, x, y are required)", f));
        }
    }
    const auto n = static_cast<std::size_t>(points.shape(0));
    std::vector<tool::GcpRow> rows(n);
    for (int f = 0; f < 5; ++f) {
        if (!HasField(points.dtype(), kFloatFields[f])) continue;
        auto column = Column<double>(points, kFloatFields[f]);
        for (std::size_t i = 0; i < n; ++i) FloatField(rows[i], f) = column.at(static_cast<py::ssize_t>(i));
    }
    if (HasField(points.dtype(), "id")) {
        auto ids = Column<std::int32_t>(points, "id");
        for (std::size_t i = 0; i < n; ++i) rows[i].id = ids.at(static_cast<py::ssize_t>(i));
    }
    if (HasField(points.dtype(), "use")) {
        auto use = Column<bool>(points, "use");
        for (std::size_t i = 0; i < n; ++i) rows[i].use = use.at(static_cast<py::ssize_t>(i));
    }
    if (HasField(points.dtype(), "edit")) {
        auto edit = Column<bool>(points, "edit");
        for (std::size_t i = 0; i < n; ++i) rows[i].edit = edit.at(static_cast<py::ssize_t>(i));
    }
    if (HasField(points.dtype(), "name")) {
        py::list names = points[py::str("name")].attr("tolist")();
        for (std::size_t i = 0; i < n; ++i) rows[i].name = NameFromObject(names[i], i);
    }
    return rows;
}

py::array ArrayFromResiduals(const std::vector<tool::GcpResidual>& residuals) {
    const auto n = static_cast<py::ssize_t>(residuals.size());
    py::array result = py::module_::import("numpy").attr("zeros")(n, ResidualDtype());
    const double tool::GcpResidual::*members[] = {&tool::GcpResidual::pixel, &tool::GcpResidual::line,
                                                  &tool::GcpResidual::x, &tool::GcpResidual::y};
    for (int f = 0; f < 4; ++f) {
        py::array_t<double> column(n);
        for (py::ssize_t i = 0; i < n; ++i) column.mutable_at(i) = residuals[i].*members[f];
        result[py::str(kRequiredFields[f])] = column;
    }
    return result;
}

}  // namespace morvane::python
