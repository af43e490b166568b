#include "vantrel/tracer/leaf_hit.h"

namespace vantrel {

bool sphereComesFirst(const PrimitiveList& list, uint32_t sphere, uint32_t triangle) {
    uint32_t spheres = 0;
    uint32_t triangles = 0;
    for (uint32_t i = 0; i < list.count; ++i) {
        if (list.items[i].type == PrimitiveType::Sphere && spheres++ == sphere)
            return true;
        if (list.items[i].type == PrimitiveType::Triangle && triangles++ == triangle)
            return false;
    }
    return false;
}

} // namespace vantrel
