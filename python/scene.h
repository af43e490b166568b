// The scene type of the module: triangle meshes, sets of spheres and
// instances of them, each a geometry of a scene built on every core on the
// first query after a change, and what Python calls on it.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h> // in every file of the module: its casters must agree

#include <cstdint>
#include <memory>
#include <shared_mutex>
#include <string>
#include <vector>

#include "arrays_in.h"
#include "results_out.h"
#include "vantrel/vantrel.h"

namespace vantrel {

class Scene {
  public:
    // An empty scene, to add geometries to.
    Scene();
    // A scene of one mesh, geometry 0.
    Scene(const py::handle& vertices, const py::handle& faces, int method);
    // Each mesh of the file a geometry, in the file's order.
    static std::unique_ptr<Scene> load(const py::handle& path, int method);
    static std::unique_ptr<Scene> spheres(const py::handle& centres, const py::handle& radii,
                                          int method);
    // A scene from what state() gave, each field checked: a pickle's state
    // may come from anywhere.
    static std::unique_ptr<Scene> fromState(const py::handle& state);
    ~Scene();

    uint32_t addTriangles(const py::handle& vertices, const py::handle& faces);
    uint32_t addSpheres(const py::handle& centres, const py::handle& radii);
    uint32_t addInstance(const py::handle& geometry, const py::handle& transform);
    void updateVertices(const py::handle& geometry, const py::handle& vertices);

    Result intersect(const py::handle& rays, const py::handle& directions, const py::handle& tnear,
                     const py::handle& tfar, const py::object& threads) const;
    py::array occluded(const py::handle& rays, const py::handle& directions,
                       const py::handle& tnear, const py::handle& tfar,
                       const py::object& threads) const;
    py::array countIntersections(const py::handle& rays, const py::handle& directions,
                                 const py::handle& tnear, const py::handle& tfar,
                                 const py::object& threads) const;
    ClosestPoints closestPoints(const py::handle& points, const py::object& threads) const;
    py::array distance(const py::handle& points, const py::object& threads) const;
    py::array signedDistance(const py::handle& points, const py::object& threads) const;
    py::array occupancy(const py::handle& points, const py::object& threads) const;
    py::array_t<uint8_t> render(int width, int height, const py::object& eye,
                                const py::object& target, const py::object& fov,
                                const py::object& threads) const;

    uint32_t geometryCount() const;
    uint32_t triangleCount() const;
    uint32_t sphereCount() const;
    py::tuple bounds() const;
    int method() const { return method_; }
    // What a copy on another machine needs: each geometry's arrays.
    py::tuple state() const;

  private:
    explicit Scene(int method);
    // The scene, built where a change left it unbuilt, held for reading
    // while the lock lives: a query of one thread does not meet another's
    // change.
    std::shared_lock<std::shared_mutex> readable() const;
    std::unique_lock<std::shared_mutex> writable() const;
    uint32_t added(uint32_t id, std::vector<uint32_t> faceIds);
    // A mesh of arrays already checked, with the file's face of each
    // triangle (empty: its own).
    uint32_t addMesh(const float* vertices, uint32_t vertexCount, const uint32_t* indices,
                     uint32_t triangles, std::vector<uint32_t> faceIds);
    // What Python reads of a hit's or a closest point's geometry and
    // primitive: -1 for none, a file's face for a mesh loaded from one.
    void name(uint32_t geometry, uint32_t primitive, int64_t& geom, int64_t& prim) const;
    // The id of a geometry of this scene, as Python gave it.
    uint32_t geometryOf(const py::handle& geometry) const;

    template <class Answer>
    py::array answerPoints(const py::handle& points, const py::object& threads,
                           Answer&& answer) const;

    int method_; // the renderer's split method, kept for old pickles
    GeometryScene scene_;
    // Per geometry, the file's face of each triangle; empty: its own.
    std::vector<std::vector<uint32_t>> faceIds_;
    mutable std::shared_mutex lock_;
};

} // namespace vantrel
