// Arbitrary bytes as a triangle file: loading must end, either refuse the
// file or count only complete groups of nine numbers, lay the result out as
// documented and release everything it took.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

#include "fuzz_check.h"
#include "vantrel/scene/records.h"
#include "vantrel/scene/triangle_loader.h"

namespace {

std::string scratchPath;

void removeScratchFile() {
    std::remove(scratchPath.c_str());
}

// One file per process, rewritten for every input.
const char* scratchFile() {
    if (scratchPath.empty()) {
        const char* dir = std::getenv("TMPDIR");
        std::string pattern = std::string(dir && *dir ? dir : "/tmp") + "/vantrel-fuzz-XXXXXX";
        const int fd = mkstemp(pattern.data());
        FUZZ_CHECK(fd >= 0);
        close(fd);
        scratchPath = pattern;
        std::atexit(removeScratchFile);
    }
    return scratchPath.c_str();
}

vantrel::Matrix4 identity() {
    vantrel::Matrix4 m{};
    m.m[0] = m.m[5] = m.m[10] = m.m[15] = 1.0f;
    return m;
}

bool finite(const vantrel::Vector3& v) {
    return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z);
}

bool sameVertex(const vantrel::Vector3& a, const vantrel::Vector3& b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

// The documented layout: entry i of type Triangle points at triangle i of one
// contiguous array, and every triangle is white.
const vantrel::Triangle* checkLayout(const vantrel::PrimitiveList& mesh) {
    FUZZ_CHECK(mesh.items != nullptr);
    if (mesh.count == 0)
        return nullptr;
    const auto* triangles = static_cast<const vantrel::Triangle*>(mesh.items[0].object);
    for (uint32_t i = 0; i < mesh.count; ++i) {
        FUZZ_CHECK(mesh.items[i].type == vantrel::PrimitiveType::Triangle);
        FUZZ_CHECK(mesh.items[i].object == triangles + i);
        const vantrel::Material& colour = triangles[i].material;
        FUZZ_CHECK(colour.red == 1.0f && colour.green == 1.0f && colour.blue == 1.0f);
    }
    return triangles;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const char* path = scratchFile();
    FILE* file = std::fopen(path, "wb");
    FUZZ_CHECK(file != nullptr);
    FUZZ_CHECK(size == 0 || std::fwrite(data, 1, size, file) == size);
    FUZZ_CHECK(std::fclose(file) == 0);

    vantrel::MeshLoadFailure why;
    vantrel::PrimitiveList* plain = vantrel::loadTriangleFile(path, identity(), &why);
    // A file that is not all numbers may be refused; plain unsigned integers
    // separated by white space must load, every complete nine a triangle.
    size_t numbers = 0;
    bool onlyIntegers = true;
    for (size_t i = 0; i < size; ++i) {
        const bool digit = data[i] >= '0' && data[i] <= '9';
        onlyIntegers = onlyIntegers && (digit || std::memchr(" \t\n\v\f\r", data[i], 6) != nullptr);
        numbers += digit && (i == 0 || !(data[i - 1] >= '0' && data[i - 1] <= '9'));
    }
    if (onlyIntegers) {
        FUZZ_CHECK(plain != nullptr);
        FUZZ_CHECK(plain->count == numbers / 9);
    }
    if (!plain) {
        // A readable file that stays as it was is refused only for a token,
        // and the reason names one on a line the file has.
        FUZZ_CHECK(why.error == vantrel::MeshLoadError::BadToken);
        FUZZ_CHECK(!why.token.empty());
        const size_t lines = 1 + static_cast<size_t>(std::count(data, data + size, '\n'));
        FUZZ_CHECK(why.line >= 1 && why.line <= lines);
        FUZZ_CHECK(vantrel::loadTriangleFile(path, identity()) == nullptr);
        return 0;
    }
    FUZZ_CHECK(why.error == vantrel::MeshLoadError::None);
    // Nine numbers take at least seventeen characters ("1-1-1-1-1-1-1-1-1"),
    // and a following group one more to start a new number.
    FUZZ_CHECK(uint64_t{plain->count} * 18 <= uint64_t{size} + 1);
    const vantrel::Triangle* plainTriangles = checkLayout(*plain);

    // A translation, with the elements that must be ignored set to NaN.
    vantrel::Matrix4 moved = identity();
    moved.m[12] = 1.0f;
    moved.m[13] = 2.0f;
    moved.m[14] = 3.0f;
    moved.m[3] = moved.m[7] = moved.m[11] = moved.m[15] = std::nanf("");
    vantrel::PrimitiveList* shifted = vantrel::loadTriangleFile(path, moved);
    FUZZ_CHECK(shifted != nullptr);
    FUZZ_CHECK(shifted->count == plain->count);
    const vantrel::Triangle* shiftedTriangles = checkLayout(*shifted);
    const vantrel::Vector3 offset{1.0f, 2.0f, 3.0f};
    for (uint32_t i = 0; i < plain->count; ++i) {
        const vantrel::Vector3* from = &plainTriangles[i].V0;
        const vantrel::Vector3* to = &shiftedTriangles[i].V0;
        for (int v = 0; v < 3; ++v) {
            // Infinities turn into NaN through the zero elements of the matrix,
            // so only finite vertices have a known place.
            if (!finite(from[v]))
                continue;
            const vantrel::Vector3 expected{from[v].x + offset.x, from[v].y + offset.y,
                                            from[v].z + offset.z};
            FUZZ_CHECK(sameVertex(to[v], expected));
        }
    }

    // The front loads only the text format.
    FUZZ_CHECK(vantrel::loadMesh(path, identity(), 1) == nullptr);

    vantrel::releaseMesh(shifted);
    vantrel::releaseMesh(plain);
    return 0;
}
