#include "vantrel/bvh/refit_bvh.h"

#include <algorithm>
#include <vector>

#include "vantrel/bvh/build_threads.h"
#include "vantrel/bvh/shape_refs.h"

namespace vantrel {

namespace {

struct Refit {
    QueryBvh& bvh;
    const float* vertices;
    const uint32_t* corners;
};

// Writes a leaf's corners from the vertices; gives the box around them.
Box refitLeaf(const Refit& refit, uint32_t leaf) {
    const uint32_t count = leafCount(leaf);
    float* rows = refit.bvh.shapes.get() + size_t{refit.bvh.leafFloats} * leafSlot(leaf);
    Box box = emptyBox();
    const uint32_t* corners = refit.corners + size_t{3} * leafSlot(leaf);
    for (uint32_t lane = 0; lane < count; ++lane) {
        for (uint32_t corner = 0; corner < 3; ++corner) {
            const float* vertex = refit.vertices + size_t{3} * corners[3 * lane + corner];
            for (uint32_t axis = 0; axis < 3; ++axis) {
                rows[(3 * corner + axis) * count + lane] = vertex[axis];
                box.lower[axis] = std::min(box.lower[axis], vertex[axis]);
                box.upper[axis] = std::max(box.upper[axis], vertex[axis]);
            }
        }
    }
    return box;
}

Box refitChild(const Refit& refit, uint32_t child);

Box refitNode(const Refit& refit, uint32_t index) {
    BvhNode& node = refit.bvh.nodes[index];
    Box whole = emptyBox();
    for (uint32_t k = 0; k < bvhWidth && node.child[k] != noChild; ++k) {
        const Box box = refitChild(refit, node.child[k]);
        setChildBox(node, k, box);
        grow(whole, box);
    }
    return whole;
}

Box refitChild(const Refit& refit, uint32_t child) {
    return isLeafChild(child) ? refitLeaf(refit, child) : refitNode(refit, child);
}

double area(double dx, double dy, double dz) {
    return 2.0 * (dx * dy + dy * dz + dz * dx);
}

} // namespace

std::vector<uint32_t> leafCorners(const QueryBvh& bvh, const uint32_t* indices) {
    std::vector<uint32_t> corners(size_t{3} * bvh.shapeCount);
    const auto take = [&](uint32_t leaf) {
        const uint32_t count = leafCount(leaf);
        const float* rows = leafRows(bvh, leaf);
        for (uint32_t lane = 0; lane < count; ++lane) {
            const uint32_t triangle = leafShapeIndex(rows, triangleRows, count, lane);
            std::copy(indices + 3 * size_t{triangle}, indices + 3 * size_t{triangle} + 3,
                      corners.begin() + 3 * (size_t{leafSlot(leaf)} + lane));
        }
    };
    if (bvh.root != noChild && isLeafChild(bvh.root))
        take(bvh.root);
    for (uint32_t n = 0; n < bvh.nodeCount; ++n)
        for (uint32_t child : bvh.nodes[n].child)
            if (child != noChild && isLeafChild(child))
                take(child);
    return corners;
}

void refitBvh(QueryBvh& bvh, const float* vertices, const uint32_t* corners,
              const BuildThreads& threads) {
    if (bvh.root == noChild)
        return;
    const Refit refit{bvh, vertices, corners};
    Box whole = emptyBox();
    if (isLeafChild(bvh.root)) {
        whole = refitLeaf(refit, bvh.root);
    } else {
        // The root's and its children's subtrees share out the threads:
        // each writes its own nodes and leaves, and the boxes meet here.
        BvhNode& root = bvh.nodes[bvh.root];
        std::vector<uint32_t> parents{bvh.root};
        std::vector<uint32_t> slots;
        std::vector<uint32_t> subtrees;
        for (uint32_t k = 0; k < bvhWidth && root.child[k] != noChild; ++k) {
            const uint32_t child = root.child[k];
            if (isLeafChild(child)) {
                subtrees.push_back(child);
                slots.push_back(k);
                continue;
            }
            const uint32_t at = static_cast<uint32_t>(parents.size());
            parents.push_back(child);
            const BvhNode& node = bvh.nodes[child];
            for (uint32_t j = 0; j < bvhWidth && node.child[j] != noChild; ++j) {
                subtrees.push_back(node.child[j]);
                slots.push_back(at << 3 | j);
            }
            subtrees.push_back(noChild); // the node's own box, after its children
            slots.push_back(at << 3 | k);
        }
        std::vector<Box> boxes(subtrees.size());
        runItems(threads, static_cast<uint32_t>(subtrees.size()), [&](uint32_t item) {
            if (subtrees[item] != noChild)
                boxes[item] = refitChild(refit, subtrees[item]);
        });
        Box inner = emptyBox();
        for (size_t item = 0; item < subtrees.size(); ++item) {
            if (subtrees[item] == noChild) {
                // A child of the root: its children's boxes are gathered.
                setChildBox(root, slots[item] & 7, inner);
                grow(whole, inner);
                inner = emptyBox();
            } else if (slots[item] >> 3 == 0) {
                setChildBox(root, slots[item], boxes[item]);
                grow(whole, boxes[item]);
            } else {
                setChildBox(bvh.nodes[parents[slots[item] >> 3]], slots[item] & 7, boxes[item]);
                grow(inner, boxes[item]);
            }
        }
    }
    std::copy(whole.lower, whole.lower + 3, bvh.boundsMin);
    std::copy(whole.upper, whole.upper + 3, bvh.boundsMax);
}

double bvhCost(const QueryBvh& bvh) {
    if (bvh.root == noChild || isLeafChild(bvh.root))
        return bvh.root == noChild ? 0.0 : leafCount(bvh.root);
    double sum = 0.0;
    for (uint32_t n = 0; n < bvh.nodeCount; ++n) {
        const BvhNode& node = bvh.nodes[n];
        for (uint32_t k = 0; k < bvhWidth && node.child[k] != noChild; ++k) {
            const double weight = isLeafChild(node.child[k]) ? leafCount(node.child[k]) : 1.0;
            sum += weight * area(double{node.upperX[k]} - node.lowerX[k],
                                 double{node.upperY[k]} - node.lowerY[k],
                                 double{node.upperZ[k]} - node.lowerZ[k]);
        }
    }
    const double whole = area(double{bvh.boundsMax[0]} - bvh.boundsMin[0],
                              double{bvh.boundsMax[1]} - bvh.boundsMin[1],
                              double{bvh.boundsMax[2]} - bvh.boundsMin[2]);
    // A flat or pointlike hierarchy: every walk that reaches it tests it all.
    return whole > 0.0 ? 1.0 + sum / whole : static_cast<double>(bvh.shapeCount);
}

} // namespace vantrel
