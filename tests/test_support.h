// Small helpers shared by the test programs.
#pragma once

#include <memory>
#include <vector>

#include "kdtree/kd_node.h"
#include "kdtree/kd_tree.h"
#include "scene/records.h"
#include "scene/triangle_loader.h"

namespace vantrel::testing_support {

struct MeshReleaser {
    void operator()(PrimitiveList* mesh) const { releaseMesh(mesh); }
};
// A loaded mesh, released with releaseMesh.
using Mesh = std::unique_ptr<PrimitiveList, MeshReleaser>;

struct TreeReleaser {
    void operator()(KdTree* tree) const { releaseKdTree(tree); }
};
// A compiled tree, released with releaseKdTree.
using Tree = std::unique_ptr<KdTree, TreeReleaser>;

// Fills refs with a reference to every sphere, then to every triangle.
inline void referenceAll(std::vector<Sphere>& spheres, std::vector<Triangle>& triangles,
                         std::vector<PrimitiveRef>& refs) {
    refs.clear();
    for (Sphere& s : spheres)
        refs.push_back({&s, PrimitiveType::Sphere});
    for (Triangle& t : triangles)
        refs.push_back({&t, PrimitiveType::Triangle});
}

inline void setBox(CKdNode& node, float x0, float y0, float z0, float x1, float y1, float z1) {
    node.boundsMin[0] = x0;
    node.boundsMin[1] = y0;
    node.boundsMin[2] = z0;
    node.boundsMax[0] = x1;
    node.boundsMax[1] = y1;
    node.boundsMax[2] = z1;
}

// A hand-made tree: lists need not match the geometry, which lets a test
// see which leaves a walk reaches.
struct HandTree {
    std::vector<KdTreeNode> nodes;
    std::vector<std::vector<PrimitiveRef>> lists;
    std::vector<PrimitiveList> leafLists;
    KdTree tree{};

    HandTree(Vector3 lo, Vector3 hi) {
        tree.boundsMin[0] = lo.x;
        tree.boundsMin[1] = lo.y;
        tree.boundsMin[2] = lo.z;
        tree.boundsMax[0] = hi.x;
        tree.boundsMax[1] = hi.y;
        tree.boundsMax[2] = hi.z;
    }
    uint32_t inner(uint32_t axis, float split, uint32_t lowerChild) {
        nodes.push_back({(lowerChild << kdIndexShift) + axis, split});
        return static_cast<uint32_t>(nodes.size() - 1);
    }
    uint32_t leaf(std::vector<PrimitiveRef> refs) {
        const uint32_t index = static_cast<uint32_t>(lists.size());
        const uint32_t empty = refs.empty() ? kdEmptyBit : 0;
        lists.push_back(std::move(refs));
        nodes.push_back({(index << kdIndexShift) + kdLeafBit + empty, 0});
        return static_cast<uint32_t>(nodes.size() - 1);
    }
    KdTree& finish() {
        leafLists.clear();
        for (auto& l : lists)
            leafLists.push_back({l.data(), static_cast<uint32_t>(l.size())});
        tree.nodes = nodes.data();
        tree.leaves = leafLists.data();
        return tree;
    }
};

} // namespace vantrel::testing_support
