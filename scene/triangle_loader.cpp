#include "scene/triangle_loader.h"

#include <algorithm>
#include <cstdio>
#include <memory>

#include "scene/mesh_arrays.h"

namespace vantrel {

namespace {

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

enum class GroupRead { Triangle, End, Invalid };

// Whatever is left after the last complete group must still be numbers. The
// short read that ended at the end of the file cannot tell a missing number
// from one that did not convert, so read the rest again one number at a time.
bool tailIsNumbers(std::FILE* file, const std::fpos_t* groupStart) {
    if (!groupStart || std::fsetpos(file, groupStart) != 0)
        return false;
    float ignored;
    int converted;
    do {
        converted = std::fscanf(file, "%f", &ignored);
    } while (converted == 1);
    return converted == EOF && !std::ferror(file);
}

// A short read anywhere but at the end of the file means a token that did not
// convert and was not consumed, or a failed read: reading on would never
// reach the end, and stopping there would silently drop the rest.
GroupRead readGroup(std::FILE* file, float (&v)[9]) {
    std::fpos_t groupStart;
    const bool startKnown = std::fgetpos(file, &groupStart) == 0;
    const int converted = std::fscanf(file, "%f %f %f %f %f %f %f %f %f", &v[0], &v[1], &v[2],
                                      &v[3], &v[4], &v[5], &v[6], &v[7], &v[8]);
    if (converted == 9)
        return GroupRead::Triangle;
    if (std::ferror(file) || !std::feof(file))
        return GroupRead::Invalid;
    return tailIsNumbers(file, startKnown ? &groupStart : nullptr) ? GroupRead::End
                                                                   : GroupRead::Invalid;
}

} // namespace

PrimitiveList* loadTriangleFileBounded(const char* path, const Matrix4& transform,
                                       uint64_t maxTriangles) {
    const File file(std::fopen(path, "r"));
    if (!file)
        return nullptr;
    const uint64_t limit = std::min(maxTriangles, meshTriangleCeiling);

    float v[9];
    uint64_t count = 0;
    while (!std::feof(file.get())) {
        const GroupRead read = readGroup(file.get(), v);
        if (read == GroupRead::Invalid)
            return nullptr;
        if (read == GroupRead::Triangle && ++count > limit)
            return nullptr;
    }
    std::rewind(file.get());

    // Owned here until the file has read the same the second time.
    MeshArrays mesh = allocateMeshArrays(count);

    uint64_t i = 0;
    while (!std::feof(file.get())) {
        const GroupRead read = readGroup(file.get(), v);
        if (read == GroupRead::Invalid)
            return nullptr;
        if (read == GroupRead::End)
            break;
        if (i == count) // the file grew since it was counted
            return nullptr;
        placeMeshTriangle(mesh, static_cast<uint32_t>(i), transform, v);
        ++i;
    }
    if (i != count) // the file shrank, or could not be read a second time
        return nullptr;

    return finishMesh(mesh);
}

PrimitiveList* loadTriangleFile(const char* path, const Matrix4& transform) {
    return loadTriangleFileBounded(path, transform, meshTriangleCeiling);
}

PrimitiveList* loadMesh(const char* path, const Matrix4& transform, int32_t selector) {
    if (selector != 0)
        return nullptr;
    return loadTriangleFile(path, transform);
}

void releaseMesh(PrimitiveList* mesh) {
    if (!mesh)
        return;
    delete[] static_cast<Triangle*>(mesh->items[mesh->count].object);
    delete[] mesh->items;
    delete mesh;
}

} // namespace vantrel
