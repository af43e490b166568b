#include "vantrel/bvh/query_bvh.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "vantrel/scene/buildable.h"

namespace vantrel {

namespace {

constexpr float infinity = std::numeric_limits<float>::infinity();

struct Box {
    float lower[3] = {infinity, infinity, infinity};
    float upper[3] = {-infinity, -infinity, -infinity};
};

void grow(Box& box, const float lower[3], const float upper[3]) {
    for (int k = 0; k < 3; ++k) {
        box.lower[k] = std::min(box.lower[k], lower[k]);
        box.upper[k] = std::max(box.upper[k], upper[k]);
    }
}

void grow(Box& box, const Box& other) {
    grow(box, other.lower, other.upper);
}

// Half the surface, which is all the cost model compares.
float halfArea(const Box& box) {
    const float x = box.upper[0] - box.lower[0];
    const float y = box.upper[1] - box.lower[1];
    const float z = box.upper[2] - box.lower[2];
    return x < 0.0f ? 0.0f : x * y + y * z + z * x;
}

int longestAxis(const Box& box) {
    int axis = 0;
    for (int k = 1; k < 3; ++k)
        axis = box.upper[k] - box.lower[k] > box.upper[axis] - box.lower[axis] ? k : axis;
    return axis;
}

struct Shape {
    Box box;
    float centre[3];
    uint32_t entry; // in the list
};

Shape shapeOf(const PrimitiveRef& ref, uint32_t entry) {
    Shape shape{{}, {}, entry};
    if (ref.type == PrimitiveType::Sphere) {
        const Sphere& s = *static_cast<const Sphere*>(ref.object);
        const float c[3] = {s.centre.x, s.centre.y, s.centre.z};
        const float r = std::fabs(s.radius);
        const float lo[3] = {c[0] - r, c[1] - r, c[2] - r};
        const float hi[3] = {c[0] + r, c[1] + r, c[2] + r};
        grow(shape.box, lo, hi);
    } else {
        const Triangle& t = *static_cast<const Triangle*>(ref.object);
        for (const Vector3& v : {t.V0, t.V1, t.V2}) {
            const float p[3] = {v.x, v.y, v.z};
            grow(shape.box, p, p);
        }
    }
    for (int k = 0; k < 3; ++k)
        shape.centre[k] = 0.5f * shape.box.lower[k] + 0.5f * shape.box.upper[k];
    return shape;
}

// The binary tree the cost model builds, before its levels are gathered
// into nodes of eight.
struct BinaryNode {
    Box box;
    uint32_t first; // shapes of a leaf
    uint32_t count; // 0 for an inner node
    uint32_t lower; // an inner node's children
    uint32_t upper;
};

// The cost model: a leaf tests up to a group of shapes in one step, which
// costs about twice a node's test of its children's boxes. (Measured: leaf
// steps of one to three node tests and groups of four or eight shapes differ
// by less than the noise.)
constexpr float nodeCost = 1.0f;
constexpr float leafStepCost = 2.0f;
constexpr uint32_t mostInLeaf = triangleGroupLanes;

float leafSteps(uint32_t count) {
    return static_cast<float>((count + mostInLeaf - 1) / mostInLeaf);
}
constexpr int binCount = 16;

// What a build works on.
struct BvhBuild {
    const PrimitiveList& list;
    QueryBvh& bvh;
    std::vector<Shape> shapes;
    std::vector<BinaryNode> binary;
    bool spheres = false; // whether the scene has any of each kind
    bool triangles = false;
    uint32_t leafCount = 0;
};

int binOf(float centre, float lower, float scale) {
    const float at = (centre - lower) * scale;
    // Tested before converting: an integer out of range is undefined.
    return at >= 0.0f ? (at < binCount ? static_cast<int>(at) : binCount - 1) : 0;
}

// Orders a node's shapes into its two sides and says how many the lower
// takes; 0 where the node stays a leaf. By the surface area cost of binned
// planes; below the depth bound by halving the count, so that the tree stays
// shallow on any input.
uint32_t splitPoint(BvhBuild& build, const BinaryNode& node, const Box& centres, uint32_t depth) {
    Shape* const first = build.shapes.data() + node.first;
    Shape* const end = first + node.count;
    if (node.count <= 1)
        return 0;
    const uint32_t half = node.count / 2;
    const int longest = longestAxis(centres);
    const auto byCount = [&] {
        std::nth_element(first, first + half, end, [&](const Shape& a, const Shape& b) {
            return a.centre[longest] < b.centre[longest];
        });
        return half;
    };
    if (depth >= bvhSahDepth)
        return node.count <= mostInLeaf ? 0 : byCount();

    struct Bin {
        Box box;
        uint32_t count = 0;
    };
    float bestCost = infinity;
    int bestAxis = -1;
    int bestBin = 0;
    for (int axis = 0; axis < 3; ++axis) {
        const float lo = centres.lower[axis];
        const float extent = centres.upper[axis] - lo;
        const float scale = binCount / extent;
        // Bins of no width, or of a width past the floats, split nothing.
        if (!(extent > 0.0f) || !std::isfinite(extent) || !std::isfinite(scale))
            continue;
        Bin bins[binCount];
        for (const Shape* s = first; s != end; ++s) {
            Bin& bin = bins[binOf(s->centre[axis], lo, scale)];
            grow(bin.box, s->box);
            ++bin.count;
        }
        // Each side's cost for every plane between bins.
        float lowerCost[binCount];
        Box box;
        uint32_t count = 0;
        for (int b = 0; b < binCount - 1; ++b) {
            grow(box, bins[b].box);
            count += bins[b].count;
            lowerCost[b] = halfArea(box) * leafSteps(count);
        }
        box = Box{};
        count = 0;
        for (int b = binCount - 1; b > 0; --b) {
            grow(box, bins[b].box);
            count += bins[b].count;
            const float cost = lowerCost[b - 1] + halfArea(box) * leafSteps(count);
            if (cost < bestCost) {
                bestCost = cost;
                bestAxis = axis;
                bestBin = b;
            }
        }
    }
    const float leafCost = leafStepCost * leafSteps(node.count);
    const float splitCost =
        nodeCost + leafStepCost * bestCost / std::max(halfArea(node.box), 1e-30f);
    if (node.count <= mostInLeaf && (bestAxis < 0 || leafCost <= splitCost))
        return 0;
    if (bestAxis < 0)
        return byCount(); // every centre in one point
    const float lo = centres.lower[bestAxis];
    const float scale = binCount / (centres.upper[bestAxis] - lo);
    const Shape* middle = std::partition(
        first, end, [&](const Shape& s) { return binOf(s.centre[bestAxis], lo, scale) < bestBin; });
    const auto lowerCount = static_cast<uint32_t>(middle - first);
    return lowerCount == 0 || lowerCount == node.count ? byCount() : lowerCount;
}

void splitAll(BvhBuild& build) {
    struct Pending {
        uint32_t node;
        uint32_t depth;
    };
    build.binary.push_back({{}, 0, static_cast<uint32_t>(build.shapes.size()), 0, 0});
    std::vector<Pending> pending{{0, 0}};
    while (!pending.empty()) {
        const Pending at = pending.back();
        pending.pop_back();
        BinaryNode node = build.binary[at.node];
        Box centres;
        for (uint32_t i = node.first; i < node.first + node.count; ++i) {
            grow(node.box, build.shapes[i].box);
            grow(centres, build.shapes[i].centre, build.shapes[i].centre);
        }
        const uint32_t lowerCount = splitPoint(build, node, centres, at.depth);
        if (lowerCount != 0) {
            node.lower = static_cast<uint32_t>(build.binary.size());
            node.upper = node.lower + 1;
            build.binary.push_back({{}, node.first, lowerCount, 0, 0});
            build.binary.push_back({{}, node.first + lowerCount, node.count - lowerCount, 0, 0});
            node.count = 0;
            pending.push_back({node.upper, at.depth + 1});
            pending.push_back({node.lower, at.depth + 1});
        }
        build.binary[at.node] = node;
    }
}

// Appends a leaf's group of one kind and its lanes' entries, the lanes past
// count padded.
template <class Group>
void appendGroup(std::vector<Group>& groups, std::vector<uint32_t>& entries, Group& group,
                 uint32_t laneEntries[], uint32_t count, void (*pad)(Group&, uint32_t)) {
    for (uint32_t lane = count; lane < sphereGroupLanes; ++lane) {
        pad(group, lane);
        laneEntries[lane] = noEntry;
    }
    groups.push_back(group);
    entries.insert(entries.end(), laneEntries, laneEntries + sphereGroupLanes);
}

// Packs a leaf's shapes, in the list's order, into the next group of each
// kind, and gives the leaf's index.
uint32_t makeLeaf(BvhBuild& build, const BinaryNode& node) {
    Shape* const first = build.shapes.data() + node.first;
    // The leaf test takes the first of two hits at one distance.
    std::sort(first, first + node.count,
              [](const Shape& a, const Shape& b) { return a.entry < b.entry; });
    QueryBvh& bvh = build.bvh;
    SphereGroup spheres;
    TriangleGroup triangles;
    uint32_t sphereEntries[sphereGroupLanes];
    uint32_t triangleEntries[triangleGroupLanes];
    uint32_t sphereCount = 0;
    uint32_t triangleCount = 0;
    for (uint32_t i = 0; i < node.count; ++i) {
        const PrimitiveRef& ref = build.list.items[first[i].entry];
        if (ref.type == PrimitiveType::Sphere) {
            sphereEntries[sphereCount] = first[i].entry;
            putSphere(spheres, sphereCount++, *static_cast<const Sphere*>(ref.object));
        } else {
            triangleEntries[triangleCount] = first[i].entry;
            putTriangle(triangles, triangleCount++, *static_cast<const Triangle*>(ref.object));
        }
    }
    if (build.spheres)
        appendGroup(bvh.sphereGroups, bvh.sphereEntries, spheres, sphereEntries, sphereCount,
                    padSphere);
    if (build.triangles)
        appendGroup(bvh.triangleGroups, bvh.triangleEntries, triangles, triangleEntries,
                    triangleCount, padTriangle);
    return build.leafCount++;
}

// A node of up to eight children from the binary subtree at index: its
// largest inner child opened into its two until there are eight. Gives the
// node's index.
uint32_t emitNode(BvhBuild& build, uint32_t index) {
    const std::vector<BinaryNode>& binary = build.binary;
    uint32_t children[bvhWidth] = {index};
    uint32_t count = 1;
    while (count < bvhWidth) {
        int widest = -1;
        for (uint32_t k = 0; k < count; ++k) {
            const BinaryNode& child = binary[children[k]];
            if (child.count == 0 &&
                (widest < 0 || halfArea(child.box) > halfArea(binary[children[widest]].box)))
                widest = static_cast<int>(k);
        }
        if (widest < 0)
            break;
        const BinaryNode& open = binary[children[widest]];
        children[widest] = open.lower;
        children[count++] = open.upper;
    }
    const auto at = static_cast<uint32_t>(build.bvh.nodes.size());
    BvhNode& node = build.bvh.nodes.emplace_back();
    for (uint32_t k = 0; k < bvhWidth; ++k) {
        node.lowerX[k] = node.lowerY[k] = node.lowerZ[k] = infinity;
        node.upperX[k] = node.upperY[k] = node.upperZ[k] = -infinity;
        node.child[k] = noChild;
    }
    for (uint32_t k = 0; k < count; ++k) {
        const BinaryNode& child = binary[children[k]];
        const uint32_t code =
            child.count != 0 ? leafChild | makeLeaf(build, child) : emitNode(build, children[k]);
        // Emitting grew the vector: the node is found again by its index.
        BvhNode& filled = build.bvh.nodes[at];
        filled.lowerX[k] = child.box.lower[0];
        filled.lowerY[k] = child.box.lower[1];
        filled.lowerZ[k] = child.box.lower[2];
        filled.upperX[k] = child.box.upper[0];
        filled.upperY[k] = child.box.upper[1];
        filled.upperZ[k] = child.box.upper[2];
        filled.child[k] = code;
    }
    return at;
}

} // namespace

void buildQueryBvh(QueryBvh& bvh, const PrimitiveList& list) {
    bvh = QueryBvh{};
    BvhBuild build{list, bvh, {}, {}};
    for (uint32_t i = 0; i < list.count; ++i) {
        const PrimitiveRef& ref = list.items[i];
        if (!isBuildable(ref))
            continue;
        build.shapes.push_back(shapeOf(ref, i));
        build.spheres = build.spheres || ref.type == PrimitiveType::Sphere;
        build.triangles = build.triangles || ref.type == PrimitiveType::Triangle;
    }
    if (build.shapes.empty())
        return;
    splitAll(build);
    const Box& bounds = build.binary[0].box;
    std::copy(bounds.lower, bounds.lower + 3, bvh.boundsMin);
    std::copy(bounds.upper, bounds.upper + 3, bvh.boundsMax);
    bvh.root = emitNode(build, 0);
}

} // namespace vantrel
