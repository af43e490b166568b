// How the hierarchy's build cuts a node's shapes in two: by the surface
// area cost of planes between bins of their centres, by count, or by kind.
#pragma once

#include <cstdint>

#include "vantrel/bvh/shape_refs.h"

namespace vantrel {

// A run of the refs, and what the build knows of it.
struct ShapeRun {
    uint32_t begin;
    uint32_t end;
    Box bounds;  // of the shapes' boxes
    Box centres; // of their doubled centres
    uint32_t spheres;
    uint32_t count() const { return end - begin; }
};

// What to do with a run.
struct SplitPlan {
    // Unplanned: not looked at yet.
    enum Kind { Leaf, ByPlane, ByCount, ByKind, Unplanned } kind = Leaf;
    int axis = 0;
    int bin = 0; // by plane: refs in a lower bin go to the lower side
};

// Where the refs lie, with the threads to share a long run's work on.
struct RefArrays {
    ShapeRef* refs;
    const BuildThreads* threads;
    // Runs at least this long are binned and cut on every thread.
    uint32_t sharedRun;
};

// The shared run length of a build of count shapes: a quarter of them, so
// that the top of a small build is shared too rather than left whole to one
// task, within bounds: a shared step needs a piece a thread to be worth
// waking the threads for, and past the upper bound tasks, which share no
// step, balance the threads better. The same for every thread count, as
// the order a shared cut leaves its refs in differs from a lone cut's.
uint32_t sharedRunFor(uint32_t count);

// The run of count refs from the start, measured.
ShapeRun measureRun(const RefArrays& arrays, uint32_t count);

// What to do with run, depth splits below the root.
SplitPlan planSplit(const RefArrays& arrays, const ShapeRun& run, uint32_t depth);

// Cuts run by plan (not a leaf) into its lower and upper side.
void applySplit(const RefArrays& arrays, const ShapeRun& run, const SplitPlan& plan,
                ShapeRun& lower, ShapeRun& upper);

} // namespace vantrel
