#include "tests/support/reference_build.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "vantrel/kdtree/nodes/box_tests.h"
#include "vantrel/scene/vector_ops.h"

namespace vantrel::reference {

namespace {

constexpr int32_t maxDepth = 20;
constexpr float largestFloat = 3.40282347e38f;

// Spheres and triangles whose bounds are finite; nothing else is built over.
bool isBuildable(const PrimitiveRef& ref) {
    if (ref.type == PrimitiveType::Sphere) {
        const Sphere& s = *static_cast<const Sphere*>(ref.object);
        const Vector3 r{s.radius, s.radius, s.radius};
        return isFinite(s.centre - r) && isFinite(s.centre + r);
    }
    if (ref.type == PrimitiveType::Triangle) {
        const Triangle& t = *static_cast<const Triangle*>(ref.object);
        return isFinite(t.V0) && isFinite(t.V1) && isFinite(t.V2);
    }
    return false;
}

const Sphere& sphereOf(const PrimitiveRef& ref) {
    return *static_cast<const Sphere*>(ref.object);
}
const Triangle& triangleOf(const PrimitiveRef& ref) {
    return *static_cast<const Triangle*>(ref.object);
}

void widen(Node& node, int k, float lo, float hi) {
    if (node.boundsMin[k] > lo)
        node.boundsMin[k] = lo;
    if (node.boundsMax[k] < hi)
        node.boundsMax[k] = hi;
}

bool sphereTouchesBox(const Sphere& s, const float boxMin[3], const float boxMax[3]) {
    float d = 0.0f;
    for (int k = 0; k < 3; ++k) {
        const float c = component(s.centre, k);
        if (boxMin[k] > c)
            d += (c - boxMin[k]) * (c - boxMin[k]);
        else if (c > boxMax[k])
            d += (c - boxMax[k]) * (c - boxMax[k]);
    }
    return s.radius * s.radius >= d;
}

bool touchesBox(const PrimitiveRef& ref, const float boxMin[3], const float boxMax[3]) {
    if (ref.type == PrimitiveType::Sphere)
        return reference::sphereTouchesBox(sphereOf(ref), boxMin, boxMax);
    if (ref.type == PrimitiveType::Triangle)
        return triangleTouchesBox(triangleOf(ref), boxMin, boxMax);
    return false;
}

bool passesLeafTest(const Node& node, const Node& root, int32_t depth) {
    if (node.primitives.size() <= 3 || depth <= 0)
        return true;
    for (int k = 0; k < 3; ++k) {
        if (node.boundsMax[k] - node.boundsMin[k] < 0.03f * (root.boundsMax[k] - root.boundsMin[k]))
            return true;
    }
    return false;
}

int32_t chooseSplitAxis(const Node& node) {
    const float ex = node.boundsMax[0] - node.boundsMin[0];
    const float ey = node.boundsMax[1] - node.boundsMin[1];
    const float ez = node.boundsMax[2] - node.boundsMin[2];
    int32_t axis = 0;
    if (ey > ex)
        axis = 1;
    if (ez > ey)
        axis = 2;
    return axis;
}

// False for a leaf; else marks the node inner at its midpoint plane.
bool startSplit(Node& node, const Node& root, int32_t depth) {
    if (passesLeafTest(node, root, depth)) {
        node.isLeaf = true;
        return false;
    }
    node.isLeaf = false;
    node.axis = chooseSplitAxis(node);
    node.split = (node.boundsMin[node.axis] + node.boundsMax[node.axis]) * 0.5f;
    return true;
}

void createChildren(Node& node) {
    node.left = std::make_unique<Node>();
    node.right = std::make_unique<Node>();
    for (int k = 0; k < 3; ++k) {
        node.left->boundsMin[k] = node.right->boundsMin[k] = node.boundsMin[k];
        node.left->boundsMax[k] = node.right->boundsMax[k] = node.boundsMax[k];
    }
    node.left->boundsMax[node.axis] = node.split;
    node.right->boundsMin[node.axis] = node.split;
    for (const PrimitiveRef& ref : node.primitives) {
        if (touchesBox(ref, node.left->boundsMin, node.left->boundsMax))
            node.left->primitives.push_front(ref);
        if (touchesBox(ref, node.right->boundsMin, node.right->boundsMax))
            node.right->primitives.push_front(ref);
    }
}

void splitMidpoint(Node& node, const Node& root, int32_t depth) {
    if (!startSplit(node, root, depth))
        return;
    createChildren(node);
    splitMidpoint(*node.left, root, depth - 1);
    splitMidpoint(*node.right, root, depth - 1);
}

float boxArea(const float boxMin[3], const float boxMax[3]) {
    const float x = boxMax[0] - boxMin[0];
    const float y = boxMax[1] - boxMin[1];
    const float z = boxMax[2] - boxMin[2];
    return 2.0f * (x * y + x * z + y * z);
}

// 3 + 10 × area × count, each step in float; with the empty-side rule an
// empty side of more than a tenth of the whole area (compared in double)
// costs nothing.
float sideCost(float area, uint32_t count, float areaWhole, bool emptyRule) {
    if (emptyRule && count == 0 && static_cast<double>(area) > 0.1 * areaWhole)
        return 0.0f;
    return 3.0f + 10.0f * area * static_cast<float>(count);
}

float clampInto(float position, float low, float high) {
    if (low > position)
        position = low;
    if (position > high)
        position = high;
    return position;
}

} // namespace

float evaluateSplit(const Node& node, float* costLower, float* costUpper, int32_t axis,
                    float position, const float boxMin[3], const float boxMax[3], bool emptyRule) {
    float lowerMax[3] = {boxMax[0], boxMax[1], boxMax[2]};
    float upperMin[3] = {boxMin[0], boxMin[1], boxMin[2]};
    lowerMax[axis] = position;
    upperMin[axis] = position;
    uint32_t countLower = 0;
    uint32_t countUpper = 0;
    for (const PrimitiveRef& ref : node.primitives) {
        countLower += touchesBox(ref, boxMin, lowerMax);
        countUpper += touchesBox(ref, upperMin, boxMax);
    }
    const float areaWhole = boxArea(boxMin, boxMax);
    *costLower = sideCost(boxArea(boxMin, lowerMax), countLower, areaWhole, emptyRule);
    *costUpper = sideCost(boxArea(upperMin, boxMax), countUpper, areaWhole, emptyRule);
    return *costLower + *costUpper;
}

namespace {

float costOf(const Node& node, int32_t axis, float position, bool emptyRule) {
    float lower;
    float upper;
    return evaluateSplit(node, &lower, &upper, axis, position, node.boundsMin, node.boundsMax,
                         emptyRule);
}

} // namespace

float searchCostPlane(Node& node, int32_t method) {
    const bool emptyRule = method == 2;
    float best = costOf(node, node.axis, node.split, emptyRule);
    for (int32_t axis = 0; axis < 3; ++axis) {
        for (const PrimitiveRef& ref : node.primitives) {
            float candidates[2];
            bool rule = false;
            if (ref.type == PrimitiveType::Sphere) {
                // Formed in double, rounded to float once.
                const double c = component(sphereOf(ref).centre, axis);
                const double r = sphereOf(ref).radius;
                const double margin = method == 2 ? static_cast<double>(0.001f) : 0.0;
                candidates[0] = static_cast<float>(c - r - margin);
                candidates[1] = static_cast<float>(c + r + margin);
                rule = emptyRule;
            } else if (ref.type == PrimitiveType::Triangle) {
                // The smallest and the largest vertex coordinate, the
                // earlier vertex kept on a tie.
                const Triangle& t = triangleOf(ref);
                candidates[0] = candidates[1] = component(t.V0, axis);
                for (const Vector3* v : {&t.V1, &t.V2}) {
                    const float x = component(*v, axis);
                    if (x < candidates[0])
                        candidates[0] = x;
                    if (x > candidates[1])
                        candidates[1] = x;
                }
            } else {
                continue;
            }
            for (const float candidate : candidates) {
                const float position =
                    clampInto(candidate, node.boundsMin[axis], node.boundsMax[axis]);
                const float cost = costOf(node, axis, position, rule);
                if (cost < best) {
                    best = cost;
                    node.axis = axis;
                    node.split = position;
                }
            }
        }
    }
    return best;
}

namespace {

void splitByCost(Node& node, const Node& root, int32_t depth, int32_t method) {
    if (!startSplit(node, root, depth))
        return;
    const float best = searchCostPlane(node, method);
    // The leaf's cost takes its products in the order of a side's.
    const float leafCost = 3.0f + 10.0f * boxArea(node.boundsMin, node.boundsMax) *
                                      static_cast<float>(node.primitives.size());
    if (leafCost <= best) {
        node.isLeaf = true;
        return;
    }
    createChildren(node);
    splitByCost(*node.left, root, depth - 1, method);
    splitByCost(*node.right, root, depth - 1, method);
}

void countNodes(const Node& node, uint32_t& nodeCount, uint32_t& leafCount) {
    ++nodeCount;
    if (node.isLeaf) {
        ++leafCount;
        return;
    }
    countNodes(*node.left, nodeCount, leafCount);
    countNodes(*node.right, nodeCount, leafCount);
}

void emitNode(const Node& node, uint32_t slot, KdTree& tree, uint32_t& nextSlot,
              uint32_t& nextLeaf) {
    if (!node.isLeaf) {
        const uint32_t pair = nextSlot;
        nextSlot += 2;
        tree.nodes[slot].code = pair * 8 + static_cast<uint32_t>(node.axis);
        tree.nodes[slot].split = node.split;
        emitNode(*node.left, pair, tree, nextSlot, nextLeaf);
        emitNode(*node.right, pair + 1, tree, nextSlot, nextLeaf);
        return;
    }
    const uint32_t leaf = nextLeaf++;
    const uint32_t count = static_cast<uint32_t>(node.primitives.size());
    tree.nodes[slot].code = leaf * 8 + 4 + (count == 0 ? 1 : 0);
    tree.nodes[slot].split = 0.0f;
    tree.leaves[leaf].count = count;
    tree.leaves[leaf].items = new PrimitiveRef[count];
    uint32_t i = 0;
    for (const PrimitiveRef& ref : node.primitives)
        tree.leaves[leaf].items[i++] = ref;
}

// Fills groups of eight lanes with the leaf's entries of one kind, in leaf
// order, the last group's lanes past the end padded; returns the first
// group's index.
template <class Group, class Fill, class Pad>
uint32_t packKind(const PrimitiveList& list, PrimitiveType type, std::vector<Group>& groups,
                  Fill fill, Pad pad) {
    const uint32_t first = static_cast<uint32_t>(groups.size());
    uint32_t lane = 0;
    for (uint32_t i = 0; i < list.count; ++i) {
        if (list.items[i].type != type)
            continue;
        if (lane == 0)
            groups.emplace_back();
        fill(groups.back(), lane, list.items[i].object);
        lane = (lane + 1) % sphereGroupLanes;
    }
    for (; lane != 0 && lane < sphereGroupLanes; ++lane)
        pad(groups.back(), lane);
    return first;
}

void fillSphere(SphereGroup& g, uint32_t lane, const void* object) {
    const Sphere& s = *static_cast<const Sphere*>(object);
    g.x[lane] = s.centre.x;
    g.y[lane] = s.centre.y;
    g.z[lane] = s.centre.z;
    g.radius[lane] = s.radius;
    g.sphere[lane] = &s;
}

void padSphere(SphereGroup& g, uint32_t lane) {
    g.x[lane] = g.y[lane] = g.z[lane] = g.radius[lane] = NAN;
    g.sphere[lane] = nullptr;
}

// The corners, and the face normal (V1 - V0) x (V2 - V0).
void fillTriangle(TriangleGroup& g, uint32_t lane, const void* object) {
    const Triangle& t = *static_cast<const Triangle*>(object);
    const Vector3 n = cross(t.V1 - t.V0, t.V2 - t.V0);
    const Vector3* const values[4] = {&t.V0, &t.V1, &t.V2, &n};
    float* const rows[4][3] = {
        {g.x0, g.y0, g.z0}, {g.x1, g.y1, g.z1}, {g.x2, g.y2, g.z2}, {g.nx, g.ny, g.nz}};
    for (int v = 0; v < 4; ++v) {
        for (int k = 0; k < 3; ++k)
            rows[v][k][lane] = component(*values[v], k);
    }
    g.triangle[lane] = &t;
}

void padTriangle(TriangleGroup& g, uint32_t lane) {
    for (float* row : {g.x0, g.y0, g.z0, g.x1, g.y1, g.z1, g.x2, g.y2, g.z2, g.nx, g.ny, g.nz})
        row[lane] = NAN;
    g.triangle[lane] = nullptr;
}

// Per leaf that holds spheres and triangles only, its groups of each kind.
void packLeaves(KdTree& tree, uint32_t leafCount) {
    std::vector<SphereGroup> spheres;
    std::vector<TriangleGroup> triangles;
    tree.leafShapes = new LeafShapes[leafCount];
    for (uint32_t k = 0; k < leafCount; ++k) {
        const PrimitiveList& list = tree.leaves[k];
        LeafShapes shapes{noGroup, 0, noGroup, 0};
        bool packable = true;
        for (uint32_t i = 0; i < list.count; ++i) {
            shapes.sphereCount += list.items[i].type == PrimitiveType::Sphere;
            shapes.triangleCount += list.items[i].type == PrimitiveType::Triangle;
            packable = packable && (list.items[i].type == PrimitiveType::Sphere ||
                                    list.items[i].type == PrimitiveType::Triangle);
        }
        if (!packable)
            shapes = LeafShapes{noGroup, 0, noGroup, 0};
        if (shapes.sphereCount != 0)
            shapes.firstSphereGroup =
                packKind(list, PrimitiveType::Sphere, spheres, fillSphere, padSphere);
        if (shapes.triangleCount != 0)
            shapes.firstTriangleGroup =
                packKind(list, PrimitiveType::Triangle, triangles, fillTriangle, padTriangle);
        tree.leafShapes[k] = shapes;
    }
    tree.sphereGroups = new SphereGroup[spheres.size()];
    std::copy(spheres.begin(), spheres.end(), tree.sphereGroups);
    tree.triangleGroups = new TriangleGroup[triangles.size()];
    std::copy(triangles.begin(), triangles.end(), tree.triangleGroups);
}

} // namespace

// A negative radius is drawn at its magnitude, so it is bounded by it.
void computeBounds(Node& node) {
    for (int k = 0; k < 3; ++k) {
        node.boundsMin[k] = largestFloat;
        node.boundsMax[k] = -largestFloat;
    }
    for (const PrimitiveRef& ref : node.primitives) {
        for (int k = 0; k < 3; ++k) {
            if (ref.type == PrimitiveType::Sphere) {
                const Sphere& s = sphereOf(ref);
                const float c = component(s.centre, k);
                const float r = std::fabs(s.radius);
                widen(node, k, c - r, c + r);
            } else if (ref.type == PrimitiveType::Triangle) {
                const Triangle& t = triangleOf(ref);
                for (const Vector3* v : {&t.V0, &t.V1, &t.V2})
                    widen(node, k, component(*v, k), component(*v, k));
            }
        }
    }
}

std::unique_ptr<Node> loadRoot(const PrimitiveList& list) {
    auto root = std::make_unique<Node>();
    for (uint32_t i = 0; i < list.count; ++i) {
        if (isBuildable(list.items[i]))
            root->primitives.push_front(list.items[i]);
    }
    computeBounds(*root);
    return root;
}

void growNodeTree(Node& root, int32_t method) {
    // A box that is a single point cannot be cut: the root stays a leaf.
    bool point = true;
    for (int k = 0; k < 3; ++k)
        point = point && root.boundsMin[k] == root.boundsMax[k];
    const int32_t depth = point ? 0 : maxDepth;
    if (method == 0)
        splitMidpoint(root, root, depth);
    else
        splitByCost(root, root, depth, method);
}

KdTree* compileKdTree(const Node& root) {
    uint32_t nodeCount = 0;
    uint32_t leafCount = 0;
    countNodes(root, nodeCount, leafCount);
    KdTree* tree = new KdTree{};
    tree->nodes = new KdTreeNode[nodeCount];
    tree->leaves = new PrimitiveList[leafCount];
    for (int k = 0; k < 3; ++k) {
        tree->boundsMin[k] = root.boundsMin[k];
        tree->boundsMax[k] = root.boundsMax[k];
    }
    uint32_t nextSlot = 1;
    uint32_t nextLeaf = 0;
    emitNode(root, 0, *tree, nextSlot, nextLeaf);
    packLeaves(*tree, leafCount);
    return tree;
}

KdTree* buildKdTree(const PrimitiveList& list, int32_t method) {
    if (method < 0 || method > 2)
        return nullptr;
    const std::unique_ptr<Node> root = loadRoot(list);
    growNodeTree(*root, method);
    return compileKdTree(*root);
}

} // namespace vantrel::reference
