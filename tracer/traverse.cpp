// Placeholder until the kd-tree traversal lands.
#include "tracer/traverse.h"

namespace vantrel {

int intersectKdTree(KdTree& tree, const Ray&) {
    ++tree.rayCount;
    return 0;
}

} // namespace vantrel
