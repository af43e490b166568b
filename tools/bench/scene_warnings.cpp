#include "tools/bench/scene_warnings.h"

#include <algorithm>
#include <cmath>

#include "vantrel/kdtree/build.h"
#include "vantrel/scene/vector_ops.h"
#include "vantrel/tracer/sphere_test.h"

namespace vantrel {

MeshSurvey surveyMesh(const PrimitiveList& list) {
    MeshSurvey survey{};
    for (uint32_t i = 0; i < list.count; ++i) {
        const PrimitiveRef& ref = list.items[i];
        if (ref.type != PrimitiveType::Triangle)
            continue;
        if (!isBuildable(ref)) {
            ++survey.leftOut;
            continue;
        }
        const Triangle& t = *static_cast<const Triangle*>(ref.object);
        // The normal in float, as the triangle test makes it; its length
        // without rounding.
        const Vector3 n = cross(t.V1 - t.V0, t.V2 - t.V0);
        const double length = std::sqrt(double{n.x} * n.x + double{n.y} * n.y + double{n.z} * n.z);
        if (length < minHitDistance)
            ++survey.unhittable;
    }
    return survey;
}

bool frameIsBlack(const RenderTarget& target) {
    const uint8_t* begin = target.pixels;
    const uint8_t* end = begin + size_t{target.width} * target.height * 3;
    return std::all_of(begin, end, [](uint8_t byte) { return byte == 0; });
}

} // namespace vantrel
