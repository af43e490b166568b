// Compares two compiled trees to the bit: box, counters, every node entry,
// every leaf's items and every leaf's packed groups. Shared by the unit tests
// and the fuzz target.
#pragma once

#include <cstring>
#include <string>

#include "kdtree/kd_tree.h"

namespace vantrel::testing_support {

// Empty when a and b are the same tree; else where they first differ.
inline std::string compiledTreeDifference(const KdTree& a, const KdTree& b) {
    if (std::memcmp(a.boundsMin, b.boundsMin, sizeof a.boundsMin) != 0 ||
        std::memcmp(a.boundsMax, b.boundsMax, sizeof a.boundsMax) != 0)
        return "boxes differ";
    if (a.rayCount != b.rayCount || a.emptyLeafCount != b.emptyLeafCount ||
        a.nodeVisitCount != b.nodeVisitCount)
        return "counters differ";
    std::string difference;
    // Every index b is read at is one a reaches, so b is read only where the
    // entries before agreed.
    forEachNode(a, [&](uint32_t index, const KdTreeNode& node, uint32_t) {
        if (!difference.empty())
            return;
        const std::string at = "node " + std::to_string(index);
        if (std::memcmp(&node, &b.nodes[index], sizeof node) != 0) {
            difference = at + ": entries differ";
            return;
        }
        if (!isLeafNode(node))
            return;
        const uint32_t leaf = leafIndex(node);
        const PrimitiveList& x = a.leaves[leaf];
        const PrimitiveList& y = b.leaves[leaf];
        bool same = x.count == y.count;
        // Field by field: the padding of a reference means nothing.
        for (uint32_t i = 0; same && i < x.count; ++i)
            same = x.items[i].object == y.items[i].object && x.items[i].type == y.items[i].type;
        if (!same) {
            difference = at + ": leaf items differ";
            return;
        }
        if ((a.sphereGroupStart == nullptr) != (b.sphereGroupStart == nullptr)) {
            difference = "one tree has sphere groups, the other none";
            return;
        }
        if (a.sphereGroupStart == nullptr)
            return;
        const uint32_t first = a.sphereGroupStart[leaf];
        if (first != b.sphereGroupStart[leaf]) {
            difference = at + ": first sphere groups differ";
            return;
        }
        const uint32_t groups = (x.count + sphereGroupLanes - 1) / sphereGroupLanes;
        if (first != noSphereGroup && std::memcmp(a.sphereGroups + first, b.sphereGroups + first,
                                                  groups * sizeof(SphereGroup)) != 0)
            difference = at + ": sphere groups differ";
    });
    return difference;
}

} // namespace vantrel::testing_support
