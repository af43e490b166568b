#include "vantrel/bvh/bvh.h"

#include <cstdlib>

namespace vantrel {

void FreeAligned::operator()(void* memory) const {
    std::free(memory);
}

size_t bvhBytes(const QueryBvh& bvh) {
    const size_t shapeFloats =
        bvh.shapeCount != 0 ? size_t{bvh.leafFloats} * bvh.shapeCount + shapeArrayPadding : 0;
    return size_t{bvh.nodeCount} * sizeof(BvhNode) + shapeFloats * sizeof(float);
}

} // namespace vantrel
