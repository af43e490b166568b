// The build in three steps. The top of the hierarchy first, on the calling
// thread, each long run binned and cut on every thread; its runs shorter
// than the shared length (sharedRunFor) become tasks. Then the tasks, on
// every thread: a task builds its subtree into nodes of its own, and hands
// a run longer than taskRunLength to a task of its own again. Last, the
// tasks' nodes are laid out one after the other, in the order of a walk of
// the tasks from the top: which thread built what, and when, shows nowhere,
// so every thread count gives the same hierarchy. A leaf's shapes are
// written where the leaf is made, at the place of its first ref, which no
// later step moves.
#include "vantrel/bvh/build_bvh.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

#include "vantrel/bvh/build_threads.h"
#include "vantrel/bvh/split_search.h"
#include "vantrel/scene/page_advice.h"

namespace vantrel {

namespace {

// A run longer than this, met inside a task, is handed to a task of its
// own, so that the threads balance.
constexpr uint32_t taskRunLength = 1 << 12;

// A run to build, with what to do with it.
struct PlannedRun {
    ShapeRun run;
    SplitPlan plan;
    uint32_t depth;
};

struct Task {
    PlannedRun root;
    std::vector<BvhNode> nodes; // the subtree's, its root first
    // Children of its nodes that are tasks of their own: node, slot, task.
    struct Handoff {
        uint32_t node;
        uint32_t slot;
        Task* task;
    };
    std::vector<Handoff> handoffs;
    std::vector<std::unique_ptr<Task>> subtasks; // in the order handed off
    uint32_t offset = 0;                         // of its first node in the hierarchy
};

// The tasks waiting, and how many are not done.
class TaskQueue {
  public:
    void add(Task* task) {
        const std::lock_guard<std::mutex> lock(mutex);
        waiting.push_back(task);
        ++open;
        ready.notify_one();
    }
    // The next task; null once every task is done.
    Task* next() {
        std::unique_lock<std::mutex> lock(mutex);
        ready.wait(lock, [&] { return !waiting.empty() || open == 0; });
        if (waiting.empty())
            return nullptr;
        Task* task = waiting.back();
        waiting.pop_back();
        return task;
    }
    void done() {
        const std::lock_guard<std::mutex> lock(mutex);
        if (--open == 0)
            ready.notify_all();
    }

  private:
    std::mutex mutex;
    std::condition_variable ready;
    std::vector<Task*> waiting;
    uint32_t open = 0;
};

struct BvhBuild {
    QueryBvh& bvh;
    const BvhInput& input;
    RefArrays top;   // on every thread
    RefArrays alone; // a task's, on its own thread
    TaskQueue queue;
    std::atomic<bool> failed{false};
};

const BuildThreads callingThreadOnly{};

void fillNode(BvhNode& node) {
    for (uint32_t k = 0; k < bvhWidth; ++k) {
        node.lowerX[k] = node.lowerY[k] = node.lowerZ[k] = 3.4028235e38f;
        node.upperX[k] = node.upperY[k] = node.upperZ[k] = -3.4028235e38f;
        node.child[k] = noChild;
    }
}

// A run with what to do with it. On top, a run too short to be shared is
// left to the task it is handed to, which plans it on its own thread.
PlannedRun planned(const RefArrays& arrays, const ShapeRun& run, uint32_t depth, bool onTop) {
    if (onTop && run.count() > mostInBvhLeaf && run.count() < arrays.sharedRun)
        return {run, {SplitPlan::Unplanned}, depth};
    return {run, planSplit(arrays, run, depth), depth};
}

// Up to eight children of a run, found by cutting the widest of those that
// are to be cut, as a binary build would cut them.
uint32_t gatherChildren(const RefArrays& arrays, const PlannedRun& run, PlannedRun children[],
                        bool onTop) {
    children[0] = run;
    uint32_t count = 1;
    while (count < bvhWidth) {
        int widest = -1;
        for (uint32_t k = 0; k < count; ++k) {
            const SplitPlan::Kind kind = children[k].plan.kind;
            if (kind != SplitPlan::Leaf && kind != SplitPlan::Unplanned &&
                (widest < 0 ||
                 halfArea(children[k].run.bounds) > halfArea(children[widest].run.bounds)))
                widest = static_cast<int>(k);
        }
        if (widest < 0)
            break;
        const PlannedRun open = children[widest];
        ShapeRun lower;
        ShapeRun upper;
        applySplit(arrays, open.run, open.plan, lower, upper);
        children[widest] = planned(arrays, lower, open.depth + 1, onTop);
        children[count++] = planned(arrays, upper, open.depth + 1, onTop);
    }
    return count;
}

// Whether a child is handed to a task of its own: on top, every run too
// short to be shared; in a task, every run long enough to be worth one.
bool handedOff(const RefArrays& arrays, const PlannedRun& child, bool onTop) {
    const uint32_t count = child.run.count();
    return onTop ? count < arrays.sharedRun : count > taskRunLength;
}

// Builds the subtree of run (not a leaf) into task's nodes: the index of its
// root there.
uint32_t buildNode(BvhBuild& build, Task& task, const PlannedRun& run, bool onTop) {
    const RefArrays& arrays = onTop ? build.top : build.alone;
    PlannedRun children[bvhWidth];
    const uint32_t count = gatherChildren(arrays, run, children, onTop);
    const auto at = static_cast<uint32_t>(task.nodes.size());
    fillNode(task.nodes.emplace_back());
    for (uint32_t k = 0; k < count; ++k) {
        const PlannedRun& child = children[k];
        uint32_t code;
        if (child.plan.kind == SplitPlan::Leaf) {
            code =
                packLeaf(build.bvh, build.input, arrays.refs, child.run.begin, child.run.count());
        } else if (handedOff(arrays, child, onTop)) {
            task.subtasks.push_back(std::make_unique<Task>());
            Task* subtask = task.subtasks.back().get();
            subtask->root = child;
            task.handoffs.push_back({at, k, subtask});
            // Queued at once rather than once this task is done, so that an
            // idle thread takes it while this one builds on.
            if (!onTop)
                build.queue.add(subtask);
            code = noChild; // filled in when the nodes are laid out
        } else {
            code = buildNode(build, task, child, onTop);
        }
        // Building grew the vector: the node is found again by its index.
        BvhNode& node = task.nodes[at];
        setChildBox(node, k, child.run.bounds);
        node.child[k] = code;
    }
    return at;
}

// Queues every task handed off by task.
void queueHandoffs(BvhBuild& build, Task& task) {
    for (const std::unique_ptr<Task>& subtask : task.subtasks)
        build.queue.add(subtask.get());
}

// A thread's part of the tasks: until none is left.
void workOnTasks(BvhBuild& build) {
    while (Task* task = build.queue.next()) {
        if (!build.failed.load(std::memory_order_relaxed)) {
            try {
                PlannedRun& root = task->root;
                if (root.plan.kind == SplitPlan::Unplanned)
                    root.plan = planSplit(build.alone, root.run, root.depth);
                buildNode(build, *task, root, false);
            } catch (const std::bad_alloc&) {
                build.failed.store(true, std::memory_order_relaxed);
            }
        }
        build.queue.done();
    }
}

// The offsets of every task's nodes, from task on, in the order of a walk
// from the top; gives where the next task's would begin. Fills tasks in
// that order.
uint32_t layOut(Task& task, uint32_t offset, std::vector<Task*>& tasks) {
    task.offset = offset;
    tasks.push_back(&task);
    offset += static_cast<uint32_t>(task.nodes.size());
    for (const std::unique_ptr<Task>& subtask : task.subtasks)
        offset = layOut(*subtask, offset, tasks);
    return offset;
}

void copyNodes(const Task& task, BvhNode* nodes) {
    for (size_t i = 0; i < task.nodes.size(); ++i) {
        BvhNode& node = nodes[task.offset + i];
        node = task.nodes[i];
        for (uint32_t& child : node.child)
            if (child != noChild && !isLeafChild(child))
                child += task.offset;
    }
    for (const Task::Handoff& handoff : task.handoffs)
        nodes[task.offset + handoff.node].child[handoff.slot] = handoff.task->offset;
}

// An array of count T, aligned for its lines and, where it is large, for
// huge pages, which are asked for when hugePages.
template <class T> T* allocateArray(size_t count, bool hugePages) {
    const size_t bytes = std::max<size_t>(count * sizeof(T), 64);
    const size_t alignment = bytes >= hugePageBytes ? hugePageBytes : 64;
    void* memory = std::aligned_alloc(alignment, (bytes + alignment - 1) / alignment * alignment);
    if (!memory)
        throw std::bad_alloc();
    if (hugePages)
        adviseHugePages(memory, bytes);
    return static_cast<T*>(memory);
}

// The pages of a large array the build is about to write, put in place in
// one call: on a virtual machine a page's first write costs as much as
// writing several pages that are in place. A small array's pages are left
// to come in as the threads first write them, which measured faster (a
// build of 50,000 or 120,000 triangles on two threads, 2-4 %).
constexpr size_t leastPlacedBytes = size_t{8} << 20;

void placePages(void* memory, size_t bytes) {
    if (bytes >= leastPlacedBytes)
        prefaultPages(memory, bytes);
}

bool reachesPast(const Box& bounds, float reach) {
    for (int k = 0; k < 3; ++k)
        if (std::fabs(bounds.lower[k]) > reach || std::fabs(bounds.upper[k]) > reach)
            return true;
    return false;
}

struct FreeRefs {
    void operator()(ShapeRef* refs) const { std::free(refs); }
};

} // namespace

bool buildBvh(QueryBvh& bvh, const BvhInput& input, const BuildThreads& threads,
              const BuildCharge& charge, bool hugePages) {
    bvh = QueryBvh{};
    const uint32_t inputCount = input.list ? input.list->count : input.triangleCount;
    const auto charged = [&](uint64_t bytes) {
        if (charge.charge)
            charge.charge(charge.account, bytes);
    };
    charged(uint64_t{inputCount} * sizeof(ShapeRef));
    const std::unique_ptr<ShapeRef, FreeRefs> refs(allocateArray<ShapeRef>(inputCount, hugePages));
    placePages(refs.get(), size_t{inputCount} * sizeof(ShapeRef));
    const uint32_t count = makeShapeRefs(input, threads, refs.get());
    if (count == 0)
        return true;
    const uint32_t shared = sharedRunFor(count);
    const RefArrays everyThread{refs.get(), &threads, shared};
    const ShapeRun whole = measureRun(everyThread, count);
    if (input.refused && reachesPast(whole.bounds, input.reach) && input.refused(input))
        return false;
    bvh.leafFloats = hasTriangles(input) ? triangleRows + 1 : sphereRows + 1;
    const size_t shapeFloats = size_t{bvh.leafFloats} * count + shapeArrayPadding;
    charged(shapeFloats * sizeof(float));
    bvh.shapes.reset(allocateArray<float>(shapeFloats, hugePages));
    placePages(bvh.shapes.get(), shapeFloats * sizeof(float));
    // The padding is read (and left out) by the last leaf's tests.
    std::fill(bvh.shapes.get() + shapeFloats - shapeArrayPadding, bvh.shapes.get() + shapeFloats,
              0.0f);
    BvhBuild build{bvh, input, everyThread, {refs.get(), &callingThreadOnly, shared}, {}, {}};
    std::copy(whole.bounds.lower, whole.bounds.lower + 3, bvh.boundsMin);
    std::copy(whole.bounds.upper, whole.bounds.upper + 3, bvh.boundsMax);
    bvh.shapeCount = count;
    const PlannedRun root{whole, planSplit(build.top, whole, 0), 0};
    if (root.plan.kind == SplitPlan::Leaf) {
        bvh.root = packLeaf(bvh, input, refs.get(), 0, count);
        return true;
    }
    Task top;
    top.root = root;
    buildNode(build, top, root, true);
    queueHandoffs(build, top);
    runItems(threads, threads.count, [&](uint32_t) { workOnTasks(build); });
    if (build.failed)
        throw std::bad_alloc();

    std::vector<Task*> tasks;
    const uint32_t nodeCount = layOut(top, 0, tasks);
    charged(uint64_t{nodeCount} * sizeof(BvhNode));
    bvh.nodes.reset(allocateArray<BvhNode>(nodeCount, hugePages));
    runItems(threads, static_cast<uint32_t>(tasks.size()),
             [&](uint32_t k) { copyNodes(*tasks[k], bvh.nodes.get()); });
    bvh.nodeCount = nodeCount;
    bvh.root = 0;
    return true;
}

} // namespace vantrel
