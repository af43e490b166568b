#include "vantrel/tracer/camera.h"

#include <cmath>
#include <cstddef>
#include <limits>

#include "vantrel/scene/vector_ops.h"

namespace vantrel {

namespace {

constexpr float pi = 3.1415927f;

// (l o r)[4i + j] = sum over k of l[4i + k] * r[4k + j].
Matrix4 compose(const Matrix4& l, const Matrix4& r) {
    Matrix4 out;
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j)
            out.m[4 * i + j] = l.m[4 * i + 0] * r.m[j] + l.m[4 * i + 1] * r.m[4 + j] +
                               l.m[4 * i + 2] * r.m[8 + j] + l.m[4 * i + 3] * r.m[12 + j];
    return out;
}

} // namespace

void buildRayTable(RenderTarget& target, const Vector3& viewExtent) {
    const uint32_t width = target.width;
    const uint32_t height = target.height;
    target.rays = new Ray[static_cast<size_t>(width) * height];
    Ray* ray = target.rays;
    for (uint32_t y = 0; y < height; ++y) {
        // No half-pixel offset: the centre pixel looks straight ahead.
        const float v = (0.5f - static_cast<float>(y) / static_cast<float>(height)) * viewExtent.z;
        for (uint32_t x = 0; x < width; ++x, ++ray) {
            const float u =
                (static_cast<float>(x) / static_cast<float>(width) - 0.5f) * viewExtent.y;
            const float w = viewExtent.x;
            const float s = 1.0f / std::sqrt(u * u + v * v + w * w);
            ray->origin = {0.0f, 0.0f, 0.0f};
            ray->direction = {u * s, v * s, w * s};
        }
    }
}

Matrix4 cameraLookingAt(const Vector3& eye, const Vector3& target) {
    const auto unit = [](const Vector3& v) { return v * (1.0f / std::sqrt(dot(v, v))); };
    const Vector3 forward = unit(target - eye);
    const Vector3 worldUp =
        std::fabs(forward.y) < 0.999f ? Vector3{0.0f, 1.0f, 0.0f} : Vector3{0.0f, 0.0f, 1.0f};
    const Vector3 right = unit(cross(worldUp, forward));
    const Vector3 up = cross(forward, right);
    return {{right.x, right.y, right.z, 0.0f, up.x, up.y, up.z, 0.0f, forward.x, forward.y,
             forward.z, 0.0f, eye.x, eye.y, eye.z, 1.0f}};
}

bool cameraCanLookAt(const Vector3& eye, const Vector3& target) {
    const Vector3 forward = target - eye;
    const float squared = dot(forward, forward);
    return std::isfinite(squared) && squared >= std::numeric_limits<float>::min();
}

Matrix4 cameraMatrixAt(int32_t ticks) {
    const float t = static_cast<float>(ticks * 0.2 / 1000);
    const float a = static_cast<float>(0.3 * t);
    const float swing = pi * std::sin(a);

    const float yaw = static_cast<float>(swing + 1.5 * t);
    const float cosYaw = std::cos(yaw);
    const float sinYaw = std::sin(yaw);
    const Matrix4 turnY = {{cosYaw, 0, -sinYaw, 0, 0, 1, 0, 0, sinYaw, 0, cosYaw, 0, 0, 0, 0, 1}};

    const float pitch = static_cast<float>(swing + 1.25 * t);
    const float cosPitch = std::cos(pitch);
    const float sinPitch = std::sin(pitch);
    const Matrix4 turnX = {
        {1, 0, 0, 0, 0, cosPitch, sinPitch, 0, 0, -sinPitch, cosPitch, 0, 0, 0, 0, 1}};

    // The camera swings between 26.34 and 93.66 from the origin.
    const float p = static_cast<float>(std::pow(static_cast<double>(std::sin(t)), 3.0));
    const float distance = 40.0f * std::sin(p) - 60.0f;
    const Matrix4 moveBack = {{1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, distance, 1}};

    return compose(moveBack, compose(turnY, turnX));
}

} // namespace vantrel
