#include "vantrel/bvh/shape_refs.h"

#include <cmath>
#include <cstring>
#include <vector>

#include "vantrel/bvh/build_threads.h"
#include "vantrel/scene/buildable.h"

namespace vantrel {

namespace {

// Shapes a piece of the refs' making takes: short enough that a small
// build's pieces share out evenly over the threads.
constexpr uint32_t refPiece = 1 << 12;

bool finite(const float* p) {
    return std::isfinite(p[0]) && std::isfinite(p[1]) && std::isfinite(p[2]);
}

const float* cornerOf(const BvhInput& input, uint32_t triangle, int k) {
    return input.vertices + size_t{3} * input.indices[size_t{3} * triangle + k];
}

// The ref of the list's entry i, where it can be built over.
bool refOfEntry(const PrimitiveList& list, uint32_t i, ShapeRef& ref) {
    const PrimitiveRef& entry = list.items[i];
    if (!isBuildable(entry))
        return false;
    ref.index = i;
    if (entry.type == PrimitiveType::Sphere) {
        const Sphere& s = *static_cast<const Sphere*>(entry.object);
        const float c[3] = {s.centre.x, s.centre.y, s.centre.z};
        const float r = std::fabs(s.radius);
        for (int k = 0; k < 3; ++k) {
            ref.box.lower[k] = c[k] - r;
            ref.box.upper[k] = c[k] + r;
        }
        ref.sphere = 1;
        return true;
    }
    const Triangle& t = *static_cast<const Triangle*>(entry.object);
    ref.box = emptyBox();
    for (const Vector3& v : {t.V0, t.V1, t.V2}) {
        const Box point{{v.x, v.y, v.z}, {v.x, v.y, v.z}};
        grow(ref.box, point);
    }
    ref.sphere = 0;
    return true;
}

// The ref of the arrays' triangle i, where its corners are finite.
bool refOfTriangle(const BvhInput& input, uint32_t i, ShapeRef& ref) {
    ref.box = emptyBox();
    for (int k = 0; k < 3; ++k) {
        const float* p = cornerOf(input, i, k);
        if (!finite(p))
            return false;
        grow(ref.box, {{p[0], p[1], p[2]}, {p[0], p[1], p[2]}});
    }
    ref.index = i;
    ref.sphere = 0;
    return true;
}

uint32_t shapeCount(const BvhInput& input) {
    return input.list ? input.list->count : input.triangleCount;
}

} // namespace

bool hasTriangles(const BvhInput& input) {
    if (!input.list)
        return input.triangleCount != 0;
    for (uint32_t i = 0; i < input.list->count; ++i)
        if (input.list->items[i].type == PrimitiveType::Triangle)
            return true;
    return false;
}

uint32_t makeShapeRefs(const BvhInput& input, const BuildThreads& threads, ShapeRef* refs) {
    const uint32_t count = shapeCount(input);
    const uint32_t pieces = (count + refPiece - 1) / refPiece;
    // Each piece written at its own place first, then moved down over the
    // places the shapes left out freed, in order.
    std::vector<uint32_t> made(pieces);
    runItems(threads, pieces, [&](uint32_t piece) {
        const uint32_t first = piece * refPiece;
        const uint32_t end = std::min(count, first + refPiece);
        uint32_t kept = first;
        for (uint32_t i = first; i < end; ++i) {
            const bool built = input.list ? refOfEntry(*input.list, i, refs[kept])
                                          : refOfTriangle(input, i, refs[kept]);
            kept += built ? 1 : 0;
        }
        made[piece] = kept - first;
    });
    uint32_t total = 0;
    for (uint32_t piece = 0; piece < pieces; ++piece) {
        if (total != piece * refPiece)
            std::memmove(refs + total, refs + piece * refPiece, made[piece] * sizeof(ShapeRef));
        total += made[piece];
    }
    return total;
}

uint32_t packLeaf(QueryBvh& bvh, const BvhInput& input, ShapeRef* refs, uint32_t first,
                  uint32_t count) {
    ShapeRef* const leaf = refs + first;
    // The shapes' records lie scattered: all of them asked for at once.
    if (input.list)
        for (uint32_t lane = 0; lane < count; ++lane)
            __builtin_prefetch(input.list->items[leaf[lane].index].object);
    // A leaf's test takes the first of its shapes at the nearest distance:
    // the first in the input, as testing them one by one in order finds.
    std::sort(leaf, leaf + count,
              [](const ShapeRef& a, const ShapeRef& b) { return a.index < b.index; });
    const bool spheres = leaf[0].sphere != 0;
    const uint32_t rowCount = spheres ? sphereRows : triangleRows;
    float* const rows = bvh.shapes.get() + size_t{bvh.leafFloats} * first;
    for (uint32_t lane = 0; lane < count; ++lane) {
        const uint32_t index = leaf[lane].index;
        float numbers[triangleRows];
        if (spheres) {
            const Sphere& s = *static_cast<const Sphere*>(input.list->items[index].object);
            const float sphere[sphereRows] = {s.centre.x, s.centre.y, s.centre.z, s.radius};
            std::copy(sphere, sphere + sphereRows, numbers);
        } else if (input.list) {
            const Triangle& t = *static_cast<const Triangle*>(input.list->items[index].object);
            const float corners[triangleRows] = {t.V0.x, t.V0.y, t.V0.z, t.V1.x, t.V1.y,
                                                 t.V1.z, t.V2.x, t.V2.y, t.V2.z};
            std::copy(corners, corners + triangleRows, numbers);
        } else {
            for (int k = 0; k < 3; ++k)
                std::copy(cornerOf(input, index, k), cornerOf(input, index, k) + 3,
                          numbers + 3 * k);
        }
        for (uint32_t row = 0; row < rowCount; ++row)
            rows[row * count + lane] = numbers[row];
        std::memcpy(rows + rowCount * count + lane, &index, sizeof index);
    }
    return leafChildOf(spheres, count, first);
}

} // namespace vantrel
