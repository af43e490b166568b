// A scene's frames, lit so that form reads, and its bounds.
#include <algorithm>
#include <cmath>
#include <cstdio>

#include "interpreter_release.h"
#include "memory_needed.h"
#include "scene.h"

namespace vantrel {

py::array_t<uint8_t> Scene::render(int width, int height, const py::object& eye,
                                   const py::object& target, const py::object& fov,
                                   const py::object& threads) const {
    if (width < 1 || height < 1 || width > 16384 || height > 16384)
        throw py::value_error("width and height must be from 1 to 16384");
    const std::string size = std::to_string(width) + "x" + std::to_string(height);
    requireMemory(size_t(width) * size_t(height) * (3 + sizeof(Ray)),
                  "rendering " + size + " (the image and a ray for each pixel)");
    if (!fov.is_none() && (!PyNumber_Check(fov.ptr()) || PyUnicode_Check(fov.ptr())))
        throw py::type_error("fov must be a number of degrees, or None for 45");
    const float fovDegrees =
        fov.is_none() ? 45.0f : static_cast<float>(PyFloat_AsDouble(fov.ptr()));
    if (PyErr_Occurred())
        throw py::error_already_set();
    if (!(fovDegrees > 0.0f && fovDegrees < 180.0f))
        throw py::value_error("fov must be between 0 and 180 degrees");
    const auto lock = readable();
    double lo[3] = {0.0, 0.0, 0.0};
    double hi[3] = {0.0, 0.0, 0.0};
    geometrySceneBounds(scene_, lo, hi);
    const Vector3 centre{float((lo[0] + hi[0]) / 2), float((lo[1] + hi[1]) / 2),
                         float((lo[2] + hi[2]) / 2)};
    const Vector3 at = target.is_none() ? centre : pointOf(target, "target");
    Vector3 from;
    if (eye.is_none()) {
        // In double: the box of a scene near the floats' limit has no float
        // radius, and then no eye is in range.
        const double dx = hi[0] - lo[0];
        const double dy = hi[1] - lo[1];
        const double dz = hi[2] - lo[2];
        const double radius = std::sqrt(dx * dx + dy * dy + dz * dz) / 2;
        const double away = radius / std::sin(fovDegrees * 3.14159265 / 360.0) * 1.1 + 1e-6;
        from = {float(at.x + away * 0.6), float(at.y + away * 0.45), float(at.z - away * 0.66)};
        if (!isFinite(from) || !cameraCanLookAt(from, at)) {
            char distance[32];
            std::snprintf(distance, sizeof distance, "%.3g", away);
            throw py::value_error(std::string("no camera can frame the whole scene with this "
                                              "fov: the eye would be ") +
                                  distance +
                                  " from the target, too far to aim across in floats; give "
                                  "eye and target, or a wider fov");
        }
    } else {
        from = pointOf(eye, "eye");
    }
    if (from.x == at.x && from.y == at.y && from.z == at.z)
        throw py::value_error("eye and target must differ");
    if (!cameraCanLookAt(from, at))
        throw py::value_error("eye and target are too far apart or too close for a camera to aim "
                              "from one at the other: target - eye must have a length from 1e-19 "
                              "to 1.8e19");
    RenderTarget frame{static_cast<uint32_t>(width), static_cast<uint32_t>(height), nullptr,
                       nullptr};
    py::array_t<uint8_t> image({size_t(height), size_t(width), size_t{3}});
    frame.pixels = image.mutable_data();
    const float tall = 2.0f * std::tan(fovDegrees * 3.14159265f / 360.0f);
    buildRayTable(frame, {1.0f, tall * float(width) / float(height), tall});
    const Matrix4 camera = cameraLookingAt(from, at);
    const std::shared_ptr<WorkerPool> pool = poolFor(threads);
    {
        const WithoutInterpreter release;
        renderFrame(*pool, scene_, frame, camera, FrameLight::Model);
    }
    delete[] frame.rays;
    // As the benchmark warns of a black frame: a camera or a scene the
    // renderer cannot show gives no error of its own.
    const uint8_t* bytes = frame.pixels;
    const bool black =
        std::all_of(bytes, bytes + image.size(), [](uint8_t byte) { return byte == 0; });
    if (black && PyErr_WarnEx(PyExc_RuntimeWarning,
                              "render: the image is entirely black: no ray met anything "
                              "(check eye, target and fov)",
                              1) != 0)
        throw py::error_already_set(); // warnings made errors
    return image;
}

py::tuple Scene::bounds() const {
    const auto lock = readable();
    double lower[3] = {0.0, 0.0, 0.0};
    double upper[3] = {0.0, 0.0, 0.0};
    geometrySceneBounds(scene_, lower, upper);
    py::array_t<float> lo(3);
    py::array_t<float> hi(3);
    for (int k = 0; k < 3; ++k) {
        lo.mutable_data()[k] = static_cast<float>(lower[k]);
        hi.mutable_data()[k] = static_cast<float>(upper[k]);
    }
    return py::make_tuple(lo, hi);
}

} // namespace vantrel
