// Rows of a leaf's packed groups (sphere or triangle) as lanes, for kernels
// of one group's width, part of it, or two groups.
#pragma once

#include <cstdint>
#include <limits>

#include "vantrel/kdtree/kd_tree.h"

namespace vantrel {

// F::width lanes of a row from entry first on, of a leaf of count entries.
template <class F, class Group>
F loadRow(const Group* groups, uint32_t first, uint32_t count,
          float (Group::*row)[sphereGroupLanes]) {
    const Group& group = groups[first / sphereGroupLanes];
    if constexpr (F::width <= sphereGroupLanes) {
        static_assert(sphereGroupLanes % F::width == 0, "lanes tile a group");
        return F::load(group.*row + first % sphereGroupLanes);
    } else {
        static_assert(F::width == 2 * sphereGroupLanes, "two groups a step");
        constexpr float nan = std::numeric_limits<float>::quiet_NaN();
        // Stands in for the group after an odd last one: no test accepts its
        // lanes. Local to each instantiation, so built for its own lanes.
        alignas(64) static constexpr float padding[sphereGroupLanes] = {nan, nan, nan, nan,
                                                                        nan, nan, nan, nan};
        const bool pair = first + sphereGroupLanes < count;
        return F::loadPair(group.*row, pair ? (&group)[1].*row : padding);
    }
}

} // namespace vantrel
