// The build driver: compiles a primitive list into a KdTree.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "vantrel/kdtree/kd_tree.h"
#include "vantrel/scene/buildable.h" // isBuildable: which entries a build takes in
#include "vantrel/scene/records.h"

namespace vantrel {

class SharedBuildBudget;

// Depth budget of every build: no path has more than this many splits.
constexpr int32_t maxDepth = 20;

// method: 0 midpoint split, 1 cost-driven, 2 cost-driven with the empty-side
// rule. Stores the new tree through out; the caller owns it (releaseKdTree)
// and must keep the primitives in place while it is used. The list is not
// changed.
//
// Only spheres and triangles with finite bounds are built over; other entries
// (nested trees, unknown codes, shapes with NaN or infinite coordinates) are
// left out: none of them can be hit from a leaf. Input whose box is a single
// point (say, spheres of radius 0 at one spot) compiles to one leaf.
//
// A build that would take more than its budget (build_budget.h) throws
// std::bad_alloc before it does, as a failed allocation does; out is left as
// it was and everything made so far is released. With method 0 that is
// foreseen before the build starts, where overlapping primitives would be
// copied into more cells than the budget holds.
//
// Any other method stores a null pointer through out and builds nothing.
//
// Builds on several threads at once are safe: each has a context of its own
// and they share only the process's memory budget.
void buildKdTree(KdTree** out, const PrimitiveList* list, int32_t method);

// What a build may take and how it asks the system for memory.
struct BuildOptions {
    // The most this build may take, in bytes; 0 sets no budget of its own.
    std::size_t memoryBudget = 0;
    // What it draws on together with the builds running at the same time;
    // null for the process's own, sized from the machine (build_budget.h).
    SharedBuildBudget* sharedBudget = nullptr;
    // Asks for transparent huge pages on the build's large arrays: far fewer
    // page faults where the system hands them out on request.
    bool hugePages = true;
    // For tests of the out-of-memory path: the system refuses the lists'
    // memory past this many bytes, as it does when it has no more to give; 0
    // sets no such limit.
    std::size_t listMemoryLimit = 0;
    // Read as the build goes, node by node: once it holds true the build
    // stops and ends Cancelled (a program's Ctrl-C, say). Null: never.
    const std::atomic<bool>* cancel = nullptr;
};

enum class BuildResult {
    Built,         // out holds the new tree
    OverBudget,    // it would have passed its budget or the machine's (with the
                   // midpoint split, foreseen before it starts)
    InputTooLarge, // refused at once: even the least any method takes passes the budget
    OutOfMemory,   // the system refused memory
    UnknownMethod, // method is not 0, 1 or 2
    InvalidInput,  // a query scene's triangle names a vertex past the arrays
    Cancelled,     // options.cancel was set
    OutOfRange,    // a query scene's shape lies beyond queryCoordinateLimit
};

// The references a midpoint build (method 0) of list makes at most, the
// root's included, foreseen in milliseconds from a sample of its entries:
// each is copied into every cell it touches, so overlapping primitives ask
// for thousands of copies each (a mesh: about 20), which take minutes to
// make. The cost-driven methods keep such primitives together.
uint64_t midpointReferencesForeseen(const PrimitiveList& list);

// buildKdTree with options, saying how it ended rather than throwing. out is
// written only when the result is Built; whatever else it ends with, nothing
// of the build is left.
BuildResult buildKdTree(KdTree** out, const PrimitiveList* list, int32_t method,
                        const BuildOptions& options);

} // namespace vantrel
