#include "tracer/packet_trace.h"

#if defined(__x86_64__) || defined(__i386__)
#define VANTREL_X86 1
#include <immintrin.h>
#endif

#include "tracer/intersect.h"
#include "tracer/sphere_lanes.h"
#include "tracer/sphere_lanes_avx2.h"
#include "tracer/traverse.h"

namespace vantrel {

namespace {

Ray laneRay(const RayPacket& packet, uint32_t lane) {
    return {packet.origin, laneDirection(packet, lane)};
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
    __m256 direction[3]; // by axis
    __m256 inverse[4];   // by axis; 3 repeats z, as component() reads it
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
// Stores per lane the nearest candidate in distance and the first entry at it
// in entryOf (noSphereHit in lanes without one).
__attribute__((target("avx2"))) void nearestSpheres(const SphereGroup* groups, uint32_t count,
                                                    const PacketWalk& walk, float* distance,
                                                    uint32_t* entryOf) {
    // The winner's sphere is found through this line: ask for it with the rows.
    __builtin_prefetch(groups[0].sphere);
    const Vector3& o = walk.packet->origin;
    const __m256 x = walk.direction[0];
    const __m256 y = walk.direction[1];
    const __m256 z = walk.direction[2];
    const __m256 signBit = _mm256_set1_ps(-0.0f);
    __m256 best = _mm256_set1_ps(noHitDistance);
    __m256 bestEntry = _mm256_castsi256_ps(_mm256_set1_epi32(-1));
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
        keepNearerCandidates(b, D, _mm256_castsi256_ps(_mm256_set1_epi32(static_cast<int>(entry))),
                             best, bestEntry);
    }
    _mm256_storeu_ps(distance, best);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(entryOf), _mm256_castps_si256(bestEntry));
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
    const bool packed = first != noSphereGroup;
    const SphereGroup* groups = packed ? tree.sphereGroups + first : nullptr;
    if (packed) {
        nearestSpheres(groups, tree.leaves[leaf].count, walk, distance, entryOf);
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
    if (packed) {
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
    const __m256* inverse = walk.inverse;
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

// Per lane, the ray's slab of one axis in the order it crosses it: low is
// where it enters, as in the lone clip.
__attribute__((target("avx2"))) void slabs(float boxMin, float boxMax, float origin,
                                           __m256 direction, __m256 inverse, __m256& low,
                                           __m256& high) {
    const __m256 toMin = _mm256_mul_ps(_mm256_set1_ps(boxMin - origin), inverse);
    const __m256 toMax = _mm256_mul_ps(_mm256_set1_ps(boxMax - origin), inverse);
    const __m256 up = _mm256_cmp_ps(direction, _mm256_setzero_ps(), _CMP_GE_OQ);
    low = _mm256_blendv_ps(toMax, toMin, up);
    high = _mm256_blendv_ps(toMin, toMax, up);
}

// a if it compares true with b, else b: a ternary of the lone clip per lane.
__attribute__((target("avx2"))) __m256 pick(__m256 a, __m256 b, __m256 aWins) {
    return _mm256_blendv_ps(b, a, aWins);
}

// clipToTreeBox for every lane at once, with its comparisons and choices.
__attribute__((target("avx2"))) void clipLanes(const KdTree& tree, PacketWalk& walk) {
    const float* o = walk.origin;
    __m256 loX, hiX, loY, hiY, loZ, hiZ;
    slabs(tree.boundsMin[0], tree.boundsMax[0], o[0], walk.direction[0], walk.inverse[0], loX, hiX);
    slabs(tree.boundsMin[1], tree.boundsMax[1], o[1], walk.direction[1], walk.inverse[1], loY, hiY);
    slabs(tree.boundsMin[2], tree.boundsMax[2], o[2], walk.direction[2], walk.inverse[2], loZ, hiZ);
    __m256 miss =
        _mm256_or_ps(_mm256_cmp_ps(loX, hiY, _CMP_GT_OQ), _mm256_cmp_ps(loY, hiX, _CMP_GT_OQ));
    __m256 entry = pick(loX, loY, _mm256_cmp_ps(loX, loY, _CMP_GT_OQ));
    __m256 exit = pick(hiX, hiY, _mm256_cmp_ps(hiX, hiY, _CMP_LT_OQ));
    miss = _mm256_or_ps(miss, _mm256_or_ps(_mm256_cmp_ps(entry, hiZ, _CMP_GT_OQ),
                                           _mm256_cmp_ps(loZ, exit, _CMP_GT_OQ)));
    entry = pick(loZ, entry, _mm256_cmp_ps(loZ, entry, _CMP_GT_OQ));
    exit = pick(hiZ, exit, _mm256_cmp_ps(hiZ, exit, _CMP_LT_OQ));
    __m256 empty = _mm256_cmp_ps(exit, entry, _CMP_NGT_UQ);
    if (hasFlatBox(tree))
        empty = _mm256_andnot_ps(_mm256_cmp_ps(exit, entry, _CMP_EQ_OQ), empty);
    miss = _mm256_or_ps(miss, empty);
    const __m256 minEntry = _mm256_set1_ps(0.001f);
    entry = pick(minEntry, entry, _mm256_cmp_ps(entry, minEntry, _CMP_LT_OQ));
    _mm256_store_ps(walk.entry, entry);
    _mm256_store_ps(walk.exit, exit);
    walk.live = ~lanesWhere(miss) & ((1u << packetLanes) - 1);
}

__attribute__((target("avx2"))) void tracePacket(KdTree& tree, const RayPacket& packet,
                                                 PacketHits& hits) {
    PacketWalk walk;
    walk.packet = &packet;
    walk.done = 0;
    const __m256 one = _mm256_set1_ps(1.0f);
    for (uint32_t axis = 0; axis < 3; ++axis) {
        walk.direction[axis] = _mm256_load_ps(packet.direction[axis]);
        walk.inverse[axis] = _mm256_div_ps(one, walk.direction[axis]);
    }
    walk.inverse[3] = walk.inverse[2];
    const Vector3& o = packet.origin;
    walk.origin[0] = o.x;
    walk.origin[1] = o.y;
    walk.origin[2] = o.z;
    walk.origin[3] = o.z;
    clipLanes(tree, walk);
    tree.rayCount += packetLanes;
    if (walk.live == 0)
        return;
    // Lanes that disagree on a near child would see cells in different
    // orders: then each walks alone.
    bool agree = true;
    for (uint32_t axis = 0; axis < 4; ++axis) {
        const __m256 d = walk.direction[axis < 3 ? axis : 2];
        const uint32_t ahead =
            lanesWhere(_mm256_cmp_ps(d, _mm256_setzero_ps(), _CMP_GT_OQ)) & walk.live;
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
