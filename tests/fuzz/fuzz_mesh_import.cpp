// Arbitrary bytes as a mesh file of one of the formats the tools read, with
// a file beside it that it may name (a glTF buffer, an OBJ material), in a
// folder that also holds a FIFO and a directory, and with a file outside it.
// The import must end, refuse with one line or lay the list out as
// documented, and stay within its memory bound: what a few kilobytes ask
// of the library is weighed before the library allocates it.
//
// Input: byte 0 picks the format; the model's bytes follow, up to the line
// "--beside--", after which come the bytes of the file beside it.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "allocation_budget.h"
#include "fuzz_check.h"
#include "vantrel/scene/mesh_import.h"
#include "vantrel/scene/triangle_loader.h"

namespace {

// What one import may take, and where the allocator stops it regardless.
constexpr size_t importBound = 64u << 20;
constexpr size_t allocatorStop = 4 * importBound;

const char* const formats[] = {"obj", "ply", "stl", "off", "gltf", "glb"};
// The names a model may give the file beside it.
const char* const besideNames[] = {"m.mtl", "b.bin", "b.bin", "m.mtl", "b.bin", "b.bin"};

std::string scratch;
std::string folder;

void removeFolder() {
    for (const char* name : {"model.obj", "model.ply", "model.stl", "model.off", "model.gltf",
                             "model.glb", "m.mtl", "b.bin", "f.fifo"})
        std::remove((folder + "/" + name).c_str());
    ::rmdir((folder + "/d").c_str());
    ::rmdir(folder.c_str());
    std::remove((scratch + "/x.outside").c_str());
    ::rmdir(scratch.c_str());
}

// A folder per process: a FIFO and a directory the model may name, and a
// file outside it ("../x.outside") that it must not reach.
const std::string& scratchFolder() {
    if (folder.empty()) {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/vantrel-import-XXXXXX";
        FUZZ_CHECK(::mkdtemp(pattern.data()) != nullptr);
        scratch = pattern;
        folder = scratch + "/model";
        FUZZ_CHECK(::mkdir(folder.c_str(), 0700) == 0);
        FUZZ_CHECK(::mkfifo((folder + "/f.fifo").c_str(), 0600) == 0);
        FUZZ_CHECK(::mkdir((folder + "/d").c_str(), 0700) == 0);
        std::FILE* outside = std::fopen((scratch + "/x.outside").c_str(), "wb");
        FUZZ_CHECK(outside != nullptr);
        std::fputs("0 0 0 1 0 0 0 1 0\n", outside);
        std::fclose(outside);
        std::atexit(removeFolder);
    }
    return folder;
}

void writeFile(const std::string& path, const uint8_t* data, size_t size) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    FUZZ_CHECK(file != nullptr);
    FUZZ_CHECK(size == 0 || std::fwrite(data, 1, size, file) == size);
    FUZZ_CHECK(std::fclose(file) == 0);
}

vantrel::Matrix4 identity() {
    vantrel::Matrix4 m{};
    m.m[0] = m.m[5] = m.m[10] = m.m[15] = 1.0f;
    return m;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    const size_t format = data[0] % 6;
    const std::string& dir = scratchFolder();
    static const char marker[] = "\n--beside--\n";
    const uint8_t* body = data + 1;
    const size_t bodySize = size - 1;
    const void* cut = memmem(body, bodySize, marker, sizeof marker - 1);
    const size_t modelSize = cut ? static_cast<const uint8_t*>(cut) - body : bodySize;
    const std::string model = dir + "/model." + formats[format];
    writeFile(model, body, modelSize);
    const std::string beside = dir + "/" + besideNames[format];
    std::remove(beside.c_str());
    if (cut)
        writeFile(beside, body + modelSize + sizeof marker - 1,
                  bodySize - modelSize - (sizeof marker - 1));

    std::string error;
    vantrel::PrimitiveList* mesh = nullptr;
    allocation_budget::peakBytes = allocation_budget::liveBytes;
    const size_t before = allocation_budget::liveBytes;
    try {
        const allocation_budget::Scope scope(allocatorStop);
        mesh = vantrel::importMeshBounded(model.c_str(), identity(), importBound, error);
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "the import passed four times its memory bound\n");
        std::abort();
    }
    // The bound holds for the library's allocations as for the import's own.
    FUZZ_CHECK(allocation_budget::peakBytes - before <= importBound);
    if (!mesh) {
        FUZZ_CHECK(!error.empty());
        FUZZ_CHECK(error.find('\n') == std::string::npos);
        return 0;
    }
    FUZZ_CHECK(error.empty());
    FUZZ_CHECK(mesh->items != nullptr);
    const auto* triangles = static_cast<const vantrel::Triangle*>(mesh->items[mesh->count].object);
    FUZZ_CHECK(static_cast<int32_t>(mesh->items[mesh->count].type) == 0);
    for (uint32_t i = 0; i < mesh->count; ++i) {
        FUZZ_CHECK(mesh->items[i].type == vantrel::PrimitiveType::Triangle);
        FUZZ_CHECK(mesh->items[i].object == triangles + i);
        FUZZ_CHECK(triangles[i].material.red == 1.0f && triangles[i].material.blue == 1.0f);
    }
    vantrel::releaseMesh(mesh);
    return 0;
}
