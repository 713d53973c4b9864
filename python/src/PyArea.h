// PyArea.h - an open area, its groups and prepared transformers, as the
// Python module's objects see them.
//
// Area owns the open store (tool::AreaHandle of the exchange library, which
// opens and saves for the tool too).  Group objects name a group by number
// and share the area's state, so a group outliving its area's close refuses
// politely.  Every call takes the area's lock; the long ones (open, save,
// transform) run with the GIL released, and nobody waits for the lock while
// holding the GIL, so a thread waiting for the area never blocks the one
// inside it.
#ifndef MORVANE_PYTHON_PYAREA_H
#define MORVANE_PYTHON_PYAREA_H

#include "AreaHandle.h"

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <tuple>

class CCtrlPntSet;

namespace morvane::python {

struct AreaState;

// The category of the warnings about changes that were not saved
// (morvane.UnsavedChangesWarning); set when the module is imported.
extern PyObject* gUnsavedChangesWarning;

class Group;

class Area {
public:
    // address: a file path or "sqlite:..." / "postgresql://..." address.
    // create: a missing store is made (empty) instead of refused.
    // size: the raster's (columns, rows), each 0 to 2^31 - 1; None = (0, 0).
    static Area Open(const std::string& address, bool create, std::optional<std::tuple<long, long>> size);

    std::string Address() const;
    bool Closed() const;
    bool Modified() const;

    unsigned long GroupCount() const;
    // groupNo: 1 to GroupCount(); IndexError otherwise.
    Group GetGroup(long groupNo) const;
    // Appends an empty group of the named type (e.g. "poly1", "tps").
    Group AddGroup(const std::string& type);
    void DeleteGroup(long groupNo);

    // Saves if something changed and closes; SaveError keeps it open.
    void Close();
    // Drops every unsaved change and closes.
    void Discard();
    // The context manager's exit: see docs/python.md.
    void Exit(bool raised);

    std::shared_ptr<AreaState> State() const { return state_; }

private:
    explicit Area(std::shared_ptr<AreaState> state) : state_(std::move(state)) {}
    std::shared_ptr<AreaState> state_;
};

// Converts many positions with a fixed copy of a group's points, prepared
// once in one direction; later edits of the group do not reach it.
class Transformer {
public:
    Transformer(const Transformer&) = delete;
    Transformer(Transformer&&) noexcept;
    ~Transformer();

    // out: None (a new array) or the array the results go to.
    pybind11::array_t<double> Convert(const pybind11::object& xy, const pybind11::object& out);
    bool Inverse() const { return inverse_; }
    std::string Describe() const { return description_; }

private:
    friend class Group;
    Transformer(std::unique_ptr<CCtrlPntSet> set, bool inverse, short orientType, std::string description);

    std::unique_ptr<CCtrlPntSet> set_;
    std::unique_ptr<std::mutex> mutex_;   // one conversion at a time
    bool inverse_;
    short orientType_;   // of the group: TM_ORIENT_* (LineAxis.h)
    std::string description_;
};

class Group {
public:
    Group(std::shared_ptr<AreaState> state, unsigned long number) : state_(std::move(state)), number_(number) {}

    unsigned long Number() const { return number_; }
    std::string Type() const;
    void SetType(const std::string& type);
    std::string Orientation() const;
    unsigned long PointCount() const;

    pybind11::array Points() const;
    void AddPoints(const pybind11::object& points);

    // xy: (n, 2) pairs; out: None (a new array) or the array the results go to.
    pybind11::array_t<double> Transform(const pybind11::object& xy, bool inverse, const pybind11::object& out);
    Transformer MakeTransformer(bool inverse) const;

    pybind11::array Residuals() const;
    std::tuple<double, double> Rms() const;

    // Fit quality (FitQuality.cpp).  Leave-one-out figures of every point
    // (LOO_DTYPE; NaN where a point has none); the RMS of the used points'
    // leave-one-out residuals (user units, pixels); outliers and conflicts
    // found by a robust fit, their use flags turned off with apply; the
    // predicted standard-error ellipse at (n, 2) pixel/line positions.
    pybind11::array Loo() const;
    std::tuple<double, double> PredictionRms() const;
    pybind11::dict Refine(bool apply);
    pybind11::array_t<double> PredictedError(const pybind11::object& xy) const;

private:
    std::shared_ptr<AreaState> state_;
    unsigned long number_;
};

}  // namespace morvane::python

#endif
