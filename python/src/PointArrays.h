// PointArrays.h - control points as NumPy structured arrays.
//
// A point array has the fields of POINT_DTYPE: pixel, line, x, y, z
// (float64; pixel/line with the line axis pointing down, as the exchange
// formats and the tool see them), name (str, at most 31 UTF-8 bytes), id
// (int32), use and edit (bool).  A residual array has the fields pixel,
// line, x, y (float64, fitted minus stored).
#ifndef MORVANE_PYTHON_POINTARRAYS_H
#define MORVANE_PYTHON_POINTARRAYS_H

#include "GcpTable.h"

#include <pybind11/numpy.h>

#include <vector>

namespace morvane::python {

pybind11::dtype PointDtype();
pybind11::dtype ResidualDtype();

// A new point array holding the rows.
pybind11::array ArrayFromRows(const std::vector<tool::GcpRow>& rows);
// The rows of a one-dimensional structured array.  pixel, line, x and y
// are required; z, name, id, use and edit default to 0, "", 0, True, True.
// Throws std::invalid_argument naming the field or row at fault.
std::vector<tool::GcpRow> RowsFromArray(const pybind11::object& points);

// A new residual array: one row per residual.
pybind11::array ArrayFromResiduals(const std::vector<tool::GcpResidual>& residuals);

}  // namespace morvane::python

#endif
