#include "tools/common/scene_warnings.h"

#include <string>

#include "tools/common/orbit.h"
#include "tools/common/tool_main.h"

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
        if (!triangleCanBeHit(t)) {
            ++survey.flat;
            continue;
        }
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

void warnAboutMesh(const char* tool, const PrimitiveList& mesh, bool queries) {
    const MeshSurvey survey = surveyMesh(mesh);
    const std::string of = " of " + std::to_string(mesh.count) + " triangles ";
    if (survey.leftOut > 0)
        warn(tool, std::to_string(survey.leftOut) + of +
                       "have a coordinate beyond float range or NaN and are left out");
    if (survey.flat > 0)
        warn(tool, std::to_string(survey.flat) + of +
                       "have no area (their corners on one line or at one point): no ray hits "
                       "them, and the view is framed without them");
    if (survey.unhittable > 0 && !queries)
        warn(tool, std::to_string(survey.unhittable) + of +
                       "are too small for any ray to hit (|e1 x e2| below 0.001)");
}

} // namespace vantrel
