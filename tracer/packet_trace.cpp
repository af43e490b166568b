#include "tracer/packet_trace.h"

#if defined(__x86_64__) || defined(__i386__)
#define VANTREL_X86 1
#include <immintrin.h>
#endif

#include "tracer/intersect.h"
#include "tracer/sphere_lanes.h"
#include "tracer/sphere_test.h"
#include "tracer/traverse.h"

namespace vantrel {

namespace {

Ray laneRay(const RayPacket& packet, uint32_t lane) {
    return {packet.origin, packet.direction[lane]};
}

void keepHit(PacketHits& hits, uint32_t lane) {
    hits.hit[lane] = hitRecord;
    hits.hitMask |= 1u << lane;
}

void walkLanesAlone(KdTree& tree, const RayPacket& packet, PacketHits& hits) {
    for (uint32_t lane = 0; lane < packetLanes; ++lane) {
        if (intersectKdTree(tree, laneRay(packet, lane)) != 0)
            keepHit(hits, lane);
    }
}

#ifdef VANTREL_X86

// A far child put off by the packet, with the lanes that walk it and their
// stretches.
struct alignas(32) PacketEntry {
    __m256 entry;
    __m256 exit;
    const KdTreeNode* node;
    uint32_t lanes;
    // Lanes of this entry and of every entry below it: a lane outside it has
    // nothing left behind, as an empty stack in its own walk.
    uint32_t waiting;
};

PacketEntry packetStack[traversalStackSize];

// The packet's lanes as the walk keeps them apart from the stack.
struct PacketWalk {
    const RayPacket* packet;
    float inverse[4][packetLanes]; // by axis; 3 repeats z, as component() reads it
    float origin[4];
    uint32_t nearOffset[4]; // of the near child within a pair, the same for every lane
    alignas(32) float entry[packetLanes];
    alignas(32) float exit[packetLanes];
    uint32_t live; // lanes that meet the tree's box
    uint32_t done; // lanes whose hit is accepted
};

__attribute__((target("avx2"))) __m256 laneSelect(uint32_t lanes) {
    const __m256i bits = _mm256_setr_epi32(1, 2, 4, 8, 16, 32, 64, 128);
    const __m256i set = _mm256_and_si256(_mm256_set1_epi32(static_cast<int>(lanes)), bits);
    return _mm256_castsi256_ps(_mm256_cmpeq_epi32(set, bits));
}

__attribute__((target("avx2"))) uint32_t lanesWhere(__m256 condition) {
    return static_cast<uint32_t>(_mm256_movemask_ps(condition));
}

// The sphere test of every lane against the leaf's spheres in order, with the
// arithmetic of sphereCandidate. The origin is shared, so what depends on it
// and the sphere alone is worked out once per sphere, in the same floats.
// Leaves in distance each lane's nearest candidate and returns, per lane, the
// first entry at it (noSphereHit in lanes without one).
__attribute__((target("avx2"))) void nearestSpheres(const SphereGroup* groups, uint32_t count,
                                                    const RayPacket& packet, float* distance,
                                                    uint32_t* entryOf) {
    const Vector3& o = packet.origin;
    alignas(32) float dx[packetLanes], dy[packetLanes], dz[packetLanes];
    for (uint32_t lane = 0; lane < packetLanes; ++lane) {
        dx[lane] = packet.direction[lane].x;
        dy[lane] = packet.direction[lane].y;
        dz[lane] = packet.direction[lane].z;
    }
    const __m256 x = _mm256_load_ps(dx);
    const __m256 y = _mm256_load_ps(dy);
    const __m256 z = _mm256_load_ps(dz);
    const __m256 zero = _mm256_setzero_ps();
    const __m256 minDistance = _mm256_set1_ps(minHitDistance);
    const __m256 signBit = _mm256_set1_ps(-0.0f);
    __m256 best = _mm256_set1_ps(noHitDistance);
    __m256i bestEntry = _mm256_set1_epi32(-1);
    for (uint32_t entry = 0; entry < count; ++entry) {
        const SphereGroup& group = groups[entry / sphereGroupLanes];
        const uint32_t slot = entry % sphereGroupLanes;
        const float ocx = o.x - group.x[slot];
        const float ocy = o.y - group.y[slot];
        const float ocz = o.z - group.z[slot];
        const float ococ = ocx * ocx + ocy * ocy + ocz * ocz;
        const float rr = group.radius[slot] * group.radius[slot];
        const __m256 ocd = _mm256_add_ps(_mm256_add_ps(_mm256_mul_ps(_mm256_set1_ps(ocx), x),
                                                       _mm256_mul_ps(_mm256_set1_ps(ocy), y)),
                                         _mm256_mul_ps(_mm256_set1_ps(ocz), z));
        const __m256 b = _mm256_xor_ps(ocd, signBit);
        const __m256 D = _mm256_add_ps(_mm256_sub_ps(_mm256_mul_ps(b, b), _mm256_set1_ps(ococ)),
                                       _mm256_set1_ps(rr));
        const __m256 s = _mm256_sqrt_ps(D);
        const __m256 tn = _mm256_sub_ps(b, s);
        const __m256 tf = _mm256_add_ps(b, s);
        const __m256 candidate = _mm256_blendv_ps(tn, tf, _mm256_cmp_ps(tn, zero, _CMP_LT_OQ));
        __m256 better = _mm256_and_ps(_mm256_cmp_ps(D, zero, _CMP_NLE_UQ),
                                      _mm256_cmp_ps(tf, zero, _CMP_NLE_UQ));
        better = _mm256_and_ps(better, _mm256_cmp_ps(candidate, minDistance, _CMP_GT_OQ));
        better = _mm256_and_ps(better, _mm256_cmp_ps(candidate, best, _CMP_LT_OQ));
        best = _mm256_blendv_ps(best, candidate, better);
        bestEntry = _mm256_castps_si256(_mm256_blendv_ps(
            _mm256_castsi256_ps(bestEntry),
            _mm256_castsi256_ps(_mm256_set1_epi32(static_cast<int>(entry))), better));
    }
    _mm256_storeu_ps(distance, best);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(entryOf), bestEntry);
}

// Tests leaf for the lanes and accepts, as each lane's own walk would, a hit
// no further than the lane's exit (or any hit in a lane's last cell).
__attribute__((target("avx2"))) void testLeafLanes(KdTree& tree, uint32_t leaf, uint32_t lanes,
                                                   __m256 entry, __m256 exit, uint32_t waiting,
                                                   PacketWalk& walk, PacketHits& hits) {
    const RayPacket& packet = *walk.packet;
    alignas(32) float distance[packetLanes];
    uint32_t entryOf[packetLanes];
    uint32_t found = 0;
    const uint32_t first =
        tree.sphereGroupStart != nullptr ? tree.sphereGroupStart[leaf] : noSphereGroup;
    const SphereGroup* groups = tree.sphereGroups + (first == noSphereGroup ? 0 : first);
    if (first != noSphereGroup) {
        nearestSpheres(groups, tree.leaves[leaf].count, packet, distance, entryOf);
        for (uint32_t lane = 0; lane < packetLanes; ++lane) {
            if (entryOf[lane] != noSphereHit)
                found |= 1u << lane;
        }
        found &= lanes;
    } else {
        // Other primitives: each lane through the list test, its record kept
        // in case it is accepted.
        for (uint32_t lane = 0; lane < packetLanes; ++lane)
            distance[lane] = noHitDistance;
        for (uint32_t rest = lanes; rest != 0; rest &= rest - 1) {
            const uint32_t lane = static_cast<uint32_t>(__builtin_ctz(rest));
            if (intersectLeaf(tree, leaf, laneRay(packet, lane)) != 0) {
                found |= 1u << lane;
                distance[lane] = hitRecord.distance;
                hits.hit[lane] = hitRecord;
            }
        }
    }
    if (found == 0)
        return;
    const __m256 nearest = _mm256_load_ps(distance);
    const uint32_t within = lanesWhere(_mm256_cmp_ps(exit, nearest, _CMP_GE_OQ));
    const uint32_t lastCell = ~waiting & lanesWhere(_mm256_cmp_ps(entry, exit, _CMP_LE_OQ));
    const uint32_t accepted = found & (within | lastCell);
    if (first != noSphereGroup) {
        for (uint32_t rest = accepted; rest != 0; rest &= rest - 1) {
            const uint32_t lane = static_cast<uint32_t>(__builtin_ctz(rest));
            recordSphereHit(groups, entryOf[lane], laneRay(packet, lane), distance[lane],
                            hits.hit[lane]);
        }
    }
    hits.hitMask |= accepted;
    walk.done |= accepted;
}

// The walk of every lane at once. Lanes agree on which child is near, so each
// visits its cells in the order of its own walk, with the same stretches; a
// lane stays out of the cells its own walk would not enter. False when the
// stack ran out, which leaves the unfinished lanes to walk alone.
__attribute__((target("avx2"))) bool walkPacket(KdTree& tree, PacketWalk& walk, PacketHits& hits) {
    __m256 inverse[4];
    for (uint32_t axis = 0; axis < 4; ++axis)
        inverse[axis] = _mm256_loadu_ps(walk.inverse[axis]);
    const KdTreeNode* const nodes = tree.nodes;
    const KdTreeNode* node = nodes;
    uint32_t lanes = walk.live;
    __m256 entry = _mm256_load_ps(walk.entry);
    __m256 exit = _mm256_load_ps(walk.exit);
    int top = -1;
    for (;;) {
        uint32_t code = node->code;
        while (!(code & kdLeafBit)) {
            const uint32_t axis = code & kdAxisMask;
            const __m256 t =
                _mm256_mul_ps(_mm256_set1_ps(node->split - walk.origin[axis]), inverse[axis]);
            const KdTreeNode* lower = nodes + (code >> kdIndexShift);
            const KdTreeNode* nearChild = lower + walk.nearOffset[axis];
            const KdTreeNode* farChild = lower + (walk.nearOffset[axis] ^ 1u);
            // Per lane, as alone: entry >= t goes to the far child only,
            // otherwise t >= exit to the near child only, otherwise to both.
            const uint32_t farOnly = lanes & lanesWhere(_mm256_cmp_ps(entry, t, _CMP_GE_OQ));
            const uint32_t nearOnly =
                lanes & ~farOnly & lanesWhere(_mm256_cmp_ps(t, exit, _CMP_GE_OQ));
            const uint32_t nearLanes = lanes & ~farOnly;
            const uint32_t farLanes = lanes & ~nearOnly;
            if (nearLanes == 0) {
                node = farChild;
            } else if (farLanes == 0) {
                node = nearChild;
            } else {
                if (top + 1 >= traversalStackSize)
                    return false;
                const __m256 crossing = laneSelect(nearLanes & farLanes);
                PacketEntry& deferred = packetStack[++top];
                deferred.entry = _mm256_blendv_ps(entry, t, crossing);
                deferred.exit = exit;
                deferred.node = farChild;
                deferred.lanes = farLanes;
                deferred.waiting = farLanes | (top > 0 ? packetStack[top - 1].waiting : 0);
                exit = _mm256_blendv_ps(exit, t, crossing);
                lanes = nearLanes;
                node = nearChild;
            }
            code = node->code;
        }
        if (!(code & kdEmptyBit)) {
            const uint32_t waiting = top >= 0 ? packetStack[top].waiting : 0;
            testLeafLanes(tree, code >> kdIndexShift, lanes, entry, exit, waiting, walk, hits);
        }
        for (lanes = 0; lanes == 0;) {
            if (top < 0)
                return true;
            const PacketEntry& next = packetStack[top--];
            lanes = next.lanes & ~walk.done;
            node = next.node;
            entry = next.entry;
            exit = next.exit;
        }
    }
}

void tracePacket(KdTree& tree, const RayPacket& packet, PacketHits& hits) {
    PacketWalk walk;
    walk.packet = &packet;
    walk.live = 0;
    walk.done = 0;
    uint32_t forward[3] = {0, 0, 0};
    for (uint32_t lane = 0; lane < packetLanes; ++lane) {
        const Vector3& d = packet.direction[lane];
        const float inverse[3] = {1.0f / d.x, 1.0f / d.y, 1.0f / d.z};
        for (uint32_t axis = 0; axis < 4; ++axis)
            walk.inverse[axis][lane] = inverse[axis < 3 ? axis : 2];
        walk.entry[lane] = 0.0f;
        walk.exit[lane] = 0.0f;
        if (clipToTreeBox(tree, laneRay(packet, lane), inverse, walk.entry[lane],
                          walk.exit[lane])) {
            walk.live |= 1u << lane;
        }
        forward[0] |= (d.x > 0.0f ? 1u : 0u) << lane;
        forward[1] |= (d.y > 0.0f ? 1u : 0u) << lane;
        forward[2] |= (d.z > 0.0f ? 1u : 0u) << lane;
    }
    tree.rayCount += packetLanes;
    if (walk.live == 0)
        return;
    const Vector3& o = packet.origin;
    const float origin[4] = {o.x, o.y, o.z, o.z};
    // Lanes that disagree on a near child would see cells in different
    // orders: then each walks alone.
    bool agree = true;
    for (uint32_t axis = 0; axis < 4; ++axis) {
        walk.origin[axis] = origin[axis];
        const uint32_t ahead = forward[axis < 3 ? axis : 2] & walk.live;
        agree = agree && (ahead == 0 || ahead == walk.live);
        walk.nearOffset[axis] = ahead != 0 ? 0u : 1u;
    }
    if (agree && walkPacket(tree, walk, hits))
        return;
    for (uint32_t rest = walk.live & ~walk.done; rest != 0; rest &= rest - 1) {
        const uint32_t lane = static_cast<uint32_t>(__builtin_ctz(rest));
        if (traverseKdTree(tree, laneRay(packet, lane), tree.nodes, walk.entry[lane],
                           walk.exit[lane]) != 0) {
            keepHit(hits, lane);
        }
    }
}

#endif

} // namespace

bool packetsSupported() {
#ifdef VANTREL_X86
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2");
#else
    return false;
#endif
}

void intersectKdTreePacket(KdTree& tree, const RayPacket& packet, PacketHits& hits) {
    hits.hitMask = 0;
#ifdef VANTREL_X86
    static const bool together = packetsSupported();
    if (together) {
        tracePacket(tree, packet, hits);
        return;
    }
#endif
    walkLanesAlone(tree, packet, hits);
}

} // namespace vantrel
