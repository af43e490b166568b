// The importer against the text loader: one cube written in every format it
// reads must give the text loader's vertices, bit for bit, with every quad
// split into two triangles that keep its winding.
#include "vantrel/scene/mesh_import.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <set>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "tests/test_support.h"
#include "vantrel/scene/import/plain_ply.h"
#include "vantrel/scene/mesh_reader.h"

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

// A random mesh in the plain PLY layout: float corners among other single
// values of every type, triangles alone.
struct PlyMesh {
    std::vector<std::pair<std::string, std::string>> properties{
        {"float", "x"}, {"float", "y"}, {"float", "z"}};
    std::vector<std::vector<double>> vertices; // a value a property
    std::string lengthType, indexType, listName;
    std::vector<std::vector<uint32_t>> faces;
};

// A value as the file's type has it: its bytes, or digits enough that the
// text gives the binary's number back.
void put(std::string& out, const std::string& type, double value, bool binary) {
    char text[40];
    if (!binary)
        out.append(text,
                   std::snprintf(text, sizeof text, type == "float" ? "%.9g " : "%.17g ", value));
    else if (type == "float" || type == "double")
        type == "float" ? append(out, static_cast<float>(value)) : append(out, value);
    else if (type == "uchar" || type == "ushort")
        type == "uchar" ? append(out, static_cast<uint8_t>(value))
                        : append(out, static_cast<uint16_t>(value));
    else
        append(out, static_cast<int32_t>(value));
}

std::string plyOf(const PlyMesh& m, bool binary) {
    std::string t = std::string("ply\nformat ") + (binary ? "binary_little_endian" : "ascii") +
                    " 1.0\ncomment random\nelement vertex " + std::to_string(m.vertices.size()) +
                    "\n";
    for (const auto& [type, name] : m.properties)
        t += "property " + type + " " + name + "\n";
    t += "element face " + std::to_string(m.faces.size()) + "\nproperty list " + m.lengthType +
         " " + m.indexType + " " + m.listName + "\nend_header\n";
    for (const std::vector<double>& v : m.vertices) {
        for (size_t k = 0; k < v.size(); ++k)
            put(t, m.properties[k].first, v[k], binary);
        t += binary ? "" : "\n";
    }
    for (const std::vector<uint32_t>& f : m.faces) {
        put(t, m.lengthType, static_cast<double>(f.size()), binary);
        for (const uint32_t index : f)
            put(t, m.indexType, index, binary);
        t += binary ? "" : "\n";
    }
    return t;
}

PlyMesh randomPlyMesh(std::mt19937& random) {
    PlyMesh m;
    const std::pair<std::string, std::string> extras[] = {
        {"float", "nx"}, {"uchar", "red"}, {"double", "quality"}, {"int", "id"}, {"ushort", "s"}};
    for (int e = random() % 4; e > 0; --e)
        m.properties.insert(m.properties.begin() + random() % (m.properties.size() + 1),
                            extras[random() % 5]);
    m.vertices.resize(1 + random() % 300);
    for (std::vector<double>& v : m.vertices)
        for (const auto& property : m.properties)
            v.push_back(property.first == "float" || property.first == "double"
                            ? randomFloat(random, -50, 50) * std::ldexp(1.0f, random() % 41 - 20)
                            : random() % 200);
    m.lengthType = std::vector<std::string>{"uchar", "int", "ushort"}[random() % 3];
    m.indexType = random() % 2 ? "int" : "uint";
    m.listName = random() % 2 ? "vertex_indices" : "vertex_index";
    const auto corner = [&] { return static_cast<uint32_t>(random() % m.vertices.size()); };
    for (uint32_t f = 1 + random() % 600; f > 0; --f) // corners may repeat
        m.faces.push_back({corner(), corner(), corner()});
    return m;
}

bool readAsPlain(std::string bytes, PlainPly& ply, uint64_t bound = uint64_t{1} << 32) {
    std::FILE* file = fmemopen(bytes.data(), bytes.size(), "rb");
    const bool plain = readPlainPly(file, bytes.size(), bound, ply);
    std::fclose(file);
    return plain;
}

// Both files read the same, as arrays and as a list, bit for bit, or both
// are refused.
void expectSameReading(const std::string& binary, const std::string& text) {
    IndexedMesh a, b;
    std::string errorA, errorB;
    const bool readA = importIndexedMesh(binary.c_str(), placement, 0, a, errorA);
    ASSERT_EQ(readA, importIndexedMesh(text.c_str(), placement, 0, b, errorB)) << errorA << errorB;
    if (!readA)
        return;
    ASSERT_EQ(a.vertices.size(), b.vertices.size());
    EXPECT_EQ(std::memcmp(a.vertices.data(), b.vertices.data(), a.vertices.size() * 4), 0);
    EXPECT_EQ(a.indices, b.indices);
    ASSERT_EQ(a.faces.size(), b.faces.size());
    EXPECT_EQ(std::memcmp(a.faces.data(), b.faces.data(), a.faces.size() * sizeof(MeshFace)), 0);
    const Mesh listA(importMesh(binary.c_str(), placement, errorA));
    const Mesh listB(importMesh(text.c_str(), placement, errorB));
    ASSERT_TRUE(listA && listB && listA->count == listB->count) << errorA << errorB;
    // A list's triangles lie in one array, in order.
    EXPECT_EQ(std::memcmp(listA->items[0].object, listB->items[0].object,
                          listA->count * sizeof(Triangle)),
              0);
}

} // namespace

TEST_F(MeshImport, EveryFormatGivesTheCubeAsTheTextLoaderPlacesIt) {
    std::string buffer;
    const std::string gltfJson = gltf("cube.bin", buffer, 0);
    const std::string gltfMoved = gltf("moved.bin", buffer, 4);
    struct Case {
        std::string path;
        float shiftX;
        bool quadFaces; // the file's faces are the quads; else its triangles
    };
    std::vector<Case> cases = {
        {write("cube.obj", obj()), 0, true},       {write("cube.ply", ply(false)), 0, true},
        {write("binary.PLY", ply(true)), 0, true}, {write("cube.off", off()), 0, true},
        {write("cube.stl", stl(false)), 0, false}, {write("binary.stl", stl(true)), 0, false},
        {write("cube.gltf", gltfJson), 0, false},  {write("moved.gltf", gltfMoved), 4, false},
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
            // Each triangle names the file's face it comes from: the quad it
            // was split from, or the file's own triangle.
            const MeshFace face = meshFaceOf(*mesh, i);
            EXPECT_EQ(face.mesh, 0u);
            EXPECT_EQ(c.quadFaces ? face.face : face.face / 2, static_cast<uint32_t>(q));
        }
        // Two triangles on each face, covering it.
        for (const std::set<int>& covered : quadCorners)
            EXPECT_EQ(covered.size(), 4u);
        // As arrays, the same triangles to the bit, with the same faces.
        IndexedMesh arrays;
        ASSERT_TRUE(readIndexedMesh(c.path.c_str(), placement, arrays, error)) << error;
        ASSERT_EQ(arrays.indices.size(), 36u);
        ASSERT_EQ(arrays.faces.size(), 12u);
        for (uint32_t i = 0; i < 36; ++i) {
            const float* v = &arrays.vertices[3 * arrays.indices[i]];
            const Triangle& t = triangles[i / 3];
            EXPECT_TRUE(sameBits({v[0], v[1], v[2]}, i % 3 == 0   ? t.V0
                                                     : i % 3 == 1 ? t.V1
                                                                  : t.V2))
                << "corner " << i;
            EXPECT_EQ(arrays.faces[i / 3].face, meshFaceOf(*mesh, i / 3).face);
        }
    }
}

// A polygon's triangles all name it, in every mesh of the file, and the
// text format's triangles are its faces.
TEST_F(MeshImport, TrianglesNameTheFilesMeshAndFace) {
    const std::string path = write("two.obj", "v 0 0 0\nv 1 0 0\nv 2 1 0\nv 1 2 0\nv 0 1 0\n"
                                              "o first\nf 1 2 3 4 5\nf 1 2 3\n"
                                              "o second\nf 1 2 3 4\n");
    std::string error;
    const Mesh mesh(importMesh(path.c_str(), placement, error));
    ASSERT_NE(mesh, nullptr) << error;
    ASSERT_EQ(mesh->count, 6u);
    std::multiset<std::pair<uint32_t, uint32_t>> faces;
    for (uint32_t i = 0; i < mesh->count; ++i)
        faces.insert({meshFaceOf(*mesh, i).mesh, meshFaceOf(*mesh, i).face});
    EXPECT_EQ(faces, (std::multiset<std::pair<uint32_t, uint32_t>>{
                         {0, 0}, {0, 0}, {0, 0}, {0, 1}, {1, 0}, {1, 0}}));

    const Mesh text(loadTriangleFile(
        write("two.tri", "0 0 0 1 0 0 0 1 0\n1 1 1 2 1 1 1 2 1\n").c_str(), placement));
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(meshFaceOf(*text, 1).mesh, 0u);
    EXPECT_EQ(meshFaceOf(*text, 1).face, 1u);

    IndexedMesh arrays;
    ASSERT_TRUE(readIndexedMesh(path.c_str(), placement, arrays, error)) << error;
    std::multiset<std::pair<uint32_t, uint32_t>> arrayFaces;
    for (const MeshFace& face : arrays.faces)
        arrayFaces.insert({face.mesh, face.face});
    EXPECT_EQ(arrayFaces, faces);
    ASSERT_TRUE(readIndexedMesh(write("two.tri", "0 0 0 1 0 0 0 1 0\n1 1 1 2 1 1 1 2 1\n").c_str(),
                                placement, arrays, error));
    EXPECT_EQ(arrays.indices, (std::vector<uint32_t>{0, 1, 2, 3, 4, 5}));
    EXPECT_EQ(arrays.faces[1].face, 1u);
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
    EXPECT_NE(error.find("No such file or directory"), std::string::npos) << error;
}

// The plain binary PLY, read without the library, against the library on the
// same numbers in text; a step off the layout, a byte short or long, or past
// the bound, and the file is the library's.
TEST_F(MeshImport, APlainBinaryPlyReadsAsTheLibraryReadsItsText) {
    std::mt19937 random(41);
    for (int round = 0; round < 12; ++round) {
        const PlyMesh mesh = randomPlyMesh(random);
        const std::string bytes = plyOf(mesh, true);
        const std::string words = plyOf(mesh, false);
        PlainPly ply;
        EXPECT_TRUE(readAsPlain(bytes, ply));
        EXPECT_FALSE(readAsPlain(words, ply));
        expectSameReading(write("b.ply", bytes), write("t.ply", words));
        const uint64_t arrays = 12 * (mesh.vertices.size() + mesh.faces.size());
        EXPECT_FALSE(readAsPlain(bytes, ply, arrays - 1));
        EXPECT_TRUE(ply.indices.empty());
        EXPECT_TRUE(readAsPlain(bytes, ply, arrays));
        EXPECT_EQ(ply.indices.size(), 3 * mesh.faces.size());
        EXPECT_FALSE(readAsPlain(bytes.substr(0, bytes.size() - 1), ply));
        EXPECT_FALSE(readAsPlain(bytes + '\0', ply));
        // A quad among the triangles, a double for the first property (which
        // keeps the layout only beside the corners), a face of two corners,
        // an index past the vertices.
        PlyMesh off = mesh;
        const int step = round % 4;
        SCOPED_TRACE(step);
        if (step == 0)
            off.faces[random() % off.faces.size()].push_back(0);
        else if (step == 1)
            off.properties[0].first = "double";
        else if (step == 2)
            off.faces.back().pop_back();
        else
            off.faces.back()[1] = static_cast<uint32_t>(off.vertices.size());
        const std::string offBytes = plyOf(off, true);
        EXPECT_EQ(readAsPlain(offBytes, ply), step == 1 && off.properties[0].second != "x");
        expectSameReading(write("ob.ply", offBytes), write("ot.ply", plyOf(off, false)));
    }
}

TEST(MeshImportChoice, GoesByTheExtensionAndLeavesTheTextFormatToItsLoader) {
    for (const char* name : {"a.obj", "b.PLY", "c.stl", "d.off", "e.gltf", "f.glb", "dir.x/g.Obj"})
        EXPECT_TRUE(importsMeshFile(name)) << name;
    for (const char* name : {"a.tri", "b.TRI", "mesh", "dir.obj/mesh", "c.txt", ".obj/"})
        EXPECT_FALSE(importsMeshFile(name)) << name;
}

namespace {

// Hostile files in a folder of their own, beside one outside it.
class HostileImport : public ::testing::Test {
  protected:
    std::filesystem::path base = std::filesystem::path(testing::TempDir()) /
                                 ("vantrel_hostile_" + std::to_string(::getpid()));
    std::string dir = (base / "model").string() + "/";

    void SetUp() override {
        std::filesystem::remove_all(base);
        std::filesystem::create_directories(base / "model");
        put("../outside/secret.bin", triangleBytes());
        ASSERT_EQ(::mkfifo((base / "outside/fifo.mtl").c_str(), 0600), 0);
        ASSERT_EQ(::mkfifo((dir + "fifo.bin").c_str(), 0600), 0);
        put("tri.bin", triangleBytes());
    }
    void TearDown() override { std::filesystem::remove_all(base); }

    static std::string triangleBytes() {
        std::string bytes;
        for (float f : {0.f, 0.f, 0.f, 1.f, 0.f, 0.f, 0.f, 1.f, 0.f})
            append(bytes, f);
        return bytes;
    }
    std::string put(const std::string& name, const std::string& bytes) {
        const std::filesystem::path path = std::filesystem::path(dir) / name;
        std::filesystem::create_directories(path.parent_path());
        std::FILE* file = std::fopen(path.c_str(), "wb");
        EXPECT_NE(file, nullptr) << path;
        if (file) {
            std::fwrite(bytes.data(), 1, bytes.size(), file);
            std::fclose(file);
        }
        return path.string();
    }
    // One triangle in tri.bin (or uri, of byteLength bytes), under nodes.
    static std::string gltfWith(const std::string& nodes, const std::string& uri = "tri.bin",
                                const std::string& length = "36") {
        return R"({"asset":{"version":"2.0"},"buffers":[{"uri":")" + uri + R"(","byteLength":)" +
               length +
               R"(}],"bufferViews":[{"buffer":0,"byteLength":36}],
"accessors":[{"bufferView":0,"componentType":5126,"count":3,"type":"VEC3","min":[0,0,0],"max":[1,1,1]}],
"meshes":[{"primitives":[{"attributes":{"POSITION":0}}]}],"nodes":)" +
               nodes + R"(,"scenes":[{"nodes":[0]}],"scene":0})";
    }
    // Nodes 0 to depth - 1, each listing the next copies times; the last
    // places the mesh.
    static std::string chain(int depth, int copies) {
        std::string nodes = "[";
        for (int i = 0; i + 1 < depth; ++i) {
            nodes += "{\"children\":[";
            for (int c = 0; c < copies; ++c)
                nodes += (c ? "," : "") + std::to_string(i + 1);
            nodes += "]},";
        }
        return nodes + "{\"mesh\":0}]";
    }
    // As importError, in a child under an address-space limit, so that a
    // file the checks let through cannot take the machine's memory: the
    // library's allocations then fail at once (the sanitizers' shadow
    // memory leaves no room for such a limit).
    std::string importErrorLimited(const std::string& path) {
        int channel[2];
        EXPECT_EQ(::pipe(channel), 0);
        const pid_t child = ::fork();
        if (child == 0) {
            ::close(channel[0]);
#if !defined(__SANITIZE_ADDRESS__)
            const rlimit limit = {mappedBytes() + (1u << 30), RLIM_INFINITY};
            ::setrlimit(RLIMIT_AS, &limit);
#endif
            std::string error;
            PrimitiveList* mesh = importMesh(path.c_str(), placement, error);
            if (mesh)
                error = "imported";
            const ssize_t written = ::write(channel[1], error.data(), error.size());
            ::_exit(written < 0 ? 2 : 0);
        }
        ::close(channel[1]);
        std::string error;
        char chunk[256];
        ssize_t got;
        while ((got = ::read(channel[0], chunk, sizeof chunk)) > 0)
            error.append(chunk, static_cast<size_t>(got));
        ::close(channel[0]);
        int status = 0;
        ::waitpid(child, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << path;
        return error;
    }
    static uint64_t mappedBytes() {
        unsigned long long pages = 0;
        std::FILE* statm = std::fopen("/proc/self/statm", "r");
        if (statm) {
            if (std::fscanf(statm, "%llu", &pages) != 1)
                pages = 0;
            std::fclose(statm);
        }
        return pages * static_cast<uint64_t>(::sysconf(_SC_PAGESIZE));
    }
    std::string importError(const std::string& path, uint64_t bound = 0) {
        std::string error;
        const Mesh mesh(importMeshBounded(path.c_str(), placement, bound, error));
        EXPECT_EQ(mesh, nullptr) << path;
        EXPECT_EQ(error.find('\n'), std::string::npos) << error;
        return error;
    }
};

} // namespace

// Each refused before the library reads it, for the reason given, fast and
// without taking what the file declares.
TEST_F(HostileImport, DeclaredCountsBeyondTheFileAreRefusedBeforeTheLibraryAllocates) {
    const std::string plyHeader = "ply\nformat %s 1.0\nelement vertex %s\nproperty float x\n"
                                  "property float y\nproperty float z\nelement face %s\n"
                                  "property list %s int vertex_indices\nend_header\n";
    const auto ply = [&](const char* format, const char* vertices, const char* faces,
                         const char* countType) {
        char header[512];
        std::snprintf(header, sizeof header, plyHeader.c_str(), format, vertices, faces, countType);
        return std::string(header);
    };
    std::string binaryFace;
    append(binaryFace, uint8_t{3});
    for (int32_t i : {0, 1, 2})
        append(binaryFace, i);
    std::string wrappedStl(80, ' ');
    append(wrappedStl, uint32_t{2147483650u}); // 84 + 50n wraps to the file's length
    wrappedStl += std::string(100, '\0');
    std::string glb = "glTF";
    for (uint32_t word : {2u, 700u, 4000000000u, 0x4E4F534Au})
        append(glb, word);
    glb += "{}" + std::string(672, ' ');
    const struct {
        std::string path;
        const char* reason;
    } cases[] = {
        {put("counts.off", "OFF\n3 700000000 0\n0 0 0\n1 0 0\n0 1 0\n3 0 1 2\n"),
         "declares 3 vertices and 700000000 faces, but the file ends after 1 faces"},
        {put("vertices.ply", ply("binary_little_endian", "2000000000", "1", "uchar") +
                                 triangleBytes() + binaryFace),
         "ends before the 2000000000 instances of element 'vertex'"},
        {put("list.ply",
             ply("ascii", "3", "1", "uint") + "0 0 0\n1 0 0\n0 1 0\n4000000000 0 1 2\n"),
         "has a list of 4000000000 items on a line of 4 numbers"},
        {put("empty-data.ply", ply("ascii", "100000000", "100000000", "uchar")),
         "the file ends before instance 1 of 100000000 of element 'vertex'"},
        {put("format.ply", ply("binary_litttle_endian", "3", "1", "uchar")),
         "PLY header: the second line is not 'format' with ascii"},
        {put("property.ply", ply("ascii", "3", "1", "uchar int extra")),
         "PLY header: a property line is not"},
        {put("wrapped.stl", wrappedStl), "declaring 2147483650 triangles"},
        {put("chunk.glb", glb), "the GLB header declares 700 bytes; the file has 694"},
        {put("instances.gltf", gltfWith(chain(31, 2))), "more than 1048576 node or mesh copies"},
        {put("deep.gltf", gltfWith(chain(20000, 1))), "nodes nested 20000 deep"},
        {put("cycle.gltf", gltfWith(R"([{"children":[1]},{"children":[0],"mesh":0}])")),
         "the nodes form a cycle"},
        {put("nested.gltf", "{\"extras\":" + std::string(5000, '[') + std::string(5000, ']') + "}"),
         "JSON nested more than 256 deep"},
        {put("long.gltf", gltfWith(chain(1, 0), "tri.bin", "21474836480")),
         "buffer 'tri.bin' declares 21474836480 bytes but holds 36"},
    };
    for (const auto& c : cases) {
        const std::string error = importErrorLimited(c.path);
        EXPECT_NE(error.find(c.reason), std::string::npos) << c.path << ": " << error;
    }
}

TEST_F(HostileImport, WhatTheOffReaderWouldClampOrDropIsRefusedWithItsLine) {
    EXPECT_NE(importError(put("clamped.off", "OFF\n4 2 0\n0 0 0\n1 0 0\n0 1 0\n5 5 5\n"
                                             "3 0 1 2\n3 0 1 99\n"))
                  .find("line 8: vertex 99 is out of range (the file has 4 vertices"),
              std::string::npos);
    std::string twelve = "OFF\n12 2 0\n";
    for (int i = 0; i < 12; ++i)
        twelve += std::to_string(i) + " " + std::to_string(i * i % 7) + " 0\n";
    EXPECT_NE(importError(put("twelve.off", twelve + "12 0 1 2 3 4 5 6 7 8 9 10 11\n3 0 1 2\n"))
                  .find("line 15: a face of 12 corners"),
              std::string::npos);
    // Nine corners are read, and split.
    std::string nine = "OFF\n9 1 0\n";
    for (int i = 0; i < 9; ++i)
        nine += std::to_string(std::cos(i * 0.698f)) + " " + std::to_string(std::sin(i * 0.698f)) +
                " 0\n";
    std::string error;
    const Mesh nonagon(
        importMesh(put("nine.off", nine + "9 0 1 2 3 4 5 6 7 8\n").c_str(), placement, error));
    ASSERT_NE(nonagon, nullptr) << error;
    EXPECT_EQ(nonagon->count, 7u);
}

// The PLY reader sizes vertices and faces by the first element of each kind
// and reads a face's texture coordinates through its vertex list: what would
// take it past either is refused; six coordinates on a triangle are read.
TEST_F(HostileImport, WhatThePlyReaderWouldWriteOrReadPastItsStorageIsRefused) {
    const std::string vertices = "element vertex 3\nproperty float x\nproperty float y\n"
                                 "property float z\n";
    const auto ply = [&](const std::string& format, const std::string& rest) {
        return "ply\nformat " + format + " 1.0\n" + vertices + rest;
    };
    const std::string corners = "0 0 0\n1 0 0\n0 1 0\n";
    const std::string faceHeader = "element face 1\nproperty list uchar int vertex_indices\n"
                                   "property list uchar float texcoord\nend_header\n";
    std::string binary = ply("binary_little_endian",
                             "element face 1\nproperty list uchar float texcoord\nend_header\n") +
                         triangleBytes();
    append(binary, uint8_t{6});
    for (int i = 0; i < 6; ++i)
        append(binary, float(i & 1));
    const struct {
        std::string path;
        const char* reason;
    } cases[] = {
        {put("vertices.ply", ply("ascii", "element vertex 4\nproperty float x\nend_header\n") +
                                 corners + "0\n1\n2\n3\n"),
         "PLY header: element 'vertex' after element 'vertex'"},
        {put("strips.ply",
             ply("ascii", "element face 1\nproperty list uchar int vertex_indices\n"
                          "element tristrips 2\nproperty list int int vertex_indices\n"
                          "end_header\n") +
                 corners + "3 0 1 2\n4 0 1 2 0\n4 0 1 2 0\n"),
         "element 'tristrips' after element 'face'"},
        {put("eight.ply", ply("ascii", faceHeader) + corners + "3 0 1 2 8 0 0 1 0 0 1 1 1\n"),
         "instance 1 of 1 of element 'face' has 8 texture coordinates but 3 corners"},
        {put("unlisted.ply", binary), "has 6 texture coordinates but no vertex list"},
    };
    for (const auto& c : cases)
        EXPECT_NE(importError(c.path).find(c.reason), std::string::npos) << c.path;
    std::string error;
    const Mesh six(importMesh(
        put("six.ply", ply("ascii", faceHeader) + corners + "3 0 1 2 6 0 0 1 0 0 1\n").c_str(),
        placement, error));
    ASSERT_NE(six, nullptr) << error;
    EXPECT_EQ(six->count, 1u);
}

TEST_F(HostileImport, OnlyRegularFilesInsideTheModelsFolderAreOpenedAndTheReasonIsTheSystems) {
    // A buffer or a material outside the folder, or a FIFO, is never opened:
    // a FIFO opened for reading would wait here for ever.
    EXPECT_NE(importError(put("outside.gltf", gltfWith("[{\"mesh\":0}]", "../outside/secret.bin")))
                  .find("buffer '../outside/secret.bin': it lies outside the model's folder"),
              std::string::npos);
    EXPECT_NE(importError(put("fifo.gltf", gltfWith("[{\"mesh\":0}]", "fifo.bin")))
                  .find("buffer 'fifo.bin': it is a FIFO, not a regular file"),
              std::string::npos);
    ASSERT_EQ(::symlink("../outside/secret.bin", (dir + "link.bin").c_str()), 0);
    EXPECT_NE(importError(put("link.gltf", gltfWith("[{\"mesh\":0}]", "link.bin")))
                  .find("outside the model's folder"),
              std::string::npos);
    std::string error;
    const Mesh obj(importMesh(put("materials.obj", "mtllib ../outside/fifo.mtl\nmtllib fifo.bin\n"
                                                   "v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 3\n")
                                  .c_str(),
                              placement, error));
    ASSERT_NE(obj, nullptr) << error;
    EXPECT_EQ(obj->count, 1u);
    const Mesh inside(
        importMesh(put("sub/inside.gltf", gltfWith("[{\"mesh\":0}]", "../tri.bin")).c_str(),
                   placement, error));
    EXPECT_EQ(inside, nullptr) << "a buffer above the model's own folder was read";
    // A name written with JSON escapes is the file the library opens.
    const Mesh escaped(importMesh(
        put("sub/escaped.gltf", gltfWith("[{\"mesh\":0}]", "..\\/sub\\/\\u0074ri.bin")).c_str(),
        placement, error));
    EXPECT_EQ(escaped, nullptr);
    put("sub/tri.bin", triangleBytes());
    const Mesh found(importMesh((dir + "sub/escaped.gltf").c_str(), placement, error));
    EXPECT_NE(found, nullptr) << error;

    ASSERT_EQ(::mkfifo((dir + "model.obj").c_str(), 0600), 0);
    EXPECT_NE(importError(dir + "model.obj").find("it is a FIFO, not a regular file"),
              std::string::npos);
    std::filesystem::create_directory(dir + "dir.gltf");
    EXPECT_NE(importError(dir + "dir.gltf").find("it is a directory"), std::string::npos);
    ASSERT_EQ(::symlink("loop.ply", (dir + "loop.ply").c_str()), 0);
    EXPECT_NE(importError(dir + "loop.ply").find("Too many levels of symbolic links"),
              std::string::npos);
    EXPECT_NE(importError(dir + "absent.stl").find("No such file or directory"), std::string::npos);
}

TEST_F(HostileImport, OtherFormatsOfTheLibraryAreRefusedWithTheListOfThoseRead) {
    const std::string mdl = put("model.mdl", "IDPO garbage that once crashed a reader");
    EXPECT_TRUE(refusesMeshFile(mdl.c_str()));
    EXPECT_FALSE(refusesMeshFile((dir + "mesh.txt").c_str()));
    std::string error;
    EXPECT_EQ(readMesh(mdl.c_str(), placement, error), nullptr);
    EXPECT_NE(error.find("meshes are read from .obj, .ply, .stl, .off, .gltf, .glb"),
              std::string::npos)
        << error;
    EXPECT_NE(importError(put("model.fbx", "Kaydara FBX Binary")).find("not a format"),
              std::string::npos);
    // Content of another format under an accepted name finds no other reader.
    EXPECT_NE(importError(put("not.gltf", "IDPO\x06\0\0\0")).find("not a JSON value"),
              std::string::npos);
}

TEST_F(HostileImport, TheImportIsWeighedAgainstItsMemoryBound) {
    // One polygon of 1,000 corners: a 4 KB file the library takes at once,
    // split into 998 triangles, whose list takes 68 KB.
    std::string obj;
    for (int i = 0; i < 1000; ++i)
        obj += "v " + std::to_string(std::cos(i * 0.00628)) + " " +
               std::to_string(std::sin(i * 0.00628)) + " 0\n";
    obj += "f";
    for (int i = 1; i <= 1000; ++i)
        obj += " " + std::to_string(i);
    const std::string polygon = put("polygon.obj", obj + "\n");
    std::string error;
    const Mesh whole(importMeshBounded(polygon.c_str(), placement, 4 << 20, error));
    ASSERT_NE(whole, nullptr) << error;
    EXPECT_EQ(whole->count, 998u);
    EXPECT_NE(importError(polygon, 60000)
                  .find("more than the 1 MiB this process may still take "
                        "(the import's bound)"),
              std::string::npos);
    // A buffer that is as long as it says, but longer than the bound.
    const std::string big = dir + "big.bin";
    ASSERT_EQ(::truncate(put("big.bin", "").c_str(), off_t{1} << 30), 0);
    EXPECT_NE(
        importError(put("big.gltf", gltfWith("[{\"mesh\":0}]", "big.bin", "1073741824")), 64 << 20)
            .find("reading it would take about"),
        std::string::npos);
}
