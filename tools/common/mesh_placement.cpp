#include "tools/common/mesh_placement.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "vantrel/scene/mesh_arrays.h"
#include "vantrel/scene/mesh_reader.h"
#include "vantrel/scene/triangle_loader.h"

namespace vantrel {

Matrix4 placementFor(const BoundingBox& box) {
    Matrix4 m{};
    m.m[0] = m.m[5] = m.m[10] = m.m[15] = 1.0f;
    const double lo[3] = {box.min.x, box.min.y, box.min.z};
    const double hi[3] = {box.max.x, box.max.y, box.max.z};
    double halfExtent = 0.0;
    for (int k = 0; k < 3; ++k)
        halfExtent = std::max(halfExtent, (hi[k] - lo[k]) * 0.5);
    if (!std::isfinite(halfExtent))
        return m;
    const double scale = halfExtent > 0.0 ? demoHalfExtent / halfExtent : 1.0;
    m.m[0] = m.m[5] = m.m[10] = static_cast<float>(scale);
    for (int k = 0; k < 3; ++k)
        m.m[12 + k] = static_cast<float>(-(lo[k] + hi[k]) * 0.5 * scale);
    return m;
}

std::string placementFailure(const BoundingBox& box) {
    const Matrix4 m = placementFor(box);
    if (std::isfinite(m.m[0]) && m.m[0] > 0.0f && std::isfinite(m.m[12]) &&
        std::isfinite(m.m[13]) && std::isfinite(m.m[14]))
        return "";
    const double extent = std::max({double{box.max.x} - box.min.x, double{box.max.y} - box.min.y,
                                    double{box.max.z} - box.min.z});
    char text[200];
    std::snprintf(text, sizeof text,
                  "its triangles span %g at most, too little to scale to a half-extent of %g "
                  "within float range (the scale would be %g)",
                  extent, double{demoHalfExtent}, demoHalfExtent / (extent * 0.5));
    return text;
}

PrimitiveList* loadToolMesh(const char* path, bool asIs, std::string& why, bool* unplaceable) {
    Matrix4 identity{};
    identity.m[0] = identity.m[5] = identity.m[10] = identity.m[15] = 1.0f;
    PrimitiveList* mesh = readMesh(path, identity, why);
    BoundingBox box;
    if (asIs || mesh == nullptr || !triangleBounds(*mesh, box))
        return mesh;
    why = placementFailure(box);
    if (!why.empty()) {
        releaseMesh(mesh);
        if (unplaceable)
            *unplaceable = true;
        return nullptr;
    }
    // Placed in memory, in the readers' own arithmetic, rather than read a
    // second time: the identity changes no finite number but -0 (read as
    // +0), and a zero's sign changes no hit.
    const Matrix4 placement = placementFor(box);
    Triangle* triangles = mesh->count ? static_cast<Triangle*>(mesh->items[0].object) : nullptr;
    for (uint32_t i = 0; i < mesh->count; ++i) {
        Vector3* corners[3] = {&triangles[i].V0, &triangles[i].V1, &triangles[i].V2};
        for (Vector3* v : corners)
            *v = transformPoint(placement, v->x, v->y, v->z);
    }
    return mesh;
}

} // namespace vantrel
