// The plain records every subsystem exchanges. No behaviour lives here.
#pragma once

#include <cstdint>
#include <type_traits>

namespace vantrel {

struct Vector3 {
    float x;
    float y;
    float z;
};

// Column-major: element 4c + r is row r, column c; 12..14 hold the translation.
struct Matrix4 {
    float m[16];
};

struct Material {
    float red;
    float green;
    float blue;
    float reserved; // copied along with a hit, read by nobody
};

struct Sphere {
    Vector3 centre;
    float radius;
    Material material;
};

// Vertices in world space; the face normal is (V1 - V0) x (V2 - V0).
struct Triangle {
    Vector3 V0;
    Vector3 V1;
    Vector3 V2;
    Material material;
};

// Codes other than these three are carried but skipped by every consumer.
enum class PrimitiveType : int32_t {
    Sphere = 1,
    Triangle = 2,
    NestedTree = 3, // object is a compiled KdTree
};

// Never owns what it points to.
struct PrimitiveRef {
    void* object;
    PrimitiveType type;
};

struct PrimitiveList {
    PrimitiveRef* items;
    uint32_t count;
};

// direction has unit length; the renderer only ever pushes tiny components
// out to 0.001.
struct Ray {
    Vector3 origin;
    Vector3 direction;
};

struct HitRecord {
    Material material;
    float distance; // hit point = origin + distance * direction
    Vector3 normal; // unit length
};

// Layouts that the ray table, the camera and the leaf tests rely on.
static_assert(sizeof(Vector3) == 3 * sizeof(float), "Vector3 is three floats");
static_assert(sizeof(Matrix4) == 16 * sizeof(float), "Matrix4 is sixteen floats");
static_assert(sizeof(Material) == 4 * sizeof(uint32_t), "Material is four words");
static_assert(sizeof(Ray) == 6 * sizeof(float), "Ray is six floats");
static_assert(sizeof(Sphere) == 8 * sizeof(float), "Sphere is eight words");
static_assert(sizeof(Triangle) == 13 * sizeof(float), "Triangle is thirteen words");
static_assert(sizeof(PrimitiveType) == 4, "PrimitiveType is a 32-bit code");
static_assert(std::is_trivial_v<Ray> && std::is_standard_layout_v<Ray>, "plain record");
static_assert(std::is_trivial_v<Sphere> && std::is_trivial_v<Triangle>, "plain records");
static_assert(std::is_trivial_v<PrimitiveRef> && std::is_trivial_v<PrimitiveList>, "plain records");
static_assert(std::is_trivial_v<HitRecord>, "plain record");

} // namespace vantrel
