// A scene of several geometries, for the queries programs ask of meshes
// beyond one model's nearest hit: triangle meshes and sets of spheres, each
// with a hierarchy of its own, and instances of them under affine
// transforms, each named by its id. The queries are in geometry_query.h
// (along rays) and point_query.h (about points).
#pragma once

#include <cstdint>
#include <vector>

#include "vantrel/scene/records.h"
#include "vantrel/tracer/query.h"

namespace vantrel {

enum class GeometryKind { Triangles, Spheres, Instance };

// One geometry of a scene, as the scene keeps it. Every geometry answers
// queries, a geometry that instances place elsewhere too.
struct Geometry {
    GeometryKind kind = GeometryKind::Triangles;
    // Triangles: vertices x, y, z each, and index triples into them.
    // Spheres: centres as vertices, and radii.
    std::vector<float> vertices;
    std::vector<uint32_t> indices;
    std::vector<float> radii;
    // Instance: the geometry it places, and where: a point p of it goes to
    // transform * (p, 1), three rows of four (the fourth row 0 0 0 1), and
    // back by inverse, whose left three columns are linear's inverse.
    uint32_t of = 0;
    double transform[12] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0};
    double inverse[12] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0};
    // The least factor by which the transform stretches a length, for
    // distances measured in the instanced geometry.
    double leastStretch = 1.0;
    // Triangles and spheres: their hierarchy, and the spheres' records and
    // list it is built over.
    QueryScene query;
    std::vector<Sphere> spheres;
    std::vector<PrimitiveRef> sphereRefs;
    bool built = false;
    // The hierarchy's cost (bvhCost) when it was built, and now.
    double builtCost = 0.0;
    double cost = 0.0;
    // Every vertex finite and within queryCoordinateLimit: a moved mesh
    // keeps its hierarchy only then.
    bool inRange = true;
    // The hierarchy's corners in its leaves' order (leafCorners), made on
    // the first refit of a build.
    std::vector<uint32_t> leafCorners;
};

// Not to be copied: its geometries own their hierarchies.
struct GeometryScene {
    std::vector<Geometry> geometries; // by id, in the order added
    // Each geometry's box where the scene puts it, lower x, y, z then upper,
    // a little larger than the shapes' so that rounding passes none by.
    std::vector<double> boxes;
    bool built = false; // every geometry's hierarchy and box up to date
};

constexpr uint32_t noGeometry = 0xffffffffu;

// Adds a geometry and gives its id, the count of those added before it;
// the arrays are copied, and the scene is built anew on its next build.
// Triangles: vertexCount x, y, z vertices and triangleCount index triples
// into them (an index past them refuses the mesh). A triangle with a corner
// that is not finite is never hit. Spheres: count x, y, z centres and their
// radii.
uint32_t addTriangles(GeometryScene& scene, const float* vertices, uint32_t vertexCount,
                      const uint32_t* indices, uint32_t triangleCount);
uint32_t addSpheres(GeometryScene& scene, const float* centres, const float* radii, uint32_t count);
// An instance of a geometry of triangles or spheres added before it, under
// transform: three rows of four, row by row. Refused (noGeometry) where
// geometry is no such one, or where a number of transform is not finite or
// its left three columns cannot be inverted.
uint32_t addInstance(GeometryScene& scene, uint32_t geometry, const double* transform);

// Builds what has changed: each hierarchy not yet built, with options.
// Says how the builds ended; the scene answers queries only when Built.
BuildResult buildGeometryScene(GeometryScene& scene, const QueryBuildOptions& options = {});

// What moving a mesh's vertices did to its hierarchy.
struct VertexUpdate {
    bool done;     // false: no geometry of triangles, and nothing changed
    bool refitted; // its hierarchy refitted; else built on the next build
    // The refitted hierarchy's cost over the one built; past
    // refitCostLimit, rebuildGeometry would make its queries faster.
    double costRatio;
    bool rebuildAdvised;
};
constexpr double refitCostLimit = 1.5;

// Gives geometry new vertices, as many as it has, and refits its
// hierarchy (boxes recomputed, the tree kept) in a small part of a build's
// time, on options' threads; every answer then is what a scene built anew
// with these vertices gives. Where a vertex, new or old, is not finite or
// lies beyond queryCoordinateLimit, the hierarchy is built again on the
// next build instead.
VertexUpdate updateVertices(GeometryScene& scene, uint32_t geometry, const float* vertices,
                            const QueryBuildOptions& options = {});

// Has geometry's hierarchy built again on the next build.
void rebuildGeometry(GeometryScene& scene, uint32_t geometry);

// The box around every geometry where the scene puts it, from a built
// scene's hierarchies (an instance's around its geometry's box, mapped);
// false, leaving lower and upper as they were, where none holds a shape.
bool geometrySceneBounds(const GeometryScene& scene, double* lower, double* upper);

// The bytes the scene's hierarchies take, beside its copies of the arrays.
std::size_t geometrySceneBytes(const GeometryScene& scene);

void releaseGeometryScene(GeometryScene& scene);

} // namespace vantrel
