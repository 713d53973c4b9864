// PixelDuplicates.h - which points of a group share a pixel position.
//
// For every point of a group the index keeps the 1-based index of the lowest
// other point at exactly the same pixel position (0.0 and -0.0 count as
// equal), or 0 when the position is unique.  Reading that answer is one
// array access at the point's own index, so reading a group's points in order
// walks memory in order.
//
// The index covers a prefix of the group.  Points appended after it are
// taken in by the next Sync, one hash update each, so an append costs the
// group nothing until it is read.  Changes to covered points are applied
// directly where that is O(1): removing the last point, moving a point to
// another position.  Changes that renumber points (an insertion or removal
// before the end) or that would renumber a run of three or more equal
// positions drop the index; the next Sync rebuilds it in O(P), no more than
// the edit that renumbered already cost.
//
// Indices here are 0-based; the answers (Other) are 1-based like the API.
#ifndef MORVANE_TIEMARK_PIXELDUPLICATES_H
#define MORVANE_TIEMARK_PIXELDUPLICATES_H

#include <cstddef>
#include <cstdint>
#include <unordered_map>
#include <vector>

#include "CtrlPntSet.h"

namespace tiemark {

class PixelDuplicates {
public:
    // Forgets everything; the next Sync rebuilds from the first point.
    void Clear() noexcept;

    // Brings the index up to date with `points`.  May throw std::bad_alloc;
    // the index then still covers a consistent prefix.
    void Sync(const std::vector<_CtrlPntStrcT>& points);

    // After Sync: 1-based index of the lowest other point at the same pixel
    // position as point `index`, 0 when there is none.
    std::uint32_t OtherOf(std::size_t index) const { return Other[index]; }

    // The set's edits, reported after the point storage has changed.
    // A point was inserted at `index`.
    void Inserted(std::size_t index) noexcept;
    // Point `index`, at pixel position of `removed`, was erased; the group
    // holds `count` points now.
    void Erased(std::size_t index, const _CtrlPntStrcT& removed, std::size_t count) noexcept;
    // Point `index` moved from the pixel position of `from` to that of `to`.
    void Moved(std::size_t index, const _CtrlPntStrcT& from, const _CtrlPntStrcT& to) noexcept;

private:
    struct Key {
        std::uint64_t X;
        std::uint64_t Y;
        bool operator==(const Key& o) const { return X == o.X && Y == o.Y; }
    };
    struct KeyHash {
        std::size_t operator()(const Key& k) const noexcept;
    };
    // The points at one position: how many, and the lowest index among them.
    // The second lowest is Other[Head] - 1 when Count >= 2.
    struct Run {
        std::uint32_t Count;
        std::uint32_t Head;
    };

    static Key KeyOf(const _CtrlPntStrcT& p) noexcept;
    // Takes covered point `index` into its run; false when the index had to
    // be dropped instead.  May throw std::bad_alloc before changing anything.
    bool Place(std::size_t index, const Key& key);
    // Takes covered point `index` out of its run; false when the index was dropped.
    bool Remove(std::size_t index, const Key& key) noexcept;

    std::size_t Covered = 0;           // points [0, Covered) are indexed
    std::vector<std::uint32_t> Other;  // valid for [0, Covered)
    std::unordered_map<Key, Run, KeyHash> Runs;
};

}  // namespace tiemark

#endif
