// What tracing writes, gathered for one thread. Any number of threads may
// trace the same trees at once, each through a context of its own, and get
// exactly the answers one thread gets: a walk reads the tree and writes only
// its context. The functions that take no context (intersectList, shade,
// renderFrame, ...) work on programTraceContext, the program's own
// single-thread use of the kernel, whose parts are hitRecord,
// accumulatedColour, the scratch pool and the walk's working storage.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "vantrel/scene/records.h"
#include "vantrel/tracer/scratch_pool.h"

namespace vantrel {

struct KdTree;
struct KdTreeNode;

// Deferred far children of a walk. A walk pushes at most one entry per level,
// so any tree the compiler makes fits.
constexpr int traversalStackSize = 100;

struct TraversalEntry {
    const KdTreeNode* node; // the deferred far child
    float entry;
    float exit;
};

// One deferred entry of a packet walk at the widest lanes any kernel has
// (16): its stretch's two ends as vectors, the node and two lane masks, on
// the vectors' 64-byte alignment.
constexpr size_t packetEntryBytes = 192;

// 20,928 bytes on x86-64 (about 20.4 KiB), and the scratch arena if one is
// asked for. Aligned to a cache line and a multiple of it, so that contexts
// of different threads share no line.
struct alignas(64) TraceContext {
    // A context with a scratch arena of scratchBytes for copyListToScratch;
    // the renderer takes nothing from it, so by default there is none.
    explicit TraceContext(uint32_t scratchBytes = 0);
    // A context whose scratch arena is storage that the caller keeps.
    constexpr TraceContext(unsigned char* scratchBase, uint32_t scratchBytes)
        : scratch{scratchBase, scratchBytes, 0} {}
    TraceContext(const TraceContext&) = delete;
    TraceContext& operator=(const TraceContext&) = delete;

    // The nearest hit of the last list query; its distance is reset at the
    // start of every list and leaf query, the rest kept until a hit.
    HitRecord hit{};
    // The colour of the primary ray being traced: red, green, blue.
    float colour[3]{};
    // The iterative walk's working storage: the reciprocals of the ray's
    // direction and the deferred far children, -1 when there are none.
    int traversalTop = -1;
    float inverseDirection[3]{};
    // Rays tested against countedTree that its rayCount does not hold yet
    // (addRayCounts): no shared line is written per ray.
    uint32_t countedRays = 0;
    KdTree* countedTree = nullptr;
    // What the recursive walk with a context counts; the walk without one
    // adds them to its tree.
    uint32_t nodeVisitCount = 0;
    uint32_t emptyLeafCount = 0;
    ScratchArena scratch{};

  private:
    std::unique_ptr<unsigned char[]> ownedScratch; // the arena, when it is the context's own

  public:
    TraversalEntry traversalStack[traversalStackSize]{};
    // The packet walk's deferred entries, laid out by the kernel in use.
    alignas(64) unsigned char packetStack[traversalStackSize * packetEntryBytes]{};
};

// The program's own context: the functions without a context work on it.
extern TraceContext programTraceContext;

// Its parts under the names the program's single-thread functions use:
// the one nearest-hit record of the functions without a context
// (intersectList, ...), and the colour of the primary ray being traced
// (red, green, blue). Its scratch arena's use is scratchUsed
// (scratch_pool.h).
extern HitRecord& hitRecord;
extern float (&accumulatedColour)[3];

// Makes tree the one whose rays context counts, adding what it counted for
// the tree before.
void changeCountedTree(TraceContext& context, const KdTree& tree);

// Adds the rays that context has counted to their tree's rayCount, and
// clears its count. A frame or a batch does it once at its end; safe while
// other threads add theirs.
void addRayCounts(TraceContext& context);

} // namespace vantrel
