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

} // namespace vantrel::testing_support
