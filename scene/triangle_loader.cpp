#include "scene/triangle_loader.h"

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <memory>

namespace vantrel {

namespace {

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// Any count above this could not be stored in a list or sized as an array.
constexpr uint64_t listCeiling = std::min<uint64_t>(
    {UINT32_MAX, SIZE_MAX / sizeof(Triangle) - 1, SIZE_MAX / sizeof(PrimitiveRef) - 1});

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

Vector3 transformPoint(const Matrix4& t, float x, float y, float z) {
    const float* m = t.m;
    return {m[0] * x + m[4] * y + m[8] * z + m[12], m[1] * x + m[5] * y + m[9] * z + m[13],
            m[2] * x + m[6] * y + m[10] * z + m[14]};
}

} // namespace

PrimitiveList* loadTriangleFileBounded(const char* path, const Matrix4& transform,
                                       uint64_t maxTriangles) {
    const File file(std::fopen(path, "r"));
    if (!file)
        return nullptr;
    const uint64_t limit = std::min(maxTriangles, listCeiling);

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
    std::unique_ptr<PrimitiveRef[]> items(new PrimitiveRef[count + 1]);
    std::unique_ptr<Triangle[]> triangles(new Triangle[count]);
    items[count] = {triangles.get(), static_cast<PrimitiveType>(0)};

    uint64_t i = 0;
    while (!std::feof(file.get())) {
        const GroupRead read = readGroup(file.get(), v);
        if (read == GroupRead::Invalid)
            return nullptr;
        if (read == GroupRead::End)
            break;
        if (i == count) // the file grew since it was counted
            return nullptr;
        Triangle& triangle = triangles[i];
        items[i] = {&triangle, PrimitiveType::Triangle};
        triangle.material = {1.0f, 1.0f, 1.0f, 0.0f};
        triangle.V0 = transformPoint(transform, v[0], v[1], v[2]);
        triangle.V1 = transformPoint(transform, v[3], v[4], v[5]);
        triangle.V2 = transformPoint(transform, v[6], v[7], v[8]);
        ++i;
    }
    if (i != count) // the file shrank, or could not be read a second time
        return nullptr;

    PrimitiveList* mesh = new PrimitiveList{items.get(), static_cast<uint32_t>(count)};
    items.release();
    triangles.release();
    return mesh;
}

PrimitiveList* loadTriangleFile(const char* path, const Matrix4& transform) {
    return loadTriangleFileBounded(path, transform, listCeiling);
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
