#include "vantrel/scene/triangle_loader.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <future>
#include <limits>
#include <map>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

#include "tests/test_support.h"
#include "vantrel/scene/vector_ops.h"

using namespace vantrel;
using namespace vantrel::testing_support;

namespace {

// A file under the test's temporary directory, removed again afterwards.
class TempFile {
  public:
    explicit TempFile(const std::string& contents)
        : path(testing::TempDir() + "vantrel_mesh_" + std::to_string(::getpid()) + "_" +
               std::to_string(serial++) + ".tri") {
        std::FILE* file = std::fopen(path.c_str(), "w");
        EXPECT_NE(file, nullptr) << path;
        if (file) {
            std::fputs(contents.c_str(), file);
            std::fclose(file);
        }
    }
    ~TempFile() { std::remove(path.c_str()); }
    const char* name() const { return path.c_str(); }

  private:
    static inline int serial = 0;
    std::string path;
};

Matrix4 identity() {
    return {{1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1}};
}

const Triangle& triangleAt(const PrimitiveList& mesh, uint32_t i) {
    return *static_cast<const Triangle*>(mesh.items[i].object);
}

void expectVertex(const Vector3& v, float x, float y, float z) {
    EXPECT_EQ(v.x, x);
    EXPECT_EQ(v.y, y);
    EXPECT_EQ(v.z, z);
}

// Three triangles, every number distinct and exact in float.
const float numbers[27] = {0.5f,  1,     -2,  3.25f, 4,      5,      6,   -7.5f, 8,
                           9,     10.5f, 11,  -12,   13,     14.75f, 15,  16,    -17,
                           18.5f, 19,    -20, 21,    22.25f, 23,     -24, 25,    26.5f};

std::string join(int perLine, const char* separator = " ") {
    std::string text;
    for (int i = 0; i < 27; ++i) {
        char number[32];
        std::snprintf(number, sizeof number, "%g", numbers[i]);
        text += number;
        text += (i + 1) % perLine == 0 ? "\n" : separator;
    }
    return text;
}

} // namespace

TEST(TriangleLoader, ReadsTheSameTrianglesWhateverTheLayout) {
    const std::string layouts[] = {join(9), join(27, "\t "), join(1), "  \n" + join(4, "\n\t")};
    for (const std::string& layout : layouts) {
        SCOPED_TRACE(layout);
        TempFile file(layout);
        const Mesh mesh(loadMesh(file.name(), identity(), 0));
        ASSERT_NE(mesh, nullptr);
        ASSERT_EQ(mesh->count, 3u);
        const Triangle* triangles = static_cast<const Triangle*>(mesh->items[0].object);
        for (uint32_t i = 0; i < 3; ++i) {
            EXPECT_EQ(mesh->items[i].type, PrimitiveType::Triangle);
            EXPECT_EQ(mesh->items[i].object, &triangles[i]);
            const Triangle& t = triangles[i];
            const float* n = &numbers[9 * i];
            expectVertex(t.V0, n[0], n[1], n[2]);
            expectVertex(t.V1, n[3], n[4], n[5]);
            expectVertex(t.V2, n[6], n[7], n[8]);
            EXPECT_EQ(t.material.red, 1.0f);
            EXPECT_EQ(t.material.green, 1.0f);
            EXPECT_EQ(t.material.blue, 1.0f);
        }
    }
}

TEST(TriangleLoader, TransformsEveryVertexAsAPoint) {
    TempFile file("1 2 3  -1 0.5 4  0 0 0\n");

    Matrix4 translation = identity();
    translation.m[12] = 1;
    translation.m[13] = 2;
    translation.m[14] = 3;
    const Mesh moved(loadTriangleFile(file.name(), translation));
    ASSERT_NE(moved, nullptr);
    ASSERT_EQ(moved->count, 1u);
    expectVertex(triangleAt(*moved, 0).V0, 2, 4, 6);
    expectVertex(triangleAt(*moved, 0).V1, 0, 2.5f, 7);
    expectVertex(triangleAt(*moved, 0).V2, 1, 2, 3);

    // Columns (0, 2, 0), (-3, 0, 0), (0, 0, 4), then the translation:
    // (x, y, z) goes to (1 - 3y, 2 + 2x, 3 + 4z).
    Matrix4 general = {{0, 2, 0, 0, -3, 0, 0, 0, 0, 0, 4, 0, 1, 2, 3, 1}};
    const Mesh turned(loadTriangleFile(file.name(), general));
    ASSERT_NE(turned, nullptr);
    expectVertex(triangleAt(*turned, 0).V0, -5, 4, 15);
    expectVertex(triangleAt(*turned, 0).V1, -0.5f, 0, 19);
    expectVertex(triangleAt(*turned, 0).V2, 1, 2, 3);

    // The fourth row is never read, whatever it holds.
    general.m[3] = 5;
    general.m[7] = -7;
    general.m[11] = std::numeric_limits<float>::quiet_NaN();
    general.m[15] = 1e30f;
    const Mesh ignored(loadTriangleFile(file.name(), general));
    ASSERT_NE(ignored, nullptr);
    expectVertex(triangleAt(*ignored, 0).V0, -5, 4, 15);
    expectVertex(triangleAt(*ignored, 0).V1, -0.5f, 0, 19);
    expectVertex(triangleAt(*ignored, 0).V2, 1, 2, 3);
}

TEST(TriangleLoader, IgnoresNumbersThatDoNotCompleteATriangle) {
    std::string twenty;
    for (int i = 1; i <= 20; ++i)
        twenty += std::to_string(i) + (i % 9 == 0 ? "\n" : " ");
    TempFile file(twenty);
    const Mesh mesh(loadTriangleFile(file.name(), identity()));
    ASSERT_NE(mesh, nullptr);
    ASSERT_EQ(mesh->count, 2u);
    expectVertex(triangleAt(*mesh, 1).V2, 16, 17, 18);

    // Nothing to read still gives a list, with its arrays.
    for (const char* text : {"", " \t\n\n  \r\n", "1 2 3 4 5 6 7 8"}) {
        SCOPED_TRACE(text);
        TempFile small(text);
        const Mesh empty(loadTriangleFile(small.name(), identity()));
        ASSERT_NE(empty, nullptr);
        EXPECT_EQ(empty->count, 0u);
        EXPECT_NE(empty->items, nullptr);
    }
}

TEST(TriangleLoader, GivesNoListForAFileItCannotReadAndSaysWhy) {
    MeshLoadFailure why;
    EXPECT_EQ(loadTriangleFile("no such directory/no such mesh.tri", identity(), &why), nullptr);
    EXPECT_EQ(why.error, MeshLoadError::CannotOpen);
    EXPECT_EQ(describeMeshLoadFailure(why), std::strerror(ENOENT));
    EXPECT_EQ(loadMesh("no such directory/no such mesh.tri", identity(), 0), nullptr);
    EXPECT_EQ(loadTriangleFile(testing::TempDir().c_str(), identity(), &why), nullptr);
    EXPECT_EQ(describeMeshLoadFailure(why), "it is a directory, not a regular file");
    // Opens, but every read fails.
    EXPECT_EQ(loadTriangleFile("/proc/self/mem", identity(), &why), nullptr);
    EXPECT_EQ(why.error, MeshLoadError::ReadFailed);
    EXPECT_EQ(why.systemError, EIO);

    // A FIFO without a writer would hold an open for ever: refused unopened.
    const std::string fifo = testing::TempDir() + "vantrel_fifo_" + std::to_string(::getpid());
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    auto load = std::async(std::launch::async,
                           [&] { return loadTriangleFile(fifo.c_str(), identity(), &why); });
    if (load.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
        ADD_FAILURE() << "loading a FIFO blocked";
        std::fclose(std::fopen(fifo.c_str(), "w")); // lets it go
    }
    EXPECT_EQ(load.get(), nullptr);
    EXPECT_EQ(describeMeshLoadFailure(why), "it is a FIFO, not a regular file");
    std::remove(fifo.c_str());
}

TEST(TriangleLoader, LoadsOnlyWithSelectorZero) {
    TempFile file(join(9));
    MeshLoadFailure why;
    for (const int32_t selector : {1, -1, 2, std::numeric_limits<int32_t>::min()}) {
        EXPECT_EQ(loadMesh(file.name(), identity(), selector, &why), nullptr) << selector;
        EXPECT_EQ(why.error, MeshLoadError::UnknownFormat);
    }
    const Mesh mesh(loadMesh(file.name(), identity(), 0, &why));
    ASSERT_NE(mesh, nullptr);
    EXPECT_EQ(mesh->count, 3u);
    EXPECT_EQ(why.error, MeshLoadError::None);
}

TEST(TriangleLoader, RejectsAFileWithATokenThatIsNotANumber) {
    const std::string good = join(9);
    // Each with the reason given: the whole token and its line.
    const std::pair<std::string, const char*> files[] = {
        {"x", "line 1: 'x' is not a number"},
        {"1 2 3 4 x 6 7 8 9\n", "line 1: 'x' is not a number"},
        {"1, 2, 3, 4, 5, 6, 7, 8, 9\n", "line 1: '1,' is not a number"},
        {good + "oops\n" + good, "line 4: 'oops' is not a number"},
        {good + "#", "line 4: '#' is not a number"},
        // Within what would be leftover numbers, up to the very end of the file.
        {good + "1 2 n", "line 4: 'n' is not a number"},
        {good + "1 2 3 -", "line 4: '-' is not a number"},
        // The scan takes the blank after a would-be infinity.
        {"1 I \t\n2", "line 1: 'I' is not a number"},
        {"1 2\n\t3\x01" + std::string(40, 'z'),
         "line 2: '3?zzzzzzzzzzzzzzzzzzzzzzzzzzzzzz...' is not a number"},
    };
    for (const auto& [text, reason] : files) {
        SCOPED_TRACE(text);
        TempFile file(text);
        MeshLoadFailure why;
        EXPECT_EQ(loadTriangleFile(file.name(), identity(), &why), nullptr);
        EXPECT_EQ(describeMeshLoadFailure(why), reason);
    }

    // Everything the number conversion takes is a number, however spelt.
    TempFile spelt("0x1p3 1e2 +4 .5 7. -0 1E-1 -.25 0X.8p1");
    const Mesh mesh(loadTriangleFile(spelt.name(), identity()));
    ASSERT_NE(mesh, nullptr);
    ASSERT_EQ(mesh->count, 1u);
    expectVertex(triangleAt(*mesh, 0).V0, 8, 100, 4);
    expectVertex(triangleAt(*mesh, 0).V1, 0.5f, 7, 0);
    expectVertex(triangleAt(*mesh, 0).V2, 0.1f, -0.25f, 1);
}

TEST(TriangleLoader, RefusesMoreTrianglesThanTheBound) {
    TempFile file(join(9));
    MeshLoadFailure why;
    EXPECT_EQ(loadTriangleFileBounded(file.name(), identity(), 2, &why), nullptr);
    EXPECT_EQ(why.error, MeshLoadError::TooManyTriangles);
    const Mesh mesh(loadTriangleFileBounded(file.name(), identity(), 3));
    ASSERT_NE(mesh, nullptr);
    EXPECT_EQ(mesh->count, 3u);
}

// The shipped mesh is a closed unit sphere wound outward: every edge is used
// once in each direction and every face normal points away from the centre.
TEST(TriangleLoader, ShippedIcosphereIsAClosedOutwardUnitSphere) {
    const Mesh mesh(loadTriangleFile(VANTREL_SHIPPED_ICOSPHERE, identity()));
    ASSERT_NE(mesh, nullptr);
    ASSERT_EQ(mesh->count, 320u);

    using Key = std::pair<std::vector<float>, std::vector<float>>;
    std::map<Key, int> directedEdges;
    for (uint32_t i = 0; i < mesh->count; ++i) {
        const Triangle& t = triangleAt(*mesh, i);
        const Vector3 corners[3] = {t.V0, t.V1, t.V2};
        for (int k = 0; k < 3; ++k) {
            const Vector3& p = corners[k];
            EXPECT_NEAR(std::sqrt(dot(p, p)), 1.0f, 1e-6f) << "triangle " << i;
            const Vector3& q = corners[(k + 1) % 3];
            ++directedEdges[{{p.x, p.y, p.z}, {q.x, q.y, q.z}}];
        }
        const Vector3 normal = cross(t.V1 - t.V0, t.V2 - t.V0);
        EXPECT_GT(dot(normal, t.V0 + t.V1 + t.V2), 0.0f) << "triangle " << i;
    }
    ASSERT_EQ(directedEdges.size(), 960u);
    for (const auto& [edge, uses] : directedEdges) {
        EXPECT_EQ(uses, 1);
        EXPECT_EQ(directedEdges.count({edge.second, edge.first}), 1u);
    }
}
