#include "scene.h"

#include <cmath>
#include <limits>

namespace vantrel {

namespace {

std::string buildRefusal(BuildResult result) {
    switch (result) {
    case BuildResult::OverBudget:
        return "the kd-tree build would take more memory than the build's budget (" +
               std::to_string(buildMemoryBudget() >> 20) + " MiB here)";
    case BuildResult::InputTooLarge:
        return "the scene is too large for any kd-tree build within the memory budget (" +
               std::to_string(buildMemoryBudget() >> 20) + " MiB here)";
    case BuildResult::OutOfMemory:
        return "out of memory while building the kd-tree";
    default:
        return "method must be 0, 1 or 2";
    }
}

} // namespace

Scene::Scene(const py::handle& vertices, const py::handle& faces, int method) : method_(method) {
    const FloatArray points = rowsOf(vertices, 3, "vertices");
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
    const double* p = points.data();
    const auto vertex = [&](int64_t k) {
        return Vector3{float(p[3 * k]), float(p[3 * k + 1]), float(p[3 * k + 2])};
    };
    triangles_.resize(static_cast<size_t>(corners.shape(0)));
    for (size_t i = 0; i < triangles_.size(); ++i)
        triangles_[i] = {vertex(index[3 * i]),
                         vertex(index[3 * i + 1]),
                         vertex(index[3 * i + 2]),
                         {1.0f, 1.0f, 1.0f, 0.0f}};
    for (Triangle& triangle : triangles_)
        refs_.push_back({&triangle, PrimitiveType::Triangle});
    build();
}

std::unique_ptr<Scene> Scene::load(const std::string& path, int method) {
    std::unique_ptr<Scene> scene(new Scene(method));
    const Matrix4 asItIs = {{1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1}};
    std::string reason;
    PrimitiveList* mesh = readMesh(path.c_str(), asItIs, reason);
    if (!mesh)
        throw py::value_error("cannot read '" + path +
                              "': " + (reason.empty() ? "not a mesh the readers know" : reason));
    scene->mesh_ = mesh;
    if (mesh->count == 0)
        throw py::value_error("'" + path + "' holds no triangle");
    scene->refs_.assign(mesh->items, mesh->items + mesh->count);
    // Hits name the file's faces: a polygon's triangles share its index.
    bool ownFaces = true;
    for (uint32_t i = 0; i < mesh->count; ++i) {
        scene->faceIds_.push_back(meshFaceOf(*mesh, i).face);
        ownFaces = ownFaces && scene->faceIds_.back() == i;
    }
    // Every triangle its own face, in the file's order: nothing to look up.
    if (ownFaces)
        scene->faceIds_.clear();
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
        scene->refs_.push_back({&sphere, PrimitiveType::Sphere});
    scene->build();
    return scene;
}

Scene::~Scene() {
    releaseQueryScene(query_);
    releaseMesh(mesh_);
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
    const float* lo = query_.tree->boundsMin;
    const float* hi = query_.tree->boundsMax;
    const Vector3 centre{(lo[0] + hi[0]) / 2, (lo[1] + hi[1]) / 2, (lo[2] + hi[2]) / 2};
    const Vector3 corner{hi[0] - centre.x, hi[1] - centre.y, hi[2] - centre.z};
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
    PrimitiveRef top{query_.tree, PrimitiveType::NestedTree};
    WorkerPool& pool = poolFor(threads);
    {
        py::gil_scoped_release release;
        renderFrame(pool, {&top, 1}, frame, camera);
    }
    delete[] frame.rays;
    return image;
}

py::tuple Scene::bounds() const {
    py::array_t<float> lo(3);
    py::array_t<float> hi(3);
    for (int k = 0; k < 3; ++k) {
        lo.mutable_data()[k] = query_.tree->boundsMin[k];
        hi.mutable_data()[k] = query_.tree->boundsMax[k];
    }
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
    py::array_t<float> vertices({3 * refs_.size(), size_t{3}});
    py::array_t<int64_t> faces({refs_.size(), size_t{3}});
    for (size_t i = 0; i < refs_.size(); ++i) {
        const Triangle& t = *static_cast<const Triangle*>(refs_[i].object);
        const Vector3 corners[3] = {t.V0, t.V1, t.V2};
        for (int k = 0; k < 3; ++k) {
            float* p = vertices.mutable_data() + 3 * (3 * i + k);
            p[0] = corners[k].x;
            p[1] = corners[k].y;
            p[2] = corners[k].z;
            faces.mutable_data()[3 * i + k] = int64_t(3 * i + k);
        }
    }
    return py::make_tuple("triangles", vertices, faces, method_, faceIds_);
}

void Scene::build() {
    if (method_ < 0 || method_ > 2)
        throw py::value_error("method must be 0, 1 or 2");
    BuildResult result;
    {
        py::gil_scoped_release release;
        result = buildQueryScene(query_, {refs_.data(), uint32_t(refs_.size())}, method_);
    }
    if (result == BuildResult::OverBudget || result == BuildResult::InputTooLarge ||
        result == BuildResult::OutOfMemory) {
        PyErr_SetString(PyExc_MemoryError, buildRefusal(result).c_str());
        throw py::error_already_set();
    }
    if (result != BuildResult::Built)
        throw py::value_error(buildRefusal(result));
}

void Scene::setFaceIds(std::vector<uint32_t> ids) {
    if (!ids.empty() && ids.size() != triangles_.size())
        throw py::value_error("a pickled scene's face indices must number its triangles");
    faceIds_ = std::move(ids);
}

} // namespace vantrel
