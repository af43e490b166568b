#include "scene.h"

#include <cmath>
#include <limits>

namespace vantrel {

namespace {

std::string buildRefusal(BuildResult result, const char* structure) {
    switch (result) {
    case BuildResult::OverBudget:
        return std::string("the ") + structure +
               " would take more memory than the build's budget (" +
               std::to_string(buildMemoryBudget() >> 20) + " MiB here)";
    case BuildResult::InputTooLarge:
        return std::string("the scene is too large for a ") + structure +
               " within the memory budget (" + std::to_string(buildMemoryBudget() >> 20) +
               " MiB here)";
    case BuildResult::OutOfMemory:
        return std::string("out of memory while building the ") + structure;
    default:
        return "method must be 0, 1 or 2";
    }
}

// A refusal of the kernel's as the exception Python expects.
void refuse(BuildResult result, const char* structure) {
    if (result == BuildResult::OverBudget || result == BuildResult::InputTooLarge ||
        result == BuildResult::OutOfMemory) {
        PyErr_SetString(PyExc_MemoryError, buildRefusal(result, structure).c_str());
        throw py::error_already_set();
    }
    throw py::value_error(buildRefusal(result, structure));
}

const Matrix4 asItIs = {{1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1}};

} // namespace

Scene::Scene(int method) : method_(method) {
    if (method_ < 0 || method_ > 2)
        throw py::value_error("method must be 0, 1 or 2");
}

Scene::Scene(const py::handle& vertices, const py::handle& faces, int method) : Scene(method) {
    const Numbers<float> points = rowsOf<float>(vertices, 3, "vertices");
    IndexArray corners;
    try {
        corners = IndexArray::ensure(faces);
    } catch (const py::error_already_set&) {
    }
    if (!corners || corners.ndim() != 2 || corners.shape(1) != 3)
        throw py::value_error("faces must be an (M, 3) array of vertex indices");
    if (corners.size() == 0)
        throw py::value_error("faces is empty: a scene needs at least one triangle");
    const py::ssize_t count = points.shape(0);
    const int64_t* index = corners.data();
    size_t outside = 0;
    for (py::ssize_t i = 0; i < corners.size(); ++i)
        outside += index[i] < 0 || index[i] >= count;
    if (outside != 0)
        throw py::value_error("faces holds " + std::to_string(outside) +
                              " indices that are negative or not below the " +
                              std::to_string(count) + " vertices");
    vertices_.assign(points.data(), points.data() + points.size());
    indices_.assign(index, index + corners.size());
    build();
}

std::unique_ptr<Scene> Scene::load(const std::string& path, int method) {
    std::unique_ptr<Scene> scene(new Scene(method));
    IndexedMesh mesh;
    std::string reason;
    bool read;
    {
        py::gil_scoped_release release;
        read = readIndexedMesh(path.c_str(), asItIs, mesh, reason);
    }
    if (!read)
        throw py::value_error("cannot read '" + path +
                              "': " + (reason.empty() ? "not a mesh the readers know" : reason));
    if (mesh.indices.empty())
        throw py::value_error("'" + path + "' holds no triangle");
    // Hits name the file's faces: a polygon's triangles share its index.
    bool ownFaces = true;
    scene->faceIds_.resize(mesh.faces.size());
    for (size_t i = 0; i < mesh.faces.size(); ++i) {
        scene->faceIds_[i] = mesh.faces[i].face;
        ownFaces = ownFaces && mesh.faces[i].face == i;
    }
    // Every triangle its own face, in the file's order: nothing to look up.
    if (ownFaces)
        scene->faceIds_ = {};
    scene->vertices_ = std::move(mesh.vertices);
    scene->indices_ = std::move(mesh.indices);
    scene->build();
    return scene;
}

std::unique_ptr<Scene> Scene::spheres(const py::handle& centres, const py::handle& radii,
                                      int method) {
    const FloatArray c = rowsOf(centres, 3, "centres");
    const FloatArray r = rowsOf(radii, 0, "radii");
    requireSameRows(c, r, "centres and radii");
    if (c.shape(0) == 0)
        throw py::value_error("centres is empty: a scene needs at least one sphere");
    std::unique_ptr<Scene> scene(new Scene(method));
    const double* cd = c.data();
    const double* rd = r.data();
    for (py::ssize_t i = 0; i < c.shape(0); ++i) {
        if (!(rd[i] >= 0.0))
            throw py::value_error("radii must not be negative (row " + std::to_string(i) + ")");
        scene->spheres_.push_back({{float(cd[3 * i]), float(cd[3 * i + 1]), float(cd[3 * i + 2])},
                                   float(rd[i]),
                                   {1.0f, 1.0f, 1.0f, 0.0f}});
    }
    for (Sphere& sphere : scene->spheres_)
        scene->sphereRefs_.push_back({&sphere, PrimitiveType::Sphere});
    scene->build();
    return scene;
}

Scene::~Scene() {
    releaseQueryScene(query_);
}

Result Scene::intersect(const py::handle& origins, const py::handle& directions, float tnear,
                        float tfar, const py::object& threads) const {
    const Rays rays = raysOf(origins, directions, tnear, tfar);
    const size_t count = rays.count;
    Result result = resultArrays(count);
    float* t = result.t.mutable_data();
    int64_t* prim = result.prim.mutable_data();
    float* u = result.u.mutable_data();
    float* v = result.v.mutable_data();
    float* normal = result.normal.mutable_data();
    WorkerPool& pool = poolFor(threads);
    py::gil_scoped_release release;
    inRuns(
        pool, rays,
        [&](const QueryRay& ray, size_t i, TraceContext& context) {
            QueryHit hit;
            intersectNearest(context, query_, ray, hit);
            t[i] = hit.t;
            prim[i] = hit.primitive == noPrimitive ? -1 : int64_t{hit.primitive};
            u[i] = hit.u;
            v[i] = hit.v;
            normal[3 * i] = hit.normal.x;
            normal[3 * i + 1] = hit.normal.y;
            normal[3 * i + 2] = hit.normal.z;
        },
        [&](size_t first, size_t end) {
            // Apart from the walks, so that the run's lookups are in
            // flight together rather than each stalling a walk.
            if (!faceIds_.empty())
                for (size_t i = first; i < end; ++i)
                    prim[i] = prim[i] < 0 ? -1 : int64_t{faceIds_[prim[i]]};
        });
    return result;
}

py::array_t<bool> Scene::occluded(const py::handle& origins, const py::handle& directions,
                                  float tnear, float tfar, const py::object& threads) const {
    const Rays rays = raysOf(origins, directions, tnear, tfar);
    py::array_t<bool> result(rays.count);
    bool* out = result.mutable_data();
    WorkerPool& pool = poolFor(threads);
    py::gil_scoped_release release;
    // A run at a time, so that rays from one point walk together.
    if (rays.doubles)
        occludedInRuns<double>(pool, rays, out);
    else
        occludedInRuns<float>(pool, rays, out);
    return result;
}

py::array_t<uint8_t> Scene::render(int width, int height, const py::object& eye,
                                   const py::object& target, const py::object& fov,
                                   const py::object& threads) const {
    if (width < 1 || height < 1 || width > 16384 || height > 16384)
        throw py::value_error("width and height must be from 1 to 16384");
    Vector3 lo{0.0f, 0.0f, 0.0f};
    Vector3 hi{0.0f, 0.0f, 0.0f};
    querySceneBounds(query_, lo, hi);
    const Vector3 centre{(lo.x + hi.x) / 2, (lo.y + hi.y) / 2, (lo.z + hi.z) / 2};
    const Vector3 corner{hi.x - centre.x, hi.y - centre.y, hi.z - centre.z};
    const float radius = std::sqrt(dot(corner, corner));
    const float fovDegrees = fov.is_none() ? 45.0f : fov.cast<float>();
    if (!(fovDegrees > 0.0f && fovDegrees < 180.0f))
        throw py::value_error("fov must be between 0 and 180 degrees");
    const float away = radius / std::sin(fovDegrees * 3.14159265f / 360.0f) * 1.1f + 1e-6f;
    const Vector3 at = target.is_none() ? centre : pointOf(target, "target");
    const Vector3 from = eye.is_none()
                             ? Vector3{at.x + away * 0.6f, at.y + away * 0.45f, at.z - away * 0.66f}
                             : pointOf(eye, "eye");
    if (from.x == at.x && from.y == at.y && from.z == at.z)
        throw py::value_error("eye and target must differ");
    RenderTarget frame{static_cast<uint32_t>(width), static_cast<uint32_t>(height), nullptr,
                       nullptr};
    py::array_t<uint8_t> image({size_t(height), size_t(width), size_t{3}});
    frame.pixels = image.mutable_data();
    const float tall = 2.0f * std::tan(fovDegrees * 3.14159265f / 360.0f);
    buildRayTable(frame, {1.0f, tall * float(width) / float(height), tall});
    const Matrix4 camera = cameraLookingAt(from, at);
    WorkerPool& pool = poolFor(threads);
    {
        py::gil_scoped_release release;
        renderFrame(pool, query_, frame, camera, FrameLight::Model);
    }
    delete[] frame.rays;
    return image;
}

py::tuple Scene::bounds() const {
    Vector3 lower{0.0f, 0.0f, 0.0f};
    Vector3 upper{0.0f, 0.0f, 0.0f};
    querySceneBounds(query_, lower, upper);
    py::array_t<float> lo(3);
    py::array_t<float> hi(3);
    std::copy(&lower.x, &lower.x + 3, lo.mutable_data());
    std::copy(&upper.x, &upper.x + 3, hi.mutable_data());
    return py::make_tuple(lo, hi);
}

py::tuple Scene::state() const {
    if (!spheres_.empty()) {
        py::array_t<float> centres({spheres_.size(), size_t{3}});
        py::array_t<float> radii(spheres_.size());
        for (size_t i = 0; i < spheres_.size(); ++i) {
            const Sphere& s = spheres_[i];
            float* c = centres.mutable_data() + 3 * i;
            c[0] = s.centre.x;
            c[1] = s.centre.y;
            c[2] = s.centre.z;
            radii.mutable_data()[i] = s.radius;
        }
        return py::make_tuple("spheres", centres, radii, method_);
    }
    py::array_t<float> vertices({vertices_.size() / 3, size_t{3}});
    py::array_t<int64_t> faces({indices_.size() / 3, size_t{3}});
    std::copy(vertices_.begin(), vertices_.end(), vertices.mutable_data());
    std::copy(indices_.begin(), indices_.end(), faces.mutable_data());
    return py::make_tuple("triangles", vertices, faces, method_, faceIds_);
}

void Scene::build() {
    QueryBuildOptions options;
    options.pool = &poolFor(py::none());
    BuildResult result;
    {
        py::gil_scoped_release release;
        result = spheres_.empty()
                     ? buildQueryScene(query_, vertices_.data(),
                                       static_cast<uint32_t>(vertices_.size() / 3), indices_.data(),
                                       triangleCount(), options)
                     : buildQueryScene(query_, {sphereRefs_.data(), sphereCount()}, options);
    }
    if (result != BuildResult::Built)
        refuse(result, "queries' hierarchy");
}

void Scene::setFaceIds(std::vector<uint32_t> ids) {
    if (!ids.empty() && ids.size() != triangleCount())
        throw py::value_error("a pickled scene's face indices must number its triangles");
    faceIds_ = std::move(ids);
}

} // namespace vantrel
