// PixelDuplicates.cpp - run bookkeeping for equal pixel positions.
#include "PixelDuplicates.h"

#include <algorithm>
#include <cstring>

namespace tiemark {

std::size_t PixelDuplicates::KeyHash::operator()(const Key& k) const noexcept {
    // Mix both halves so that grids (equal X, stepping Y) spread over the buckets.
    std::uint64_t h = k.X * 0x9E3779B97F4A7C15ull;
    h ^= (k.Y + 0x632BE59BD9B4E019ull + (h << 6) + (h >> 2)) * 0xC2B2AE3D27D4EB4Full;
    h ^= h >> 29;
    return static_cast<std::size_t>(h);
}

PixelDuplicates::Key PixelDuplicates::KeyOf(const _CtrlPntStrcT& p) noexcept {
    // Adding 0.0 turns -0.0 into 0.0, so equal positions have equal bits.
    const double x = p.PixelX + 0.0;
    const double y = p.PixelY + 0.0;
    Key k;
    std::memcpy(&k.X, &x, sizeof x);
    std::memcpy(&k.Y, &y, sizeof y);
    return k;
}

void PixelDuplicates::Clear() noexcept {
    Runs.clear();
    Covered = 0;
}

void PixelDuplicates::Sync(const std::vector<_CtrlPntStrcT>& points) {
    if (Covered == points.size()) return;
    if (Other.size() < points.size()) Other.resize(points.size());
    if (Covered == 0 && Runs.empty()) Runs.reserve(points.size());
    // Each point taken in is the highest covered index, which Place never refuses.
    for (; Covered < points.size(); ++Covered) Place(Covered, KeyOf(points[Covered]));
}

bool PixelDuplicates::Place(std::size_t index, const Key& key) {
    auto [it, fresh] = Runs.try_emplace(key, Run{0, 0});
    Run& run = it->second;
    const auto i = static_cast<std::uint32_t>(index);
    if (run.Count == 0) {
        run = Run{1, i};
        Other[i] = 0;
        return true;
    }
    const std::uint32_t head = run.Head;
    if (run.Count == 1) {
        Other[head] = i + 1;
        Other[i] = head + 1;
        run = Run{2, std::min(head, i)};
        return true;
    }
    if (i < head) {
        // Every point of the run would have to name the new head.
        Clear();
        return false;
    }
    const std::uint32_t second = Other[head] - 1;
    if (i < second) Other[head] = i + 1;
    Other[i] = head + 1;
    ++run.Count;
    return true;
}

bool PixelDuplicates::Remove(std::size_t index, const Key& key) noexcept {
    auto it = Runs.find(key);
    if (it == Runs.end()) {  // cannot happen for a covered point; stay safe
        Clear();
        return false;
    }
    Run& run = it->second;
    const auto i = static_cast<std::uint32_t>(index);
    if (run.Count == 1) {
        Runs.erase(it);
        Other[i] = 0;
        return true;
    }
    if (run.Count == 2) {
        const std::uint32_t left = run.Head == i ? Other[i] - 1 : run.Head;
        Other[left] = 0;
        Other[i] = 0;
        run = Run{1, left};
        return true;
    }
    const std::uint32_t second = Other[run.Head] - 1;
    if (i == run.Head || i == second) {
        // The other points of the run would have to name a new head or second.
        Clear();
        return false;
    }
    Other[i] = 0;
    --run.Count;
    return true;
}

void PixelDuplicates::Inserted(std::size_t index) noexcept {
    // Inserting among covered points renumbers those after it.
    if (index < Covered) Clear();
}

void PixelDuplicates::Erased(std::size_t index, const _CtrlPntStrcT& removed, std::size_t count) noexcept {
    if (index >= Covered) return;  // not taken in yet
    if (index == count && Covered == count + 1) {
        // The last point: nothing is renumbered.
        if (Remove(index, KeyOf(removed))) --Covered;
        return;
    }
    Clear();
}

void PixelDuplicates::Moved(std::size_t index, const _CtrlPntStrcT& from, const _CtrlPntStrcT& to) noexcept {
    if (index >= Covered) return;
    const Key before = KeyOf(from);
    const Key after = KeyOf(to);
    if (before == after) return;
    if (!Remove(index, before)) return;
    try {
        Place(index, after);
    } catch (...) {
        // The index is only a cache: drop it and rebuild when next read.
        Clear();
    }
}

}  // namespace tiemark
