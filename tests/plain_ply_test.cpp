// The plain PLY reader against the import library: random meshes written as
// binary files of the plain layout, which the reader takes, and as the same
// numbers in text, which the library reads, must give the same arrays and
// lists bit for bit; files a step off the layout are the library's, and
// give what their text does.
#include "vantrel/scene/import/plain_ply.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

#include "vantrel/scene/mesh_import.h"
#include "vantrel/scene/triangle_loader.h"

using namespace vantrel;

namespace {

struct Property {
    std::string type; // float, uchar, double, int, ushort
    std::string name;
};

// A mesh and the layout it is written in.
struct PlyMesh {
    std::vector<Property> vertexProperties;    // x, y and z among them
    std::vector<std::vector<double>> vertices; // a value a property
    std::string lengthType = "uchar";
    std::string indexType = "int";
    std::string listName = "vertex_indices";
    std::vector<std::vector<uint32_t>> faces;
};

template <typename T> void append(std::string& bytes, T value) {
    bytes.append(reinterpret_cast<const char*>(&value), sizeof value);
}

void appendAs(std::string& bytes, const std::string& type, double value) {
    if (type == "float")
        append(bytes, static_cast<float>(value));
    else if (type == "double")
        append(bytes, value);
    else if (type == "uchar")
        append(bytes, static_cast<uint8_t>(value));
    else if (type == "ushort")
        append(bytes, static_cast<uint16_t>(value));
    else
        append(bytes, static_cast<int32_t>(value));
}

std::string plyOf(const PlyMesh& m, bool binary) {
    std::string text = "ply\nformat ";
    text += binary ? "binary_little_endian 1.0\n" : "ascii 1.0\n";
    text += "comment random\nelement vertex " + std::to_string(m.vertices.size()) + "\n";
    for (const Property& p : m.vertexProperties)
        text += "property " + p.type + " " + p.name + "\n";
    text += "element face " + std::to_string(m.faces.size()) + "\nproperty list " + m.lengthType +
            " " + m.indexType + " " + m.listName + "\nend_header\n";
    char number[64];
    for (const std::vector<double>& v : m.vertices) {
        for (size_t k = 0; k < v.size(); ++k) {
            const std::string& type = m.vertexProperties[k].type;
            if (binary) {
                appendAs(text, type, v[k]);
                continue;
            }
            // Enough digits that the text gives the binary's float back.
            std::snprintf(number, sizeof number, type == "float" ? "%.9g " : "%.17g ", v[k]);
            text += number;
        }
        if (!binary)
            text += "\n";
    }
    for (const std::vector<uint32_t>& f : m.faces) {
        if (binary)
            appendAs(text, m.lengthType, static_cast<double>(f.size()));
        else
            text += std::to_string(f.size());
        for (const uint32_t index : f) {
            if (binary)
                appendAs(text, m.indexType, index);
            else
                text += " " + std::to_string(index);
        }
        if (!binary)
            text += "\n";
    }
    return text;
}

PlyMesh randomMesh(std::mt19937& random) {
    PlyMesh m;
    const char* extras[][2] = {
        {"float", "nx"}, {"uchar", "red"}, {"double", "quality"}, {"int", "id"}, {"ushort", "s"}};
    for (const char* axis : {"x", "y", "z"})
        m.vertexProperties.push_back({"float", axis});
    for (int e = random() % 4; e > 0; --e) {
        const auto* extra = extras[random() % 5];
        const size_t at = random() % (m.vertexProperties.size() + 1);
        m.vertexProperties.insert(m.vertexProperties.begin() + at, {extra[0], extra[1]});
    }
    std::uniform_real_distribution<float> coordinate(-50, 50);
    const uint32_t vertexCount = 1 + random() % 300;
    for (uint32_t i = 0; i < vertexCount; ++i) {
        std::vector<double> v;
        for (const Property& p : m.vertexProperties)
            v.push_back(p.type == "float" || p.type == "double"
                            ? coordinate(random) * std::ldexp(1.0f, random() % 41 - 20)
                            : random() % 200);
        m.vertices.push_back(v);
    }
    m.lengthType = std::vector<std::string>{"uchar", "int", "ushort"}[random() % 3];
    m.indexType = random() % 2 ? "int" : "uint";
    m.listName = random() % 2 ? "vertex_indices" : "vertex_index";
    for (uint32_t f = 1 + random() % 600; f > 0; --f) // corners may repeat
        m.faces.push_back({static_cast<uint32_t>(random() % vertexCount),
                           static_cast<uint32_t>(random() % vertexCount),
                           static_cast<uint32_t>(random() % vertexCount)});
    return m;
}

std::string pathOf(const std::string& name) {
    return (std::filesystem::temp_directory_path() /
            ("vantrel_plain_ply_" + std::to_string(getpid()) + "_" + name))
        .string();
}

std::string written(const std::string& name, const std::string& bytes) {
    const std::string path = pathOf(name);
    std::FILE* file = std::fopen(path.c_str(), "wb");
    EXPECT_NE(file, nullptr);
    if (file) {
        std::fwrite(bytes.data(), 1, bytes.size(), file);
        std::fclose(file);
    }
    return path;
}

bool takenAsPlain(const std::string& path) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    PlainPly ply;
    const bool plain = readPlainPly(file, std::filesystem::file_size(path), uint64_t{1} << 32, ply);
    std::fclose(file);
    return plain;
}

const Matrix4 asItIs = {{1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1}};
const Matrix4 placement = {
    {0.5f, 1.25f, -2, 7, -1.5f, 0.75f, 3, -9, 2.5f, -0.25f, 1.75f, 4, 10, -20, 30, 99}};

// Both files read the same, as arrays and as a list, or both are refused.
void expectSameReading(const std::string& binary, const std::string& text, const char* label) {
    SCOPED_TRACE(label);
    IndexedMesh a, b;
    std::string errorA, errorB;
    const bool readA = importIndexedMesh(binary.c_str(), placement, 0, a, errorA);
    const bool readB = importIndexedMesh(text.c_str(), placement, 0, b, errorB);
    ASSERT_EQ(readA, readB) << errorA << " / " << errorB;
    if (!readA)
        return;
    ASSERT_EQ(a.vertices.size(), b.vertices.size());
    EXPECT_EQ(std::memcmp(a.vertices.data(), b.vertices.data(), a.vertices.size() * sizeof(float)),
              0);
    EXPECT_EQ(a.indices, b.indices);
    ASSERT_EQ(a.faces.size(), b.faces.size());
    for (size_t f = 0; f < a.faces.size(); ++f) {
        EXPECT_EQ(a.faces[f].mesh, b.faces[f].mesh);
        EXPECT_EQ(a.faces[f].face, b.faces[f].face);
    }
    PrimitiveList* listA = importMesh(binary.c_str(), placement, errorA);
    PrimitiveList* listB = importMesh(text.c_str(), placement, errorB);
    ASSERT_NE(listA, nullptr) << errorA;
    ASSERT_NE(listB, nullptr) << errorB;
    ASSERT_EQ(listA->count, listB->count);
    for (uint32_t i = 0; i < listA->count; ++i) {
        const auto* ta = static_cast<const Triangle*>(listA->items[i].object);
        const auto* tb = static_cast<const Triangle*>(listB->items[i].object);
        EXPECT_EQ(std::memcmp(&ta->V0, &tb->V0, sizeof(Vector3) * 3), 0) << "triangle " << i;
    }
    releaseMesh(listA);
    releaseMesh(listB);
}

} // namespace

TEST(PlainPly, ReadsAsTheLibraryReadsTheSameNumbersInText) {
    std::mt19937 random(41);
    for (int round = 0; round < 12; ++round) {
        const PlyMesh mesh = randomMesh(random);
        const std::string binary = written("b.ply", plyOf(mesh, true));
        const std::string text = written("t.ply", plyOf(mesh, false));
        EXPECT_TRUE(takenAsPlain(binary));
        EXPECT_FALSE(takenAsPlain(text));
        expectSameReading(binary, text, "plain");

        // A step off the layout: the library reads the binary file.
        PlyMesh off = mesh;
        const char* label = "";
        switch (round % 4) {
        case 0:
            off.faces[random() % off.faces.size()].push_back(0);
            label = "a quad among the triangles";
            break;
        case 1:
            off.vertexProperties[0].type = "double";
            label = "a double among the corners";
            break;
        case 2:
            off.faces.back().pop_back();
            label = "a face of two corners";
            break;
        default:
            off.faces.back()[1] = static_cast<uint32_t>(off.vertices.size());
            label = "an index past the vertices";
            break;
        }
        const std::string offBinary = written("ob.ply", plyOf(off, true));
        const std::string offText = written("ot.ply", plyOf(off, false));
        const bool xDouble = round % 4 == 1 && off.vertexProperties[0].name == "x";
        EXPECT_EQ(takenAsPlain(offBinary), round % 4 == 1 && !xDouble) << label;
        expectSameReading(offBinary, offText, label);
        // Cut short or run long by a byte: never taken as plain.
        std::string bytes = plyOf(mesh, true);
        EXPECT_FALSE(takenAsPlain(written("short.ply", bytes.substr(0, bytes.size() - 1))));
        EXPECT_FALSE(takenAsPlain(written("long.ply", bytes + '\0')));
        for (const char* name : {"b.ply", "t.ply", "ob.ply", "ot.ply", "short.ply", "long.ply"})
            std::filesystem::remove(pathOf(name));
    }
}

// Arrays larger than the bound are the library's to weigh and refuse.
TEST(PlainPly, KeepsToItsBound) {
    std::mt19937 random(5);
    const PlyMesh mesh = randomMesh(random);
    const std::string path = written("bound.ply", plyOf(mesh, true));
    const uint64_t arrays = 12 * (mesh.vertices.size() + mesh.faces.size());
    for (const uint64_t bound : {arrays - 1, arrays}) {
        std::FILE* file = std::fopen(path.c_str(), "rb");
        PlainPly ply;
        EXPECT_EQ(readPlainPly(file, std::filesystem::file_size(path), bound, ply),
                  bound == arrays);
        EXPECT_EQ(ply.indices.size(), bound == arrays ? 3 * mesh.faces.size() : 0);
        std::fclose(file);
    }
    std::filesystem::remove(path);
}
