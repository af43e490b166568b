// Files that change between the counting and the filling pass. The loader
// rewinds between its passes, so this program puts its own rewind in front
// of the C library's to change the file at exactly that moment.
#include "tests/test_support.h"
#include "vantrel/scene/triangle_loader.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <dlfcn.h>
#include <functional>
#include <memory>
#include <string>
#include <unistd.h>

using namespace vantrel;
using namespace vantrel::testing_support;

namespace {

std::function<void()> beforeRewind;

} // namespace

extern "C" void rewind(std::FILE* stream) {
    using Rewind = void (*)(std::FILE*);
    static const Rewind next = reinterpret_cast<Rewind>(::dlsym(RTLD_NEXT, "rewind"));
    if (beforeRewind)
        beforeRewind();
    next(stream);
}

namespace {

const char* const twoTriangles = "0 0 0 1 0 0 0 1 0\n0 0 1 1 0 1 0 1 1\n";

class ChangingFile : public testing::Test {
  protected:
    void SetUp() override { write(twoTriangles); }
    void TearDown() override {
        beforeRewind = nullptr;
        std::remove(path.c_str());
    }

    void write(const char* text, const char* mode = "w") {
        std::FILE* file = std::fopen(path.c_str(), mode);
        ASSERT_NE(file, nullptr) << path;
        std::fputs(text, file);
        std::fclose(file);
    }

    Mesh loadChangingTo(const char* text, const char* mode) {
        beforeRewind = [this, text, mode] { write(text, mode); };
        Mesh mesh(
            loadTriangleFile(path.c_str(), Matrix4{{1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0}}, &why));
        beforeRewind = nullptr;
        EXPECT_EQ(why.error, mesh ? MeshLoadError::None : MeshLoadError::Changed);
        return mesh;
    }

    MeshLoadFailure why;

    const std::string path =
        testing::TempDir() + "vantrel_reread_" + std::to_string(::getpid()) + ".tri";
};

TEST_F(ChangingFile, LoadsWhenTheFileStaysTheSame) {
    const Mesh mesh = loadChangingTo("", "a");
    ASSERT_NE(mesh, nullptr);
    EXPECT_EQ(mesh->count, 2u);
}

// More groups than were counted must not be written past the arrays.
TEST_F(ChangingFile, RejectsAFileThatGrew) {
    EXPECT_EQ(loadChangingTo("1 1 1 2 2 2 3 3 3\n", "a"), nullptr);
}

TEST_F(ChangingFile, RejectsAFileThatShrankOrChanged) {
    for (const char* text : {"0 0 0 1 0 0 0 1 0\n", "", "0 0 0 1 0 0 0 1 0\nchanged\n"}) {
        SCOPED_TRACE(text);
        write(twoTriangles);
        EXPECT_EQ(loadChangingTo(text, "w"), nullptr);
    }
}

} // namespace
