#include "scene.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <limits>
#include <system_error>
#include <thread>

#include "interpreter_release.h"
#include "memory_needed.h"

namespace vantrel {

namespace {

// The kd-tree only renders; its midpoint split copies overlapping shapes
// into every cell they touch.
const char* const otherMethods =
    "; make the scene with method=1 or method=2, which keep overlapping shapes together";

// queryCoordinateLimit, as a user reads it.
std::string rangeText() {
    char text[32];
    std::snprintf(text, sizeof text, "%.2g", double{queryCoordinateLimit});
    return text;
}

std::string buildRefusal(BuildResult result, const char* structure) {
    const bool kdTree = std::string(structure) == "kd-tree";
    switch (result) {
    case BuildResult::OverBudget:
        return std::string("the ") + structure +
               " would take more memory than the build's budget (" +
               std::to_string(buildMemoryBudget() >> 20) + " MiB here)" +
               (kdTree ? otherMethods : "");
    case BuildResult::InputTooLarge:
        return std::string("the scene is too large for a ") + structure +
               " within the memory budget (" + std::to_string(buildMemoryBudget() >> 20) +
               " MiB here)";
    case BuildResult::OutOfMemory:
        return std::string("out of memory while building the ") + structure;
    case BuildResult::OutOfRange:
        return std::string("the ") + structure + " takes shapes within " + rangeText() +
               " of the origin, where its tests answer every ray exactly";
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
    const IndexArray corners = indicesOf(faces, 3, "faces");
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

std::unique_ptr<Scene> Scene::load(const py::handle& file, int method) {
    const std::string path = pathOf(file);
    std::unique_ptr<Scene> scene(new Scene(method));
    IndexedMesh mesh;
    std::string reason;
    bool read;
    {
        const WithoutInterpreter release;
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
    releaseKdTree(renderTree_);
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
    const std::shared_ptr<WorkerPool> pool = poolFor(threads);
    const WithoutInterpreter release;
    inRuns(
        *pool, rays,
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
    requireMemory(rays.count, "the answers of " + std::to_string(rays.count) + " rays");
    py::array_t<bool> result(rays.count);
    bool* out = result.mutable_data();
    const std::shared_ptr<WorkerPool> pool = poolFor(threads);
    const WithoutInterpreter release;
    // A run at a time, so that rays from one point walk together.
    if (rays.doubles)
        occludedInRuns<double>(*pool, rays, out);
    else
        occludedInRuns<float>(*pool, rays, out);
    return result;
}

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
    const KdTree& tree = renderTree();
    const float* lo = tree.boundsMin;
    const float* hi = tree.boundsMax;
    const Vector3 centre{(lo[0] + hi[0]) / 2, (lo[1] + hi[1]) / 2, (lo[2] + hi[2]) / 2};
    const Vector3 at = target.is_none() ? centre : pointOf(target, "target");
    Vector3 from;
    if (eye.is_none()) {
        // In double: the box of a scene near the floats' limit has no float
        // radius, and then no eye is in range.
        const double dx = double{hi[0]} - lo[0];
        const double dy = double{hi[1]} - lo[1];
        const double dz = double{hi[2]} - lo[2];
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
    PrimitiveRef top{const_cast<KdTree*>(&tree), PrimitiveType::NestedTree};
    const std::shared_ptr<WorkerPool> pool = poolFor(threads);
    {
        const WithoutInterpreter release;
        renderFrame(*pool, {&top, 1}, frame, camera);
    }
    delete[] frame.rays;
    // As the benchmark warns of a black frame: a camera or a scene the
    // renderer cannot show gives no error of its own.
    const uint8_t* bytes = frame.pixels;
    const bool black =
        std::all_of(bytes, bytes + image.size(), [](uint8_t byte) { return byte == 0; });
    if (black && PyErr_WarnEx(PyExc_RuntimeWarning,
                              "render: the image is entirely black: no ray met anything the "
                              "renderer shows (check eye, target and fov; the renderer's "
                              "triangle test passes by triangles whose |e1 x e2| is below 0.001)",
                              1) != 0)
        throw py::error_already_set(); // warnings made errors
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
    const std::shared_ptr<WorkerPool> pool = poolFor(py::none());
    options.pool = pool.get();
    BuildResult result;
    {
        const WithoutInterpreter release;
        result = spheres_.empty()
                     ? buildQueryScene(query_, vertices_.data(),
                                       static_cast<uint32_t>(vertices_.size() / 3), indices_.data(),
                                       triangleCount(), options)
                     : buildQueryScene(query_, {sphereRefs_.data(), sphereCount()}, options);
    }
    if (result == BuildResult::OutOfRange) {
        const uint32_t beyond =
            spheres_.empty()
                ? queryShapesOutOfRange(vertices_.data(), indices_.data(), triangleCount())
                : queryShapesOutOfRange({sphereRefs_.data(), sphereCount()});
        const bool one = beyond == 1;
        const char* what = spheres_.empty()
                               ? (one ? " triangle has a corner" : " triangles have a corner")
                               : (one ? " sphere reaches" : " spheres reach");
        throw py::value_error(std::to_string(beyond) + what + " beyond " + rangeText() +
                              " from the origin, where the queries' tests answer every ray "
                              "exactly; move the scene nearer the origin or scale it down");
    }
    if (result != BuildResult::Built)
        refuse(result, "queries' hierarchy");
}

namespace {

// Past this many references a shape on average, the midpoint split is
// copying overlapping shapes (a mesh makes about 20, the demo's spheres 52);
// past mostMidpointReferences in all as well, that takes minutes (3 million
// references a second here).
constexpr uint64_t mostMidpointCopiesEach = 64;
constexpr uint64_t mostMidpointReferences = uint64_t{1} << 25;

// Refuses a midpoint build that would copy overlapping shapes without end.
void requireMidpointFits(const PrimitiveList& list) {
    uint64_t references;
    {
        const WithoutInterpreter release;
        references = midpointReferencesForeseen(list);
    }
    if (references <= mostMidpointReferences ||
        references <= mostMidpointCopiesEach * uint64_t{list.count})
        return;
    const std::string message =
        "rendering needs a kd-tree, and its midpoint split (method 0) would copy these " +
        std::to_string(list.count) + " overlapping shapes into about " +
        std::to_string(references / std::max<uint64_t>(list.count, 1)) + " cells each (" +
        std::to_string(references * sizeof(PrimitiveRef) >> 20) +
        " MiB of references, made one at a time)" + otherMethods;
    PyErr_SetString(PyExc_MemoryError, message.c_str());
    throw py::error_already_set();
}

// buildKdTree on a thread of its own, while this one keeps to Python's
// signals: Ctrl-C (KeyboardInterrupt) stops the build within a moment, as
// the interpreter's exit does.
BuildResult buildInterruptibly(KdTree** tree, const PrimitiveList& list, int32_t method) {
    std::atomic<bool> cancel{false};
    BuildOptions options;
    options.cancel = &cancel;
    std::mutex guard;
    std::condition_variable done;
    bool finished = false;
    BuildResult result = BuildResult::OutOfMemory;
    const auto build = [&] {
        const BuildResult ended = buildKdTree(tree, &list, method, options);
        const std::lock_guard<std::mutex> lock(guard);
        result = ended;
        finished = true;
        done.notify_one();
    };
    std::thread worker;
    try {
        worker = std::thread(build);
    } catch (const std::system_error&) {
        // No thread to be had: built here, to its end.
        const WithoutInterpreter release;
        build();
        return result;
    }
    bool stopped = false;
    for (;;) {
        {
            const WithoutInterpreter release;
            std::unique_lock<std::mutex> lock(guard);
            if (done.wait_for(lock, std::chrono::milliseconds(50), [&] { return finished; }))
                break;
        }
        if (PyErr_CheckSignals() != 0 || interpreterExiting()) {
            cancel = true;
            stopped = true;
            break;
        }
    }
    {
        const WithoutInterpreter release;
        worker.join();
    }
    if (!stopped)
        return result;
    if (result == BuildResult::Built)
        releaseKdTree(*tree);
    // Ctrl-C's KeyboardInterrupt; or, as the interpreter exits, SystemExit,
    // which ends a daemon thread without a word.
    if (!PyErr_Occurred())
        PyErr_SetString(PyExc_SystemExit, "the kd-tree's build was stopped: Python is exiting");
    throw py::error_already_set();
}

} // namespace

const KdTree& Scene::renderTree() const {
    // Taken without the interpreter's lock where another thread builds:
    // that build takes the lock back as it ends.
    std::unique_lock<std::mutex> lock(renderMaking, std::defer_lock);
    if (!lock.try_lock()) {
        const WithoutInterpreter release;
        lock.lock();
    }
    if (renderTree_)
        return *renderTree_;
    std::vector<PrimitiveRef> refs = sphereRefs_;
    if (spheres_.empty()) {
        const auto corner = [&](uint32_t k) {
            return Vector3{vertices_[3 * k], vertices_[3 * k + 1], vertices_[3 * k + 2]};
        };
        renderTriangles_.resize(triangleCount());
        for (size_t i = 0; i < renderTriangles_.size(); ++i)
            renderTriangles_[i] = {corner(indices_[3 * i]),
                                   corner(indices_[3 * i + 1]),
                                   corner(indices_[3 * i + 2]),
                                   {1.0f, 1.0f, 1.0f, 0.0f}};
        for (Triangle& triangle : renderTriangles_)
            refs.push_back({&triangle, PrimitiveType::Triangle});
    }
    renderRefs_ = std::move(refs);
    const PrimitiveList list{renderRefs_.data(), static_cast<uint32_t>(renderRefs_.size())};
    if (method_ == 0)
        requireMidpointFits(list);
    KdTree* tree = nullptr;
    const BuildResult result = buildInterruptibly(&tree, list, method_);
    if (result != BuildResult::Built)
        refuse(result, "kd-tree");
    renderTree_ = tree;
    return *renderTree_;
}

void Scene::setFaceIds(const py::handle& ids) {
    const py::object converted = numpyArray(ids, nullptr);
    const auto raw = py::reinterpret_borrow<py::array>(converted);
    const char kind = converted ? raw.dtype().kind() : 'O';
    // An empty list reads as float64.
    const bool integers = converted && (kind == 'i' || kind == 'u' || raw.size() == 0);
    if (!integers || raw.ndim() != 1)
        throw py::value_error("a pickled scene's face indices must be a list of integers");
    if (raw.size() != 0 && static_cast<size_t>(raw.size()) != triangleCount())
        throw py::value_error("a pickled scene's face indices must number its triangles: " +
                              std::to_string(raw.size()) + " for " +
                              std::to_string(triangleCount()));
    const IndexArray faces = IndexArray::ensure(numpyArray(raw, "int64"));
    // Only the file could say how many faces it has (a line or a point is a
    // face there too): a face index is whatever fits 32 bits, but the mark
    // of no face.
    size_t outside = 0;
    for (py::ssize_t i = 0; i < faces.size(); ++i)
        outside += faces.data()[i] < 0 || faces.data()[i] >= int64_t{noPrimitive};
    if (outside != 0)
        throw py::value_error("a pickled scene's face indices hold " + std::to_string(outside) +
                              " that are negative or past 32 bits");
    faceIds_.assign(faces.data(), faces.data() + faces.size());
}

namespace {

int methodOf(const py::handle& method) {
    if (PyBool_Check(method.ptr()) || !PyLong_Check(method.ptr()))
        throw py::type_error("a pickled scene's method must be an int");
    const long value = PyLong_AsLong(method.ptr());
    if (value == -1 && PyErr_Occurred())
        PyErr_Clear();
    if (value < 0 || value > 2)
        throw py::value_error("method must be 0, 1 or 2");
    return static_cast<int>(value);
}

} // namespace

std::unique_ptr<Scene> Scene::fromState(const py::handle& state) {
    const char* const form = "a Scene's state is ('triangles', vertices, faces, method, "
                             "face indices) or ('spheres', centres, radii, method)";
    if (!py::isinstance<py::tuple>(state) || py::len(state) == 0 ||
        !py::isinstance<py::str>(state[py::int_(0)]))
        throw py::value_error(form);
    const auto fields = py::reinterpret_borrow<py::tuple>(state);
    const std::string kind = fields[0].cast<std::string>();
    if (kind == "spheres" && fields.size() == 4)
        return spheres(fields[1], fields[2], methodOf(fields[3]));
    if (kind != "triangles" || fields.size() != 5)
        throw py::value_error(std::string(form) + "; not a " + kind + " state of " +
                              std::to_string(fields.size()) + " fields");
    auto scene = std::make_unique<Scene>(fields[1], fields[2], methodOf(fields[3]));
    scene->setFaceIds(fields[4]);
    return scene;
}

} // namespace vantrel
