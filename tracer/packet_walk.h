// The walk of a packet of rays, written once over the lane types; each
// instruction set's file instantiates it for its lane count.
#pragma once

#include <cstdint>

#include "vantrel/kdtree/kd_tree.h"
#include "vantrel/scene/records.h"
#include "vantrel/tracer/intersect.h"
#include "vantrel/tracer/leaf_kernel.h"
#include "vantrel/tracer/packed_leaf.h"
#include "vantrel/tracer/packet_trace.h"
#include "vantrel/tracer/relative_leaf.h"
#include "vantrel/tracer/sphere_test.h"
#include "vantrel/tracer/trace_context.h"
#include "vantrel/tracer/traverse.h"
#include "vantrel/tracer/triangle_test.h"
#include "vantrel/tracer/walk_rules.h"

namespace vantrel {

namespace packet_walk_detail {

// A far child put off by the packet, with the lanes that walk it and their
// stretches.
template <class F> struct PacketEntry {
    F entry;
    F exit;
    const KdTreeNode* node;
    uint32_t lanes;
    // Lanes of this entry and of every entry below it: a lane outside it has
    // nothing left behind, as an empty stack in its own walk.
    uint32_t waiting;
};

// The context's packet stack, which the kernel in use lays out as its own.
template <class F> PacketEntry<F>* packetStackOf(TraceContext& context) {
    static_assert(sizeof(PacketEntry<F>) <= packetEntryBytes && alignof(PacketEntry<F>) <= 64,
                  "an entry fits its room in the context");
    return reinterpret_cast<PacketEntry<F>*>(context.packetStack);
}

// The packet's lanes as the walk keeps them apart from the stack.
template <class F> struct PacketWalk {
    TraceContext* context; // the stack, and the hit of a lane walked alone
    const RayPacket* packet;
    F direction[3]; // by axis
    F inverse[3];
    float origin[3];
    uint32_t nearOffset[3]; // of the near child within a pair, the same for every lane
    F entry;                // each lane's stretch in the tree's box
    F exit;
    uint32_t live; // lanes that meet the tree's box
    uint32_t done; // lanes whose hit is accepted
    // Lanes whose hit awaits its shape's material, and where it lies.
    uint32_t materialDue;
    const Material* materialOf[F::width];
};

template <class F> Ray laneRay(const PacketWalk<F>& walk, uint32_t lane) {
    return {walk.packet->origin, laneDirection(*walk.packet, lane)};
}

template <class F> void keepLoneHit(const TraceContext& context, PacketHits& hits, uint32_t lane) {
    hits.hit[lane] = context.hit;
    hits.hitMask |= 1u << lane;
}

// The sphere test of every lane against the leaf's spheres in order. The
// origin is shared, so what depends on it and the sphere alone is worked out
// once per sphere. Leaves per lane the nearest candidate in best and the
// first entry at it in bestEntry.
template <class F>
void nearestSpheresOfLanes(const SphereGroup* groups, uint32_t count, const PacketWalk<F>& walk,
                           F& best, typename F::Ints& bestEntry) {
    // The winner's sphere is found through this line: ask for it with the rows.
    __builtin_prefetch(groups[0].sphere);
    const Vector3& o = walk.packet->origin;
    best = noHitDistance;
    bestEntry = noEntry;
    for (uint32_t entry = 0; entry < count; ++entry) {
        const SphereGroup& group = groups[entry / sphereGroupLanes];
        const uint32_t slot = entry % sphereGroupLanes;
        const SphereRoots<F> roots = sphereRoots<F, float>(
            o.x - group.x[slot], o.y - group.y[slot], o.z - group.z[slot], walk.direction[0],
            walk.direction[1], walk.direction[2], group.radius[slot]);
        keepNearer(roots.candidate, roots.accepted, typename F::Ints(entry), best, bestEntry);
    }
}

// The triangle test of every lane against the leaf's triangles in order.
// Leaves per lane the nearest distance in best and the first ordinal at it
// in bestEntry.
template <class F>
void nearestTrianglesOfLanes(const TriangleGroup* groups, uint32_t count, const PacketWalk<F>& walk,
                             F& best, typename F::Ints& bestEntry) {
    __builtin_prefetch(groups[0].triangle);
    // Kept in registers: the results are written once, at the end.
    F nearest = noHitDistance;
    typename F::Ints nearestEntry = noEntry;
    alignas(64) RelativeTriangleGroup rel[relativeGroupsAtOnce];
    for (uint32_t first = 0; first < count; first += relativeTrianglesAtOnce) {
        const uint32_t here =
            count - first < relativeTrianglesAtOnce ? count - first : relativeTrianglesAtOnce;
        relativeToOrigin<F>(groups + first / triangleGroupLanes, groupsFor(here), walk.origin, rel);
        for (uint32_t k = 0; k < here; ++k) {
            const RelativeTriangleGroup& g = rel[k / triangleGroupLanes];
            const uint32_t i = k % triangleGroupLanes;
            const float w[3] = {g.wx[i], g.wy[i], g.wz[i]};
            const float a[3] = {g.ax[i], g.ay[i], g.az[i]};
            const float b[3] = {g.bx[i], g.by[i], g.bz[i]};
            const float n[3] = {g.nx[i], g.ny[i], g.nz[i]};
            const TriangleHits<F> hits =
                triangleHitsFrom<F, float>(w, a, b, n, g.wn[i], walk.direction);
            // Without a branch: whether a lane takes the triangle is a guess.
            keepNearer(hits.t, hits.accepted, typename F::Ints(first + k), nearest, nearestEntry);
        }
    }
    best = nearest;
    bestEntry = nearestEntry;
}

// Per lane, the nearest sphere and the nearest triangle of a packed leaf;
// only the kinds the leaf holds are written.
template <class F> struct LeafLanes {
    alignas(64) float sphereDistance[F::width];
    alignas(64) float triangleDistance[F::width];
    uint32_t sphere[F::width];
    uint32_t triangle[F::width];
};

// Tests a packed leaf for the lanes: the nearest distance per lane, with
// what each lane found kept in found.
template <class F>
F testPackedLeaf(const KdTree& tree, const LeafShapes& shapes, const PacketWalk<F>& walk,
                 LeafLanes<F>& found) {
    using Ints = typename F::Ints;
    F sphereBest = noHitDistance;
    F triangleBest = noHitDistance;
    if (const SphereGroup* spheres = sphereGroupsOf(tree, shapes)) {
        Ints sphereEntry;
        nearestSpheresOfLanes(spheres, shapes.sphereCount, walk, sphereBest, sphereEntry);
        sphereBest.store(found.sphereDistance);
        sphereEntry.store(found.sphere);
    }
    if (const TriangleGroup* triangles = triangleGroupsOf(tree, shapes)) {
        Ints triangleEntry;
        nearestTrianglesOfLanes(triangles, shapes.triangleCount, walk, triangleBest, triangleEntry);
        triangleBest.store(found.triangleDistance);
        triangleEntry.store(found.triangle);
    }
    return select(triangleBest < sphereBest, triangleBest, sphereBest);
}

// The triangle test of each of lanes alone against the leaf's triangles in
// order, raysPerVector<F> lanes to a vector: per lane, the nearest distance
// and the first ordinal at it in found, as the lone walk finds them.
template <class F>
void nearestTrianglesByLane(const TriangleGroup* groups, uint32_t count, uint32_t lanes,
                            const PacketWalk<F>& walk, LeafLanes<F>& found) {
    using Ints = typename F::Ints;
    constexpr uint32_t perVector = raysPerVector<F>;
    uint32_t lane[F::width];
    uint32_t lanesTaken = 0;
    for (uint32_t rest = lanes; rest != 0; rest &= rest - 1)
        lane[lanesTaken++] = static_cast<uint32_t>(__builtin_ctz(rest));
    // A lane that does not fill a vector is tested as its lone walk tests the
    // leaf: its rows relative to the origin would not pay for one ray, and a
    // copy of it beside itself would test half as many triangles a step. The
    // character renders 1.04 times as fast as with the copy.
    while (lanesTaken % perVector != 0) {
        const uint32_t alone = lane[--lanesTaken];
        found.triangle[alone] = nearestTriangleLanes<F>(groups, count, laneRay(walk, alone),
                                                        found.triangleDistance[alone]);
    }
    const uint32_t vectors = lanesTaken / perVector;
    if (vectors == 0)
        return;
    F direction[F::width][3];
    F best[F::width];
    Ints bestEntry[F::width];
    for (uint32_t v = 0; v < vectors; ++v) {
        for (uint32_t axis = 0; axis < 3; ++axis) {
            float each[perVector];
            for (uint32_t ray = 0; ray < perVector; ++ray)
                each[ray] = walk.packet->direction[axis][lane[v * perVector + ray]];
            direction[v][axis] = F::ofEachEight(each);
        }
        best[v] = noHitDistance;
        bestEntry[v] = noEntry;
    }
    if (vectors == 1) {
        // Rows relative to the origin, formed for one vector, would cost what
        // they save: without, the character renders 1.02 times as fast, the
        // 7-level icosphere 1.01 times.
        keepNearestOfRays(groups, count, walk.origin, direction[0], best[0], bestEntry[0]);
    } else {
        alignas(64) RelativeTriangleGroup rel[relativeGroupsAtOnce];
        for (uint32_t first = 0; first < count; first += relativeTrianglesAtOnce) {
            const uint32_t here =
                count - first < relativeTrianglesAtOnce ? count - first : relativeTrianglesAtOnce;
            relativeToOrigin<F>(groups + first / triangleGroupLanes, groupsFor(here), walk.origin,
                                rel);
            for (uint32_t v = 0; v < vectors; ++v)
                keepNearestOfRays(rel, here, first, direction[v], best[v], bestEntry[v]);
        }
    }
    for (uint32_t v = 0; v < vectors; ++v) {
        uint32_t entry[perVector];
        float distance[perVector];
        firstNearestOfRays(best[v], bestEntry[v], entry, distance);
        for (uint32_t ray = 0; ray < perVector; ++ray) {
            found.triangle[lane[v * perVector + ray]] = entry[ray];
            found.triangleDistance[lane[v * perVector + ray]] = distance[ray];
        }
    }
}

// testPackedLeaf for a leaf that few of the lanes reached: each of lanes is
// tested alone, as its lone walk tests the leaf, against several shapes at
// once; the others find nothing.
template <class F>
F testPackedLeafByLane(const KdTree& tree, const LeafShapes& shapes, uint32_t lanes,
                       const PacketWalk<F>& walk, LeafLanes<F>& found) {
    const SphereGroup* spheres = sphereGroupsOf(tree, shapes);
    const TriangleGroup* triangles = triangleGroupsOf(tree, shapes);
    F(noHitDistance).store(found.sphereDistance);
    F(noHitDistance).store(found.triangleDistance);
    if (spheres != nullptr) {
        for (uint32_t rest = lanes; rest != 0; rest &= rest - 1) {
            const uint32_t lane = static_cast<uint32_t>(__builtin_ctz(rest));
            found.sphere[lane] = nearestSphereLanes<F>(
                spheres, shapes.sphereCount, laneRay(walk, lane), found.sphereDistance[lane]);
        }
    }
    if (triangles != nullptr)
        nearestTrianglesByLane(triangles, shapes.triangleCount, lanes, walk, found);
    const F sphereBest = F::load(found.sphereDistance);
    const F triangleBest = F::load(found.triangleDistance);
    return select(triangleBest < sphereBest, triangleBest, sphereBest);
}

// Records in record the hit that lane found in a packed leaf, but for the
// material, which is left due in walk: the shape is rarely in the cache, and
// once the packet is walked every lane's wait for it overlaps the others'.
template <class F>
void recordLeafLane(const KdTree& tree, uint32_t leaf, const LeafShapes& shapes,
                    const LeafLanes<F>& found, PacketWalk<F>& walk, uint32_t lane,
                    HitRecord& record) {
    const bool triangle =
        shapes.sphereCount == 0 ||
        (shapes.triangleCount != 0 &&
         triangleWins(tree.leaves[leaf], found.sphere[lane], found.sphereDistance[lane],
                      found.triangle[lane], found.triangleDistance[lane]));
    const Material* material =
        triangle
            ? recordTriangleHitButMaterial(triangleGroupsOf(tree, shapes), found.triangle[lane],
                                           found.triangleDistance[lane], record)
            : recordSphereHitButMaterial(sphereGroupsOf(tree, shapes), found.sphere[lane],
                                         laneRay(walk, lane), found.sphereDistance[lane], record);
    __builtin_prefetch(material);
    walk.materialOf[lane] = material;
    walk.materialDue |= 1u << lane;
}

// Tests leaf for the lanes and accepts in each the hit its own walk would.
template <class F>
void testLeafLanes(const KdTree& tree, uint32_t leaf, uint32_t lanes, F entry, F exit,
                   uint32_t waiting, PacketWalk<F>& walk, PacketHits& hits) {
    alignas(64) float distance[F::width];
    LeafLanes<F> leafLanes;
    uint32_t found = 0;
    const LeafShapes* shapes = tree.leafShapes != nullptr ? &tree.leafShapes[leaf] : nullptr;
    const bool packed = shapes != nullptr && isPacked(*shapes);
    F nearest;
    if (packed) {
        // The packet's test spends a whole vector on each shape, however few
        // lanes reached the leaf; the test ray by ray fills its vectors with
        // the lanes that did. Where fine detail spreads a packet over many
        // leaves, most leaves are reached by a few lanes: tested ray by ray,
        // the 7-level icosphere renders 1.24 times as fast, a scanned
        // character 1.5 times. Triangles, tested by lanes that share their
        // rows relative to the origin, pay for up to three quarters of the
        // lanes: 1.02 times as fast on the 7-level icosphere, the others
        // within noise. Spheres, a lane at a time, for half of them: with
        // three quarters the sphere orbit renders 0.93 times as fast.
        const uint32_t reached = static_cast<uint32_t>(__builtin_popcount(lanes));
        const bool byLane =
            shapes->sphereCount == 0 ? 4 * reached <= 3 * F::width : 2 * reached <= F::width;
        nearest = byLane ? testPackedLeafByLane(tree, *shapes, lanes, walk, leafLanes)
                         : testPackedLeaf(tree, *shapes, walk, leafLanes);
        found = lanes & bits(nearest < F(noHitDistance));
    } else {
        // Other primitives: each lane through the list test, its record kept
        // in case it is accepted.
        for (uint32_t lane = 0; lane < F::width; ++lane)
            distance[lane] = noHitDistance;
        for (uint32_t rest = lanes; rest != 0; rest &= rest - 1) {
            const uint32_t lane = static_cast<uint32_t>(__builtin_ctz(rest));
            if (intersectLeaf(*walk.context, tree, leaf, laneRay(walk, lane)) != 0) {
                found |= 1u << lane;
                distance[lane] = walk.context->hit.distance;
                hits.hit[lane] = walk.context->hit;
            }
        }
        nearest = F::load(distance);
    }
    if (found == 0)
        return;
    const uint32_t accepted =
        found & bits(acceptsLeafHit(nearest, entry, exit, !F::Mask::ofBits(waiting)));
    if (packed) {
        for (uint32_t rest = accepted; rest != 0; rest &= rest - 1) {
            const uint32_t lane = static_cast<uint32_t>(__builtin_ctz(rest));
            recordLeafLane(tree, leaf, *shapes, leafLanes, walk, lane, hits.hit[lane]);
        }
    }
    hits.hitMask |= accepted;
    walk.done |= accepted;
}

// The walk of every lane at once. Lanes agree on which child is near, so each
// visits its cells in the order of its own walk, with the same stretches; a
// lane stays out of the cells its own walk would not enter. False when the
// stack ran out, which leaves the unfinished lanes to walk alone.
template <class F> bool walkPacket(const KdTree& tree, PacketWalk<F>& walk, PacketHits& hits) {
    PacketEntry<F>* const stack = packetStackOf<F>(*walk.context);
    const KdTreeNode* const nodes = tree.nodes;
    const KdTreeNode* node = nodes;
    uint32_t lanes = walk.live;
    F entry = walk.entry;
    F exit = walk.exit;
    int top = -1;
    for (;;) {
        KdTreeNode at = *node;
        while (!isLeafNode(at)) {
            const uint32_t axis = splitAxis(at);
            const F t = planeDistance(at, walk.origin, walk.inverse[axis]);
            const KdTreeNode* lower = nodes + lowerChild(at);
            const KdTreeNode* nearChild = lower + walk.nearOffset[axis];
            const KdTreeNode* farChild = lower + (walk.nearOffset[axis] ^ 1u);
            const PlaneSides<F> sides = planeSides(entry, exit, t);
            const uint32_t nearLanes = lanes & ~bits(sides.farOnly);
            const uint32_t farLanes = lanes & ~bits(sides.nearOnly);
            if (nearLanes == 0) {
                node = farChild;
            } else if (farLanes == 0) {
                node = nearChild;
            } else {
                if (top + 1 >= traversalStackSize)
                    return false;
                // Only the lanes that cross the plane split their stretch at it.
                const typename F::Mask crossing = F::Mask::ofBits(nearLanes & farLanes);
                PacketEntry<F>& deferred = stack[++top];
                deferred.entry = select(crossing, t, entry);
                deferred.exit = exit;
                deferred.node = farChild;
                deferred.lanes = farLanes;
                deferred.waiting = farLanes | (top > 0 ? stack[top - 1].waiting : 0);
                exit = select(crossing, t, exit);
                lanes = nearLanes;
                node = nearChild;
            }
            at = *node;
        }
        if (!isEmptyLeaf(at)) {
            const uint32_t waiting = top >= 0 ? stack[top].waiting : 0;
            testLeafLanes(tree, leafIndex(at), lanes, entry, exit, waiting, walk, hits);
        }
        for (lanes = 0; lanes == 0;) {
            if (top < 0)
                return true;
            const PacketEntry<F>& next = stack[top--];
            lanes = next.lanes & ~walk.done;
            node = next.node;
            entry = next.entry;
            exit = next.exit;
        }
    }
}

} // namespace packet_walk_detail

// intersectKdTreePacket on F::width lanes.
template <class F>
void tracePacketLanes(TraceContext& context, const KdTree& tree, const RayPacket& packet,
                      PacketHits& hits) {
    using namespace packet_walk_detail;
    PacketWalk<F> walk;
    walk.context = &context;
    walk.packet = &packet;
    walk.done = 0;
    for (uint32_t axis = 0; axis < 3; ++axis) {
        walk.direction[axis] = F::load(packet.direction[axis]);
        walk.inverse[axis] = F(1.0f) / walk.direction[axis];
    }
    const Vector3& o = packet.origin;
    walk.origin[0] = o.x;
    walk.origin[1] = o.y;
    walk.origin[2] = o.z;
    walk.live =
        bits(clipToBox(tree, walk.origin, walk.direction, walk.inverse, walk.entry, walk.exit));
    countRays(context, tree, F::width);
    if (walk.live == 0)
        return;
    // Lanes that disagree on a near child would see cells in different
    // orders: then each walks alone.
    bool agree = true;
    for (uint32_t axis = 0; axis < 3; ++axis) {
        const uint32_t up = bits(nearIsLower(walk.direction[axis])) & walk.live;
        agree = agree && (up == 0 || up == walk.live);
        walk.nearOffset[axis] = up != 0 ? 0u : 1u;
    }
    walk.materialDue = 0;
    const bool walked = agree && walkPacket(tree, walk, hits);
    for (uint32_t due = walk.materialDue; due != 0; due &= due - 1) {
        const uint32_t lane = static_cast<uint32_t>(__builtin_ctz(due));
        hits.hit[lane].material = *walk.materialOf[lane];
    }
    if (walked)
        return;
    alignas(64) float entry[F::width];
    alignas(64) float exit[F::width];
    walk.entry.store(entry);
    walk.exit.store(exit);
    for (uint32_t rest = walk.live & ~walk.done; rest != 0; rest &= rest - 1) {
        const uint32_t lane = static_cast<uint32_t>(__builtin_ctz(rest));
        if (traverseKdTree(context, tree, laneRay(walk, lane), tree.nodes, entry[lane],
                           exit[lane]) != 0)
            keepLoneHit<F>(context, hits, lane);
    }
}

} // namespace vantrel
