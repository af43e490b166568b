#include "tools/view/view_camera.h"

#include <algorithm>
#include <cmath>

#include "vantrel/kdtree/build.h"

namespace vantrel {

namespace {

constexpr double pi = 3.14159265358979323846;
// A drag across a 512-pixel window turns the model by about 235 degrees.
constexpr float orbitRadiansPerPixel = 0.008f;
constexpr float closestDistance = 0.01f;
constexpr float farthestDistance = 100.0f;

struct Axes {
    double right[3];
    double up[3];
    double forward[3];
};

// Forward is the view direction; right = forward x up, so that the frame
// (right, up, backward) of a right-handed world is right-handed too.
Axes axesOf(const ViewCamera& camera) {
    const double sy = std::sin(double{camera.yaw}), cy = std::cos(double{camera.yaw});
    const double sp = std::sin(double{camera.pitch}), cp = std::cos(double{camera.pitch});
    return {{-cy, 0.0, sy}, {sy * sp, cp, cy * sp}, {cp * sy, -sp, cp * cy}};
}

void moveCentre(ViewCamera& camera, const double along[3], double amount) {
    camera.centre.x = static_cast<float>(camera.centre.x + along[0] * amount);
    camera.centre.y = static_cast<float>(camera.centre.y + along[1] * amount);
    camera.centre.z = static_cast<float>(camera.centre.z + along[2] * amount);
}

} // namespace

Vector3 viewExtentFor(uint32_t width, uint32_t height) {
    const float aspect = height > 0 ? static_cast<float>(width) / static_cast<float>(height) : 1.0f;
    return {1.0f, aspect, 1.0f};
}

ViewFraming modelFraming(const PrimitiveList& mesh, const BoundingBox& box) {
    const double centre[3] = {(double{box.min.x} + box.max.x) * 0.5,
                              (double{box.min.y} + box.max.y) * 0.5,
                              (double{box.min.z} + box.max.z) * 0.5};
    double farthest = 0.0; // squared
    for (uint32_t i = 0; i < mesh.count; ++i) {
        if (mesh.items[i].type != PrimitiveType::Triangle ||
            !triangleCanBeHit(*static_cast<const Triangle*>(mesh.items[i].object)))
            continue;
        const Triangle& t = *static_cast<const Triangle*>(mesh.items[i].object);
        for (const Vector3* v : {&t.V0, &t.V1, &t.V2}) {
            const double d[3] = {v->x - centre[0], v->y - centre[1], v->z - centre[2]};
            farthest = std::max(farthest, d[0] * d[0] + d[1] * d[1] + d[2] * d[2]);
        }
    }
    // Rounded up, so that the float radius still reaches the farthest vertex.
    const float radius = std::nextafter(static_cast<float>(std::sqrt(farthest)), INFINITY);
    return {{static_cast<float>(centre[0]), static_cast<float>(centre[1]),
             static_cast<float>(centre[2])},
            radius};
}

ViewCamera framedView(const ViewFraming& framing, uint32_t width, uint32_t height) {
    ViewCamera camera{};
    camera.centre = framing.centre;
    // A single point still gets a camera that can move.
    const double radius =
        framing.radius > 0.0f && std::isfinite(framing.radius) ? framing.radius : 1.0;
    const Vector3 extent = viewExtentFor(width, height);
    // Half the field of view of the narrower side: tan = half the plane's
    // side over its distance.
    const double halfAngle = std::atan(0.5 * std::min(extent.y, extent.z) / extent.x);
    camera.radius = static_cast<float>(radius);
    // Some margin, so that the outline keeps clear of the border.
    camera.distance = static_cast<float>(radius / std::sin(halfAngle) * 1.1);
    camera.yaw = static_cast<float>(pi + pi / 6.0);
    camera.pitch = static_cast<float>(pi / 9.0);
    return camera;
}

Matrix4 viewCameraMatrix(const ViewCamera& camera) {
    const Axes axes = axesOf(camera);
    Matrix4 m{};
    for (int k = 0; k < 3; ++k) {
        m.m[k] = static_cast<float>(axes.right[k]);
        m.m[4 + k] = static_cast<float>(axes.up[k]);
        m.m[8 + k] = static_cast<float>(axes.forward[k]);
    }
    const double centre[3] = {camera.centre.x, camera.centre.y, camera.centre.z};
    for (int k = 0; k < 3; ++k)
        m.m[12 + k] = static_cast<float>(centre[k] - axes.forward[k] * camera.distance);
    m.m[15] = 1.0f;
    return m;
}

void orbitView(ViewCamera& camera, float dx, float dy) {
    // Dragging the model to the right takes the eye to the left of it.
    const double yaw = std::remainder(double{camera.yaw} - dx * orbitRadiansPerPixel, 2.0 * pi);
    camera.yaw = static_cast<float>(yaw < 0.0 ? yaw + 2.0 * pi : yaw);
    camera.pitch =
        std::clamp(camera.pitch + dy * orbitRadiansPerPixel, -viewMaxPitch, viewMaxPitch);
}

void zoomView(ViewCamera& camera, float factor) {
    if (!(factor > 0.0f) || !std::isfinite(factor))
        return;
    camera.distance = std::clamp(camera.distance * factor, camera.radius * closestDistance,
                                 camera.radius * farthestDistance);
}

void panView(ViewCamera& camera, float dx, float dy, uint32_t height) {
    if (height == 0)
        return;
    // The image plane is one unit high at one unit's distance.
    const double perPixel = double{camera.distance} / height;
    const Axes axes = axesOf(camera);
    moveCentre(camera, axes.right, -dx * perPixel);
    moveCentre(camera, axes.up, dy * perPixel);
}

void moveView(ViewCamera& camera, float forward, float right, float seconds) {
    const Axes axes = axesOf(camera);
    const double step = double{camera.radius} * seconds;
    moveCentre(camera, axes.forward, forward * step);
    moveCentre(camera, axes.right, right * step);
}

} // namespace vantrel
