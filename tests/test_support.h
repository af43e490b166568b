// Small helpers shared by the test programs.
#pragma once

#include <algorithm>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "vantrel/kdtree/build.h"
#include "vantrel/kdtree/kd_tree.h"
#include "vantrel/kdtree/nodes/kd_node.h"
#include "vantrel/scene/records.h"
#include "vantrel/scene/triangle_loader.h"
#include "vantrel/tracer/kernel.h"

namespace vantrel::testing_support {

// Under a sanitizer every check runs several times slower, and what the
// sanitizers look for (a bad access, a race) shows on a share of the random
// cases as on all of them: the longest random tests take one case in four
// there, and the plain build every case.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr int sanitizedShare = 4;
#else
constexpr int sanitizedShare = 1;
#endif
constexpr int casesToRun(int count) {
    return std::max(1, count / sanitizedShare);
}

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

inline PrimitiveRef ref(Sphere& s) {
    return {&s, PrimitiveType::Sphere};
}
inline PrimitiveRef ref(Triangle& t) {
    return {&t, PrimitiveType::Triangle};
}

inline PrimitiveList listOf(std::vector<PrimitiveRef>& refs) {
    return {refs.data(), static_cast<uint32_t>(refs.size())};
}

// The identity, moved by (x, y, z).
inline Matrix4 translation(float x, float y, float z) {
    Matrix4 m{};
    m.m[0] = m.m[5] = m.m[10] = m.m[15] = 1.0f;
    m.m[12] = x;
    m.m[13] = y;
    m.m[14] = z;
    return m;
}
inline Matrix4 identityMatrix() {
    return translation(0.0f, 0.0f, 0.0f);
}

inline float randomFloat(std::mt19937& random, float lo, float hi) {
    return std::uniform_real_distribution<float>(lo, hi)(random);
}

inline uint32_t floatBits(float value) {
    uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

// The same record to the bit: every kernel must leave exactly this.
inline bool sameBits(const HitRecord& a, const HitRecord& b) {
    return std::memcmp(&a, &b, sizeof(HitRecord)) == 0;
}

// The tree buildKdTree makes of refs.
inline Tree buildTree(const std::vector<PrimitiveRef>& refs, int32_t method = 0) {
    KdTree* tree = nullptr;
    const PrimitiveList list{const_cast<PrimitiveRef*>(refs.data()),
                             static_cast<uint32_t>(refs.size())};
    buildKdTree(&tree, &list, method);
    return Tree(tree);
}

inline uint32_t leafCountOf(const KdTree& tree) {
    uint32_t count = 0;
    forEachNode(tree,
                [&](uint32_t, const KdTreeNode& node, uint32_t) { count += isLeafNode(node); });
    return count;
}

// The kernels this processor runs, the scalar one first.
inline std::vector<Kernel> availableKernels() {
    std::vector<Kernel> kernels;
    for (Kernel kernel : {Kernel::Scalar, Kernel::Avx2, Kernel::Avx512}) {
        if (kernelAvailable(kernel))
            kernels.push_back(kernel);
    }
    return kernels;
}

// Leaves the processor's best kernel in place when a test ends.
struct KernelGuard {
    ~KernelGuard() { selectKernel(bestKernel()); }
};

// Fills refs with a reference to every sphere, then to every triangle.
inline void referenceAll(std::vector<Sphere>& spheres, std::vector<Triangle>& triangles,
                         std::vector<PrimitiveRef>& refs) {
    refs.clear();
    for (Sphere& s : spheres)
        refs.push_back({&s, PrimitiveType::Sphere});
    for (Triangle& t : triangles)
        refs.push_back({&t, PrimitiveType::Triangle});
}

// For a build's node or the reference builder's.
template <class Node>
void setBox(Node& node, float x0, float y0, float z0, float x1, float y1, float z1) {
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
    uint32_t inner(uint32_t axis, float split, uint32_t lowerChildIndex) {
        nodes.push_back(innerNode(axis, split, lowerChildIndex));
        return static_cast<uint32_t>(nodes.size() - 1);
    }
    uint32_t leaf(std::vector<PrimitiveRef> refs) {
        const uint32_t index = static_cast<uint32_t>(lists.size());
        nodes.push_back(leafNode(index, refs.empty()));
        lists.push_back(std::move(refs));
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
