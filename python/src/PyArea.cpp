#include "PyArea.h"

#include "AreaAddress.h"
#include "CtrlPntSet.h"
#include "Errors.h"
#include "GroupRecords.h"
#include "LineAxis.h"
#include "PointArrays.h"

#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <cstring>
#include <vector>

namespace py = pybind11;

namespace morvane::python {

PyObject* gUnsavedChangesWarning = nullptr;

struct AreaState {
    std::unique_ptr<tool::AreaHandle> handle;   // null once closed
    std::string shown;                          // the address, password hidden
    bool dirty = false;                         // an edit was accepted since the open or the last save
    std::mutex mutex;

    AreaState() = default;
    AreaState(const AreaState&) = delete;
    AreaState& operator=(const AreaState&) = delete;

    // The last reference went away without close() or discard(): the
    // changes are dropped, and the user is told, never silently.  Runs with
    // the GIL held (Python drops the last reference).
    ~AreaState() {
        if (!handle || !dirty || gUnsavedChangesWarning == nullptr || !Py_IsInitialized()) return;
        std::string message =
            fmt::format("{}: the area was never closed; its unsaved changes are dropped (call close())", shown);
        if (PyErr_WarnEx(gUnsavedChangesWarning, message.c_str(), 1) != 0) PyErr_WriteUnraisable(nullptr);
    }
};

namespace {

using tool::AreaHandle;
using tool::Refusal;

struct GroupType {
    short orient = 0;   // TM_ORIENT_*
    short trans = 0;    // TM_TRANS_*
};

// Takes the area's lock; waits for it with the GIL released, so that the
// thread holding it can take the GIL back when it is done.
std::unique_lock<std::mutex> LockArea(AreaState& state) {
    std::unique_lock<std::mutex> lock(state.mutex, std::try_to_lock);
    if (!lock.owns_lock()) {
        py::gil_scoped_release release;
        lock.lock();
    }
    return lock;
}

AreaHandle& OpenHandle(const AreaState& state) {
    if (!state.handle) throw std::invalid_argument(fmt::format("{}: the area is closed", state.shown));
    return *state.handle;
}

unsigned long CountGroups(AreaHandle& area) {
    unsigned long count = 0;
    if (area.GetGCPGroupNum(count) != 1) throw Error("cannot read the group count");
    return count;
}

unsigned long CheckedGroupNumber(AreaHandle& area, long groupNo) {
    unsigned long count = CountGroups(area);
    if (groupNo < 1 || static_cast<unsigned long>(groupNo) > count) {
        throw py::index_error(count == 0 ? fmt::format("group {}: the area holds no groups", groupNo)
                                         : fmt::format("group {}: no such group (the area holds groups 1 to {})",
                                                       groupNo, count));
    }
    return static_cast<unsigned long>(groupNo);
}

// Makes group groupNo current for the scope: the lock is held, and a group
// number that a deletion made stale is refused.
class CurrentGroup {
public:
    CurrentGroup(AreaState& state, unsigned long groupNo) : lock_(LockArea(state)), area_(OpenHandle(state)) {
        CheckedGroupNumber(area_, static_cast<long>(groupNo));
        if (area_.OpenGCPGroup(groupNo) != 1) throw Error(fmt::format("group {}: cannot be opened", groupNo));
    }
    ~CurrentGroup() { area_.CloseGCPGroup(); }
    CurrentGroup(const CurrentGroup&) = delete;
    CurrentGroup& operator=(const CurrentGroup&) = delete;

    AreaHandle& area() { return area_; }

    GroupType Type() {
        GroupType type;
        if (area_.GetGCPGroupType(type.orient, type.trans) != 1) throw Error("cannot read the group's type");
        return type;
    }
    unsigned long Count() {
        unsigned long count = 0;
        if (area_.GetGCPNum(count) != 1) throw Error("cannot read the point count");
        return count;
    }
    std::vector<_CtrlPntStrcT> Records() {
        std::vector<_CtrlPntStrcT> records(Count());
        for (unsigned long i = 1; i <= records.size(); ++i) {
            if (area_.GetOneGCP(i, &records[i - 1]) != 1) throw Error(fmt::format("point {}: cannot be read", i));
        }
        return records;
    }

private:
    std::unique_lock<std::mutex> lock_;
    AreaHandle& area_;
};

short TypeByName(const std::string& name) {
    std::optional<short> type = tool::TransTypeByName(name);
    if (!type) throw std::invalid_argument(fmt::format("unknown type \"{}\": one of {}", name, tool::kTransTypeHelp));
    return *type;
}

std::string NoFitReason(unsigned long groupNo, short transType) {
    return fmt::format("group {} has no usable {} fit (it needs {} used points, not collinear)", groupNo,
                       tool::TransTypeName(transType), CCtrlPntSet::MinPointsForType(transType));
}

// ---- converting (n, 2) arrays --------------------------------------------

using PairArray = py::array_t<double, py::array::c_style | py::array::forcecast>;

PairArray RequirePairs(const py::object& xy) {
    PairArray pairs = PairArray::ensure(xy);
    if (!pairs) {
        PyErr_Clear();
        throw std::invalid_argument("xy must be an (n, 2) array of numbers");
    }
    if (pairs.ndim() != 2 || pairs.shape(1) != 2) {
        std::string shape;
        for (py::ssize_t d = 0; d < pairs.ndim(); ++d) shape += (d ? ", " : "") + std::to_string(pairs.shape(d));
        throw std::invalid_argument(fmt::format("xy must be an (n, 2) array, not one of shape ({})", shape));
    }
    return pairs;
}

void NegateLines(double* pairs, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) pairs[2 * i + 1] = -pairs[2 * i + 1];
}

// A group that stores lines upward wants pixel/line negated on their way in
// (forward) or out (inverse); callers always see lines counted downward.
enum class LineFlip { None, BeforeConversion, AfterConversion };

LineFlip FlipFor(short orientType, bool inverse) {
    if (tool::StoredLineSign(orientType) > 0.0) return LineFlip::None;
    return inverse ? LineFlip::AfterConversion : LineFlip::BeforeConversion;
}

// The array the results go to: a new one, or the caller's `out`, which must
// be a writable C-contiguous float64 array of the input's shape, and either
// the input itself (in-place conversion) or an array that shares no memory
// with it.
py::array_t<double> OutputFor(const PairArray& in, const py::object& out) {
    const py::ssize_t count = in.shape(0);
    if (out.is_none()) return py::array_t<double>({count, py::ssize_t{2}});
    auto fail = [](const std::string& why) { return std::invalid_argument("out: " + why); };
    if (!py::isinstance<py::array>(out)) throw fail("must be a NumPy array");
    auto array = py::reinterpret_borrow<py::array>(out);
    if (!array.dtype().is(py::dtype::of<double>())) throw fail("must be of dtype float64");
    if (!(array.flags() & py::array::c_style)) throw fail("must be C-contiguous");
    if (!array.writeable()) throw fail("must be writable");
    if (array.ndim() != 2 || array.shape(0) != count || array.shape(1) != 2) {
        throw fail(fmt::format("must have the shape of xy, ({}, 2)", count));
    }
    auto result = py::array_t<double>::ensure(array);
    const bool same = result.data() == in.data();
    if (!same && py::module_::import("numpy").attr("may_share_memory")(result, in).cast<bool>()) {
        throw fail("overlaps xy without being xy itself");
    }
    return result;
}

// batch(in, out, n) and point(in1, in2, out1, out2) return true on success.
// The whole array goes through one batch call with the GIL released.
template <class Batch, class Point>
py::array_t<double> ConvertPairs(const PairArray& in, py::array_t<double> out, LineFlip flip, Batch batch,
                                 Point point) {
    const auto count = static_cast<std::size_t>(in.shape(0));
    const double* source = in.data();
    double* target = out.mutable_data();
    bool converted = true;
    {
        py::gil_scoped_release release;
        if (flip == LineFlip::BeforeConversion) {
            if (target != source) std::memcpy(target, source, count * 2 * sizeof(double));
            NegateLines(target, count);
            source = target;
        }
        if (count > 0) converted = batch(source, target, count);
        if (converted && flip == LineFlip::AfterConversion) NegateLines(target, count);
        // A refused input is refused before anything is written: an
        // in-place conversion gets its lines back.
        if (!converted && flip == LineFlip::BeforeConversion && target == in.data()) NegateLines(target, count);
    }
    if (converted) return out;
    // Name the first position at fault, for the message.
    const double* original = in.data();
    for (std::size_t i = 0; i < count; ++i) {
        double a = original[2 * i], b = original[2 * i + 1];
        if (!std::isfinite(a) || !std::isfinite(b)) {
            throw std::invalid_argument(fmt::format("xy[{}] = ({}, {}) is not finite", i, a, b));
        }
        double x = 0, y = 0;
        if (!point(a, flip == LineFlip::BeforeConversion ? -b : b, x, y)) {
            throw TransformError(fmt::format("xy[{}] = ({}, {}) cannot be converted", i, a, b));
        }
    }
    throw TransformError("the positions cannot be converted");
}

}  // namespace

// ---- Area -------------------------------------------------------------------

Area Area::Open(const std::string& address, bool create, std::optional<std::tuple<long, long>> size) {
    tool::AreaAddress parsed = tool::ParseAreaAddress(address);
    long columns = 0, rows = 0;
    if (size) std::tie(columns, rows) = *size;
    if (columns < 0 || rows < 0 || columns > 2147483647L || rows > 2147483647L) {
        throw std::invalid_argument(
            fmt::format("size ({}, {}): columns and rows are whole numbers from 0 to 2147483647", columns, rows));
    }
    auto state = std::make_shared<AreaState>();
    state->shown = parsed.Describe();
    const tool::OpenMode mode = create ? tool::OpenMode::ChangeOrMake : tool::OpenMode::Change;
    std::string refusal;
    {
        py::gil_scoped_release release;
        try {
            state->handle = tool::OpenAreaHandle(parsed, mode, columns, rows);
        } catch (const Refusal& error) {
            refusal = error.what();
        }
    }
    if (!state->handle) throw OpenError(refusal);
    return Area(std::move(state));
}

std::string Area::Address() const { return state_->shown; }

bool Area::Closed() const {
    auto lock = LockArea(*state_);
    return !state_->handle;
}

bool Area::Modified() const {
    auto lock = LockArea(*state_);
    return state_->handle && state_->dirty;
}

unsigned long Area::GroupCount() const {
    auto lock = LockArea(*state_);
    return CountGroups(OpenHandle(*state_));
}

Group Area::GetGroup(long groupNo) const {
    auto lock = LockArea(*state_);
    return Group(state_, CheckedGroupNumber(OpenHandle(*state_), groupNo));
}

Group Area::AddGroup(const std::string& typeName) {
    TypeByName(typeName);   // an unknown name is refused before anything changes
    unsigned long number = 0;
    {
        auto lock = LockArea(*state_);
        AreaHandle& area = OpenHandle(*state_);
        number = CountGroups(area) + 1;
        if (area.CreateGCPGroup(number) != 1) throw RefusedError(fmt::format("group {}: cannot be created", number));
        state_->dirty = true;
    }
    Group group(state_, number);
    try {
        group.SetType(typeName);
    } catch (const RefusedError&) {
        DeleteGroup(static_cast<long>(number));
        throw;
    }
    return group;
}

void Area::DeleteGroup(long groupNo) {
    auto lock = LockArea(*state_);
    AreaHandle& area = OpenHandle(*state_);
    unsigned long number = CheckedGroupNumber(area, groupNo);
    if (area.DeleteGCPGroup(number) != 1) throw RefusedError(fmt::format("group {}: cannot be deleted", number));
    state_->dirty = true;
}

void Area::Close() {
    auto lock = LockArea(*state_);
    if (!state_->handle) return;
    std::string refusal;
    bool saved = false;
    {
        py::gil_scoped_release release;
        try {
            state_->handle->Save();
            saved = true;
        } catch (const Refusal& error) {
            refusal = error.what();
        }
    }
    if (!saved) throw SaveError(refusal);
    state_->handle.reset();
    state_->dirty = false;
}

void Area::Discard() {
    auto lock = LockArea(*state_);
    if (!state_->handle) return;
    state_->handle->Discard();
    state_->handle.reset();
    state_->dirty = false;
}

void Area::Exit(bool raised) {
    if (!raised) return Close();
    bool keep = false;
    {
        auto lock = LockArea(*state_);
        keep = state_->handle && state_->dirty;
    }
    if (!keep) return Discard();
    // An edit may have stopped half-way: saving it could store what the
    // caller never meant, so the area stays open and unsaved, and says so.
    std::string message = fmt::format(
        "{}: not saved because the with block raised; the area stays open with its changes: call close() to "
        "save them or discard() to drop them",
        state_->shown);
    if (PyErr_WarnEx(gUnsavedChangesWarning, message.c_str(), 2) != 0) throw py::error_already_set();
}

// ---- Group ------------------------------------------------------------------

std::string Group::Type() const {
    CurrentGroup group(*state_, number_);
    return tool::TransTypeName(group.Type().trans);
}

void Group::SetType(const std::string& typeName) {
    const short type = TypeByName(typeName);
    CurrentGroup group(*state_, number_);
    if (group.Type().trans == type) return;
    // A group with too few points for the new type keeps it (its range
    // falls back to the points' bounding box); the read-back tells whether
    // the type itself was taken.
    group.area().SetGCPGroupType(type);
    if (group.Type().trans != type) {
        throw RefusedError(fmt::format("group {}: the type cannot be set to {}", number_, typeName));
    }
    state_->dirty = true;
}

std::string Group::Orientation() const {
    CurrentGroup group(*state_, number_);
    return group.Type().orient == TM_ORIENT_LINE_UP ? "line-up" : "line-down";
}

unsigned long Group::PointCount() const {
    CurrentGroup group(*state_, number_);
    return group.Count();
}

py::array Group::Points() const {
    std::vector<tool::GcpRow> rows;
    {
        CurrentGroup group(*state_, number_);
        const short orient = group.Type().orient;
        for (const _CtrlPntStrcT& record : group.Records()) rows.push_back(tool::RowFromRecord(record, orient));
    }
    return ArrayFromRows(rows);
}

void Group::AddPoints(const py::object& points) {
    std::vector<tool::GcpRow> rows = RowsFromArray(points);
    CurrentGroup group(*state_, number_);
    const short orient = group.Type().orient;
    std::vector<_CtrlPntStrcT> records;
    records.reserve(rows.size());
    for (std::size_t i = 0; i < rows.size(); ++i) {
        try {
            records.push_back(tool::RecordFromRow(rows[i], orient));
        } catch (const Refusal& error) {
            throw std::invalid_argument(fmt::format("row {}: {}", i, error.what()));
        }
    }
    AreaHandle& area = group.area();
    const unsigned long first = group.Count() + 1;
    for (std::size_t i = 0; i < records.size(); ++i) {
        const unsigned long index = first + static_cast<unsigned long>(i);
        area.AddOneGCP(index, &records[i]);
        // AddOneGCP also reports 0 when only the range update after it
        // failed; the count tells whether the point went in.
        if (group.Count() != index) {
            // All or nothing: take back the rows of this call.
            for (unsigned long k = index; k-- > first;) area.DeleteOneGCP(k);
            throw RefusedError(fmt::format("row {}: refused by group {}; no row was added", i, number_));
        }
        state_->dirty = true;
    }
    // Flags travel in the records; set any the group did not take from them.
    for (std::size_t i = 0; i < records.size(); ++i) {
        const unsigned long index = first + static_cast<unsigned long>(i);
        _CtrlPntStrcT stored{};
        if (area.GetOneGCP(index, &stored) != 1) throw Error(fmt::format("point {}: cannot be read back", index));
        if (stored.UseFlag != records[i].UseFlag) area.SetOneGcpUseOnOff(index, records[i].UseFlag != 0);
        if (stored.EditFlag != records[i].EditFlag) area.SetOneGCPEditOnOff(index, records[i].EditFlag != 0);
    }
}

py::array_t<double> Group::Transform(const py::object& xy, bool inverse, const py::object& out) {
    // Converted before the lock: an array-like may run Python code, which
    // might reach for this very area.
    const PairArray pairs = RequirePairs(xy);
    py::array_t<double> results = OutputFor(pairs, out);
    CurrentGroup group(*state_, number_);
    const GroupType type = group.Type();
    AreaHandle& area = group.area();
    if (area.BeginTransform(!inverse) != 1) throw TransformError(NoFitReason(number_, type.trans));
    struct EndOnExit {
        AreaHandle& area;
        ~EndOnExit() { area.EndTransform(); }
    } end{area};
    return ConvertPairs(
        pairs, std::move(results), FlipFor(type.orient, inverse),
        [&](const double* in, double* out, std::size_t n) { return area.BatchTransform(in, out, n) == 1; },
        [&](double a, double b, double& x, double& y) { return area.PointTransform(a, b, x, y) == 1; });
}

namespace {

// The group's points in a set of their own, flags included, as the fit
// sees them; the figures below come from it, the area is not changed.
std::unique_ptr<CCtrlPntSet> FittedSetOf(CurrentGroup& group, const GroupType& type) {
    auto set = std::make_unique<CCtrlPntSet>();
    if (set->InitPntSet(type.orient, type.trans) != TM_OK) throw Error("the group's type cannot be copied");
    std::vector<_CtrlPntStrcT> records = group.Records();
    for (unsigned long i = 1; i <= records.size(); ++i) {
        _CtrlPntStrcT& record = records[i - 1];
        if (set->AddOneGcp(i, &record) != TM_OK) throw Error(fmt::format("point {}: cannot be copied", i));
        set->SetOneGcpUseOnOff(i, record.UseFlag != 0);
        set->SetOneGCPEditOnOff(i, record.EditFlag != 0);
    }
    return set;
}

py::array StructuredArray(py::ssize_t rows, const py::list& dtype) {
    py::module_ np = py::module_::import("numpy");
    return np.attr("zeros")(rows, np.attr("dtype")(dtype));
}

py::list DoubleFields(std::initializer_list<const char*> names) {
    py::list fields;
    for (const char* name : names) fields.append(py::make_tuple(name, "<f8"));
    return fields;
}

}  // namespace

Transformer Group::MakeTransformer(bool inverse) const {
    CurrentGroup group(*state_, number_);
    const GroupType type = group.Type();
    std::unique_ptr<CCtrlPntSet> set = FittedSetOf(group, type);
    const unsigned long count = group.Count();
    if (set->BeginTransform(!inverse) != TM_OK) throw TransformError(NoFitReason(number_, type.trans));
    std::string description = fmt::format("{} of group {} of {} ({} points, {})", inverse ? "inverse" : "forward",
                                          number_, state_->shown, count, tool::TransTypeName(type.trans));
    return Transformer(std::move(set), inverse, type.orient, std::move(description));
}

py::array Group::Residuals() const {
    std::vector<tool::GcpResidual> residuals;
    {
        CurrentGroup group(*state_, number_);
        const GroupType type = group.Type();
        const unsigned long count = group.Count();
        for (unsigned long i = 1; i <= count; ++i) {
            std::optional<tool::GcpResidual> r = tool::ResidualOf(group.area(), i, type.orient);
            if (!r) throw TransformError(NoFitReason(number_, type.trans));
            residuals.push_back(*r);
        }
    }
    return ArrayFromResiduals(residuals);
}

std::tuple<double, double> Group::Rms() const {
    CurrentGroup group(*state_, number_);
    double user = 0, pixel = 0;
    if (group.area().GetGCPRMSError(user, pixel) != 1) throw TransformError(NoFitReason(number_, group.Type().trans));
    return {user, pixel};
}

// ---- Transformer ------------------------------------------------------------

Transformer::Transformer(std::unique_ptr<CCtrlPntSet> set, bool inverse, short orientType, std::string description)
    : set_(std::move(set)), mutex_(std::make_unique<std::mutex>()), inverse_(inverse), orientType_(orientType),
      description_(std::move(description)) {}

Transformer::Transformer(Transformer&&) noexcept = default;

Transformer::~Transformer() {
    if (set_) set_->EndTransform();
}

py::array_t<double> Transformer::Convert(const py::object& xy, const py::object& out) {
    const PairArray pairs = RequirePairs(xy);   // before the lock, as in Group::Transform
    py::array_t<double> results = OutputFor(pairs, out);
    std::unique_lock<std::mutex> lock(*mutex_, std::try_to_lock);
    if (!lock.owns_lock()) {
        py::gil_scoped_release release;
        lock.lock();
    }
    CCtrlPntSet& set = *set_;
    return ConvertPairs(
        pairs, std::move(results), FlipFor(orientType_, inverse_),
        [&](const double* in, double* out, std::size_t n) { return set.BatchTransform(in, out, n) == TM_OK; },
        [&](double a, double b, double& x, double& y) { return set.PointTransform(&x, &y, a, b) == TM_OK; });
}


// ---- fit quality ----------------------------------------------------------------

py::array Group::Loo() const {
    std::vector<std::array<double, 6>> rows;
    {
        CurrentGroup group(*state_, number_);
        const GroupType type = group.Type();
        std::unique_ptr<CCtrlPntSet> set = FittedSetOf(group, type);
        const double nan = std::numeric_limits<double>::quiet_NaN();
        for (unsigned long i = 1; i <= group.Count(); ++i) {
            TmLooFigures f;
            if (set->GetLooResidual(i, &f) != TM_OK) {
                rows.push_back({nan, nan, nan, nan, nan, nan});
                continue;
            }
            rows.push_back({f.PixelDX, tool::StoredLineSign(type.orient) * f.PixelDY, f.UserDX, f.UserDY, f.Leverage, f.Influence});
        }
        if (!rows.empty() && std::isnan(rows.front()[0]) &&
            std::all_of(rows.begin(), rows.end(), [](const auto& r) { return std::isnan(r[0]); })) {
            throw TransformError(NoFitReason(number_, type.trans));
        }
    }
    const char* names[] = {"loo_pixel", "loo_line", "loo_x", "loo_y", "leverage", "influence"};
    py::array result = StructuredArray(static_cast<py::ssize_t>(rows.size()),
                                       DoubleFields({names[0], names[1], names[2], names[3], names[4], names[5]}));
    for (int f = 0; f < 6; ++f) {
        py::array_t<double> column(static_cast<py::ssize_t>(rows.size()));
        for (std::size_t i = 0; i < rows.size(); ++i) column.mutable_at(static_cast<py::ssize_t>(i)) = rows[i][f];
        result[py::str(names[f])] = column;
    }
    return result;
}

std::tuple<double, double> Group::PredictionRms() const {
    CurrentGroup group(*state_, number_);
    const GroupType type = group.Type();
    std::unique_ptr<CCtrlPntSet> set = FittedSetOf(group, type);
    double user = 0, pixel = 0;
    if (set->GetPredictionRMS(&user, &pixel) != TM_OK) throw TransformError(NoFitReason(number_, type.trans));
    return {user, pixel};
}

py::dict Group::Refine(bool apply) {
    struct Finding {
        unsigned long index;
        bool conflict, locked, used;
        unsigned long other;
        double residual;
    };
    std::vector<Finding> findings;
    double scale = 0.0;
    unsigned long turnedOff = 0;
    {
        CurrentGroup group(*state_, number_);
        const GroupType type = group.Type();
        std::unique_ptr<CCtrlPntSet> set = FittedSetOf(group, type);
        if (long rc = set->FindOutliers(nullptr, nullptr, &scale); rc != TM_OK) {
            throw TransformError(fmt::format("group {}: the used points allow no robust {} fit (too few, or no "
                                             "room to judge them)", number_, tool::TransTypeName(type.trans)));
        }
        for (unsigned long i = 1; i <= group.Count(); ++i) {
            _CtrlPntStrcT p;
            if (set->GetOneGCP(i, &p) != TM_OK) continue;
            if (p.Err.Code != TM_CHECK_ROBUST_OUTLIER && p.Err.Code != TM_CHECK_CONFLICT) continue;
            findings.push_back({i, p.Err.Code == TM_CHECK_CONFLICT, p.EditFlag == 0, p.UseFlag != 0,
                                static_cast<unsigned long>(p.Err.Other), std::hypot(p.Err.ResidualX, p.Err.ResidualY)});
        }
        for (const Finding& f : findings) {
            if (!apply || f.conflict || f.locked || !f.used) continue;
            if (group.area().SetOneGcpUseOnOff(f.index, false) != 1) {
                throw Error(fmt::format("point {}: the use flag cannot be set", f.index));
            }
            ++turnedOff;
        }
    }
    py::list dtype;
    dtype.append(py::make_tuple("index", "<u8"));
    dtype.append(py::make_tuple("kind", "<U8"));
    dtype.append(py::make_tuple("other", "<u8"));
    dtype.append(py::make_tuple("robust_residual", "<f8"));
    dtype.append(py::make_tuple("robust_scales", "<f8"));
    dtype.append(py::make_tuple("locked", "?"));
    dtype.append(py::make_tuple("used", "?"));
    py::array table = StructuredArray(static_cast<py::ssize_t>(findings.size()), dtype);
    for (std::size_t i = 0; i < findings.size(); ++i) {
        const Finding& f = findings[i];
        const double residual = f.conflict ? std::numeric_limits<double>::quiet_NaN() : f.residual;
        table[py::int_(i)] = py::make_tuple(f.index, f.conflict ? "conflict" : "outlier", f.conflict ? f.other : 0,
                                            residual, scale > 0.0 ? residual / scale : residual, f.locked, f.used);
    }
    py::dict result;
    result["findings"] = table;
    result["robust_scale"] = scale;
    result["turned_off"] = turnedOff;
    return result;
}

py::array_t<double> Group::PredictedError(const py::object& xy) const {
    const PairArray pairs = RequirePairs(xy);
    const py::ssize_t n = pairs.shape(0);
    py::array_t<double> result({n, py::ssize_t{4}});
    CurrentGroup group(*state_, number_);
    const GroupType type = group.Type();
    std::unique_ptr<CCtrlPntSet> set = FittedSetOf(group, type);
    auto in = pairs.unchecked<2>();
    auto out = result.mutable_unchecked<2>();
    for (py::ssize_t i = 0; i < n; ++i) {
        TmPositionError e;
        if (set->GetPositionError(in(i, 0), tool::StoredLineSign(type.orient) * in(i, 1), &e) != TM_OK) {
            throw TransformError(fmt::format("group {}: no predicted error at ({}, {}): {}", number_, in(i, 0),
                                             in(i, 1), NoFitReason(number_, type.trans)));
        }
        out(i, 0) = e.SemiMajor;
        out(i, 1) = e.SemiMinor;
        out(i, 2) = e.Angle;
        out(i, 3) = e.Radial;
    }
    return result;
}

}  // namespace morvane::python
