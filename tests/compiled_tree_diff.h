// Compares two compiled trees to the bit: box, counters, every node entry,
// every leaf's items and every leaf's packed groups. Shared by the unit tests
// and the fuzz target.
#pragma once

#include <cstring>
#include <string>

#include "vantrel/kdtree/kd_tree.h"

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
        if ((a.leafShapes == nullptr) != (b.leafShapes == nullptr)) {
            difference = "one tree has packed groups, the other none";
            return;
        }
        if (a.leafShapes == nullptr)
            return;
        const LeafShapes& p = a.leafShapes[leaf];
        const LeafShapes& q = b.leafShapes[leaf];
        if (std::memcmp(&p, &q, sizeof p) != 0) {
            difference = at + ": packed shapes differ";
            return;
        }
        if (p.sphereCount != 0 &&
            std::memcmp(sphereGroupsOf(a, p), sphereGroupsOf(b, q),
                        groupsFor(p.sphereCount) * sizeof(SphereGroup)) != 0)
            difference = at + ": sphere groups differ";
        if (p.triangleCount != 0 &&
            std::memcmp(triangleGroupsOf(a, p), triangleGroupsOf(b, q),
                        groupsFor(p.triangleCount) * sizeof(TriangleGroup)) != 0)
            difference = at + ": triangle groups differ";
    });
    return difference;
}

} // namespace vantrel::testing_support
