// The importer against the text loader: one cube written in every format it
// reads must give the text loader's vertices, bit for bit, with every quad
// split into two triangles that keep its winding.
#include "vantrel/scene/mesh_import.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "tests/test_support.h"

using namespace vantrel;
using namespace vantrel::testing_support;

namespace {

// Corner k has x from bit 0, y from bit 1, z from bit 2; numbers every
// parser reads exactly.
Vector3 corner(int k, float shiftX = 0) {
    return {(k & 1 ? 2.0f : -1.0f) + shiftX, k & 2 ? 3.0f : 0.5f, k & 4 ? 1.0f : -2.25f};
}
// Faces seen from outside, counter-clockwise.
const int quads[6][4] = {{0, 2, 3, 1}, {4, 5, 7, 6}, {0, 1, 5, 4},
                         {2, 6, 7, 3}, {0, 4, 6, 2}, {1, 3, 7, 5}};
// Every quad as the triangles (a, b, c) and (a, c, d).
int triangleCorner(int t, int k) {
    const int* q = quads[t / 2];
    return k == 0 ? q[0] : q[t % 2 + k];
}

// A general placement; the fourth row must not be read.
const Matrix4 placement = {
    {0.5f, 1.25f, -2, 7, -1.5f, 0.75f, 3, -9, 2.5f, -0.25f, 1.75f, 4, 10, -20, 30, 99}};

std::string numbers(const Vector3& v) {
    char text[64];
    std::snprintf(text, sizeof text, "%g %g %g", v.x, v.y, v.z);
    return text;
}

// Plain bytes of a number or a Vector3, in the machine's (little-endian) order.
template <typename T> void append(std::string& bytes, T value) {
    bytes.append(reinterpret_cast<const char*>(&value), sizeof value);
}

// One line a corner, then one a quad with its corner numbers from first.
std::string cornersAndQuads(const char* vertex, const char* face, int first) {
    std::string text;
    for (int k = 0; k < 8; ++k)
        text += vertex + numbers(corner(k)) + "\n";
    for (const auto& q : quads)
        text += face + std::to_string(q[0] + first) + " " + std::to_string(q[1] + first) + " " +
                std::to_string(q[2] + first) + " " + std::to_string(q[3] + first) + "\n";
    return text;
}

std::string obj() {
    return "# a cube, one line and one point\n" + cornersAndQuads("v ", "f ", 1) + "l 1 8\np 3\n";
}

std::string off() {
    return "OFF\n8 6 0\n" + cornersAndQuads("", "4 ", 0);
}

std::string ply(bool binary) {
    std::string text = std::string("ply\nformat ") + (binary ? "binary_little_endian" : "ascii") +
                       " 1.0\nelement vertex 8\nproperty float x\nproperty float y\n"
                       "property float z\nelement face 6\n"
                       "property list uchar int vertex_indices\nend_header\n";
    if (!binary)
        return text + cornersAndQuads("", "4 ", 0);
    for (int k = 0; k < 8; ++k)
        append(text, corner(k));
    for (const auto& q : quads) {
        append(text, uint8_t{4});
        for (int i : q)
            append(text, int32_t{i});
    }
    return text;
}

std::string stl(bool binary) {
    std::string bytes = binary ? std::string(80, ' ') : "solid cube\n";
    if (binary)
        append(bytes, uint32_t{12});
    for (int t = 0; t < 12; ++t) {
        bytes += binary ? std::string(12, '\0') : "facet normal 0 0 0\nouter loop\n";
        for (int k = 0; k < 3; ++k) {
            const Vector3 v = corner(triangleCorner(t, k));
            if (binary)
                append(bytes, v);
            else
                bytes += "vertex " + numbers(v) + "\n";
        }
        bytes += binary ? std::string(2, '\0') : "endloop\nendfacet\n";
    }
    return binary ? bytes : bytes + "endsolid cube\n";
}

// Indexed triangles in a buffer file beside the JSON, under a node that
// moves them by shiftX.
std::string gltf(const std::string& bufferName, std::string& buffer, float shiftX) {
    buffer.clear();
    for (int k = 0; k < 8; ++k)
        append(buffer, corner(k));
    for (int t = 0; t < 12; ++t)
        for (int k = 0; k < 3; ++k)
            append(buffer, static_cast<uint16_t>(triangleCorner(t, k)));
    return R"({"asset":{"version":"2.0"},"scene":0,"scenes":[{"nodes":[0]}],
"nodes":[{"mesh":0,"translation":[)" +
           std::to_string(shiftX) + R"(,0,0]}],
"meshes":[{"primitives":[{"attributes":{"POSITION":0},"indices":1}]}],
"buffers":[{"uri":")" +
           bufferName + R"(","byteLength":168}],
"bufferViews":[{"buffer":0,"byteOffset":0,"byteLength":96},
               {"buffer":0,"byteOffset":96,"byteLength":72}],
"accessors":[{"bufferView":0,"componentType":5126,"count":8,"type":"VEC3",
              "min":[-1,0.5,-2.25],"max":[2,3,1]},
             {"bufferView":1,"componentType":5123,"count":36,"type":"SCALAR"}]})";
}

class MeshImport : public ::testing::Test {
  protected:
    std::string dir = testing::TempDir() + "vantrel_import_" + std::to_string(::getpid()) + "/";
    std::vector<std::string> written;

    void SetUp() override { ASSERT_EQ(::mkdir(dir.c_str(), 0700) == 0 || errno == EEXIST, true); }
    void TearDown() override {
        for (const std::string& path : written)
            std::remove(path.c_str());
        ::rmdir(dir.c_str());
    }
    std::string write(const std::string& name, const std::string& bytes) {
        const std::string path = dir + name;
        std::FILE* file = std::fopen(path.c_str(), "wb");
        EXPECT_NE(file, nullptr) << path;
        if (file) {
            std::fwrite(bytes.data(), 1, bytes.size(), file);
            std::fclose(file);
        }
        written.push_back(path);
        return path;
    }

    // The corners as the text loader places them: corner k is triangle k.
    std::vector<Vector3> textLoaderCorners(float shiftX) {
        std::string text;
        for (int k = 0; k < 8; ++k) {
            const std::string v = numbers(corner(k, shiftX));
            text += v + " " + v + " " + v + "\n";
        }
        const Mesh mesh(loadTriangleFile(write("corners.tri", text).c_str(), placement));
        std::vector<Vector3> corners;
        if (mesh)
            for (uint32_t k = 0; k < mesh->count; ++k)
                corners.push_back(static_cast<const Triangle*>(mesh->items[k].object)->V0);
        return corners;
    }
};

bool sameBits(const Vector3& a, const Vector3& b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

int cornerIndex(const std::vector<Vector3>& corners, const Vector3& v) {
    for (size_t k = 0; k < corners.size(); ++k)
        if (sameBits(corners[k], v))
            return static_cast<int>(k);
    return -1;
}

// Which quad the triangle lies in, going round it the same way; -1 if none.
int quadOf(const int (&t)[3]) {
    for (int q = 0; q < 6; ++q) {
        int position[3];
        for (int k = 0; k < 3; ++k)
            position[k] = static_cast<int>(std::find(quads[q], quads[q] + 4, t[k]) - quads[q]);
        if (position[0] == 4 || position[1] == 4 || position[2] == 4)
            continue;
        int turns = 0;
        for (int k = 0; k < 3; ++k)
            turns += (position[(k + 1) % 3] - position[k] + 4) % 4;
        if (turns == 4) // once round: same sense; twice: reversed
            return q;
    }
    return -1;
}

} // namespace

TEST_F(MeshImport, EveryFormatGivesTheCubeAsTheTextLoaderPlacesIt) {
    std::string buffer;
    const std::string gltfJson = gltf("cube.bin", buffer, 0);
    const std::string gltfMoved = gltf("moved.bin", buffer, 4);
    struct Case {
        std::string path;
        float shiftX;
    };
    std::vector<Case> cases = {
        {write("cube.obj", obj()), 0},       {write("cube.ply", ply(false)), 0},
        {write("binary.PLY", ply(true)), 0}, {write("cube.off", off()), 0},
        {write("cube.stl", stl(false)), 0},  {write("binary.stl", stl(true)), 0},
        {write("cube.gltf", gltfJson), 0},   {write("moved.gltf", gltfMoved), 4},
    };
    write("cube.bin", buffer);
    write("moved.bin", buffer);

    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_TRUE(importsMeshFile(c.path.c_str()));
        const std::vector<Vector3> corners = textLoaderCorners(c.shiftX);
        ASSERT_EQ(corners.size(), 8u);
        std::string error;
        const Mesh mesh(importMesh(c.path.c_str(), placement, error));
        ASSERT_NE(mesh, nullptr) << error;
        ASSERT_EQ(mesh->count, 12u);
        const Triangle* triangles = static_cast<const Triangle*>(mesh->items[0].object);
        EXPECT_EQ(mesh->items[12].object, triangles);
        EXPECT_EQ(static_cast<int32_t>(mesh->items[12].type), 0);

        std::vector<std::set<int>> quadCorners(6);
        for (uint32_t i = 0; i < 12; ++i) {
            EXPECT_EQ(mesh->items[i].object, &triangles[i]);
            EXPECT_EQ(mesh->items[i].type, PrimitiveType::Triangle);
            const Triangle& t = triangles[i];
            const Material white = {1, 1, 1, 0};
            EXPECT_EQ(std::memcmp(&t.material, &white, sizeof white), 0);
            const int k[3] = {cornerIndex(corners, t.V0), cornerIndex(corners, t.V1),
                              cornerIndex(corners, t.V2)};
            const int q = quadOf(k);
            ASSERT_GE(q, 0) << "triangle " << i << ": corners " << k[0] << " " << k[1] << " "
                            << k[2];
            quadCorners[q].insert(k, k + 3);
        }
        // Two triangles on each face, covering it.
        for (const std::set<int>& covered : quadCorners)
            EXPECT_EQ(covered.size(), 4u);
    }
}

TEST_F(MeshImport, RefusesWhatItCannotReadWithTheLibrarysReason) {
    std::string buffer;
    const std::string missingBuffer = gltf("absent.bin", buffer, 0);
    const std::string files[] = {
        dir + "absent.obj",
        write("garbage.ply", "no mesh at all\n\x01\xff"),
        // Cut short in the header, where the library's reader would never
        // end, and in the numbers, where its triangulation would abort.
        write("header.glb", ply(false).substr(0, 60)),
        write("numbers.ply", ply(false).substr(0, ply(false).find("end_header") + 15)),
        write("short.stl", std::string(80, ' ') + "\x10\x00\x00\x00 not sixteen triangles"),
        write("empty.off", ""),
        write("no-buffer.gltf", missingBuffer),
        write("not-json.gltf", "{ \"asset\": "),
    };
    for (const std::string& path : files) {
        SCOPED_TRACE(path);
        std::string error;
        EXPECT_EQ(importMesh(path.c_str(), placement, error), nullptr);
        EXPECT_FALSE(error.empty());
        EXPECT_EQ(error.find('\n'), std::string::npos) << error;
    }
    std::string error;
    EXPECT_EQ(importMesh((dir + "absent.obj").c_str(), placement, error), nullptr);
    EXPECT_NE(error.find("absent.obj"), std::string::npos) << error;
}

TEST(MeshImportChoice, GoesByTheExtensionAndLeavesTheTextFormatToItsLoader) {
    for (const char* name : {"a.obj", "b.PLY", "c.stl", "d.off", "e.gltf", "f.glb", "dir.x/g.Obj"})
        EXPECT_TRUE(importsMeshFile(name)) << name;
    for (const char* name : {"a.tri", "b.TRI", "mesh", "dir.obj/mesh", "c.txt", ".obj/"})
        EXPECT_FALSE(importsMeshFile(name)) << name;
}
