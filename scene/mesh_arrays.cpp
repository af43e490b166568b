#include "vantrel/scene/mesh_arrays.h"

#include "vantrel/scene/page_advice.h"

namespace vantrel {

Vector3 transformPoint(const Matrix4& t, float x, float y, float z) {
    const float* m = t.m;
    return {m[0] * x + m[4] * y + m[8] * z + m[12], m[1] * x + m[5] * y + m[9] * z + m[13],
            m[2] * x + m[6] * y + m[10] * z + m[14]};
}

MeshArrays allocateMeshArrays(uint64_t count, bool withFaces) {
    MeshArrays mesh{std::unique_ptr<PrimitiveRef[]>(new PrimitiveRef[count + 2]),
                    std::unique_ptr<Triangle[]>(new Triangle[count]),
                    std::unique_ptr<MeshFace[]>(withFaces ? new MeshFace[count] : nullptr),
                    static_cast<uint32_t>(count)};
    // Queries read a hit's record, and often its entry, at random: on huge
    // pages neither waits on a page walk besides its miss.
    adviseHugePages(mesh.items.get(), (count + 2) * sizeof(PrimitiveRef));
    adviseHugePages(mesh.triangles.get(), count * sizeof(Triangle));
    mesh.items[count] = {mesh.triangles.get(), static_cast<PrimitiveType>(0)};
    mesh.items[count + 1] = {mesh.faces.get(), static_cast<PrimitiveType>(0)};
    return mesh;
}

void placeMeshTriangle(MeshArrays& mesh, uint32_t i, const Matrix4& transform,
                       const float (&v)[9]) {
    Triangle& triangle = mesh.triangles[i];
    mesh.items[i] = {&triangle, PrimitiveType::Triangle};
    triangle.material = {1.0f, 1.0f, 1.0f, 0.0f};
    triangle.V0 = transformPoint(transform, v[0], v[1], v[2]);
    triangle.V1 = transformPoint(transform, v[3], v[4], v[5]);
    triangle.V2 = transformPoint(transform, v[6], v[7], v[8]);
}

PrimitiveList* finishMesh(MeshArrays& mesh) {
    PrimitiveList* list = new PrimitiveList{mesh.items.get(), mesh.count};
    mesh.items.release();
    mesh.triangles.release();
    mesh.faces.release();
    return list;
}

} // namespace vantrel
