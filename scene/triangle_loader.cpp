#include "vantrel/scene/triangle_loader.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <memory>
#include <sys/types.h>

#include "vantrel/scene/mesh_arrays.h"

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

// Enough of a token to recognise it by.
constexpr std::size_t tokenShown = 32;

// A scan stopped inside the token that did not convert, just before it, or
// just after it (it may take the blank that ended it). Read the file again up
// to there to learn the token's line and its whole text.
void locateBadToken(std::FILE* file, MeshLoadFailure& why) {
    why.error = MeshLoadError::BadToken;
    const off_t stop = ftello(file);
    if (stop < 0 || fseeko(file, 0, SEEK_SET) != 0)
        return;
    uint64_t line = 1;
    bool inToken = false;
    const auto take = [&](int c) {
        if (!inToken) {
            why.token.clear();
            why.line = line;
            inToken = true;
        }
        if (why.token.size() < tokenShown)
            why.token += std::isprint(c) ? static_cast<char>(c) : '?';
        else if (why.token.size() == tokenShown)
            why.token += "...";
    };
    int c = 0;
    for (off_t at = 0; at < stop && (c = std::getc(file)) != EOF; ++at) {
        if (!std::isspace(c)) {
            take(c);
        } else {
            inToken = false;
            if (c == '\n')
                ++line;
        }
    }
    // The token goes on past the stop, or starts there; else it ended before.
    while ((c = std::getc(file)) != EOF && !std::isspace(c))
        take(c);
}

// True, with the system's reason, when the stream's last read failed.
bool readFailed(std::FILE* file, MeshLoadFailure& why) {
    if (!std::ferror(file))
        return false;
    why.error = MeshLoadError::ReadFailed;
    why.systemError = errno;
    return true;
}

PrimitiveList* fail(MeshLoadFailure& why, MeshLoadError error) {
    why.error = error;
    return nullptr;
}

} // namespace

PrimitiveList* loadTriangleFileBounded(const char* path, const Matrix4& transform,
                                       uint64_t maxTriangles, MeshLoadFailure* failure) {
    MeshLoadFailure unread;
    MeshLoadFailure& why = failure ? *failure : unread;
    why = MeshLoadFailure{};
    const File file(openRegularFile(path, why.kind, why.systemError));
    if (!file)
        return fail(why, why.kind == FileKind::Unknown ? MeshLoadError::CannotOpen
                                                       : MeshLoadError::NotRegularFile);
    const uint64_t limit = std::min(maxTriangles, meshTriangleCeiling);

    float v[9];
    uint64_t count = 0;
    while (!std::feof(file.get())) {
        const GroupRead read = readGroup(file.get(), v);
        if (read == GroupRead::Invalid) {
            if (!readFailed(file.get(), why))
                locateBadToken(file.get(), why);
            return nullptr;
        }
        if (read == GroupRead::Triangle && ++count > limit)
            return fail(why, MeshLoadError::TooManyTriangles);
    }
    std::rewind(file.get());

    // Owned here until the file has read the same the second time.
    MeshArrays mesh = allocateMeshArrays(count);

    uint64_t i = 0;
    while (!std::feof(file.get())) {
        const GroupRead read = readGroup(file.get(), v);
        if (read == GroupRead::Invalid) { // it read to the end the first time
            if (!readFailed(file.get(), why))
                why.error = MeshLoadError::Changed;
            return nullptr;
        }
        if (read == GroupRead::End)
            break;
        if (i == count) // the file grew since it was counted
            return fail(why, MeshLoadError::Changed);
        placeMeshTriangle(mesh, static_cast<uint32_t>(i), transform, v);
        ++i;
    }
    if (i != count) // the file shrank
        return fail(why, MeshLoadError::Changed);

    return finishMesh(mesh);
}

PrimitiveList* loadTriangleFile(const char* path, const Matrix4& transform,
                                MeshLoadFailure* failure) {
    return loadTriangleFileBounded(path, transform, meshTriangleCeiling, failure);
}

PrimitiveList* loadMesh(const char* path, const Matrix4& transform, int32_t selector,
                        MeshLoadFailure* failure) {
    if (selector != 0) {
        if (failure) {
            *failure = MeshLoadFailure{};
            failure->error = MeshLoadError::UnknownFormat;
        }
        return nullptr;
    }
    return loadTriangleFile(path, transform, failure);
}

void releaseMesh(PrimitiveList* mesh) {
    if (!mesh)
        return;
    delete[] static_cast<Triangle*>(mesh->items[mesh->count].object);
    delete[] static_cast<MeshFace*>(mesh->items[mesh->count + 1].object);
    delete[] mesh->items;
    delete mesh;
}

} // namespace vantrel
