// Builds the demo's 250,000 spheres with each split method and prints the
// build time and the shape of the tree. Usage: build_stats [method...]
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "kdtree/build.h"
#include "kdtree/kd_tree.h"
#include "scene/records.h"

using namespace vantrel;

namespace {

constexpr uint32_t sphereCount = 250000;

// The demo scene's generator and distributions, so the figures are those of
// the scene the program shows.
struct DemoRandom {
    uint32_t state = 1;
    float unit() {
        state = state * 1103515245u + 12345u;
        const int32_t value = static_cast<int32_t>((state / 65536u) % 32768u);
        return static_cast<float>(value) / 32767.0f;
    }
};

void fillSpheres(std::vector<Sphere>& spheres, std::vector<PrimitiveRef>& refs) {
    DemoRandom random;
    spheres.resize(sphereCount);
    refs.resize(sphereCount);
    for (uint32_t i = 0; i < sphereCount; ++i) {
        float r[10];
        for (float& value : r)
            value = random.unit();
        const float ax = r[0] * 20 - 10;
        const float ay = r[1] * 20 - 10;
        const float az = r[2] * 20 - 10;
        Sphere& s = spheres[i];
        s.centre.x = static_cast<float>(ax + (r[3] * 20 - 10) * 0.1);
        s.centre.y = static_cast<float>(ay + (r[4] * 20 - 10) * 0.1);
        s.centre.z = static_cast<float>(az + (r[5] * 20 - 10) * 0.1);
        s.radius = (r[6] + 0.25f) * 0.5f;
        s.material = {r[7], r[8], r[9], 0.0f};
        refs[i] = {&s, PrimitiveType::Sphere};
    }
}

struct Shape {
    uint64_t nodes = 0;
    uint64_t leaves = 0;
    uint64_t emptyLeaves = 0;
    uint64_t references = 0;
    uint32_t depth = 0;
};

void walk(const KdTree& tree, uint32_t index, uint32_t depth, Shape& shape) {
    const uint32_t code = tree.nodes[index].code;
    ++shape.nodes;
    if (depth > shape.depth)
        shape.depth = depth;
    if (code & kdLeafBit) {
        ++shape.leaves;
        shape.emptyLeaves += (code & kdEmptyBit) ? 1 : 0;
        shape.references += tree.leaves[code >> kdIndexShift].count;
        return;
    }
    walk(tree, code >> kdIndexShift, depth + 1, shape);
    walk(tree, (code >> kdIndexShift) + 1, depth + 1, shape);
}

} // namespace

int main(int argc, char** argv) {
    std::vector<int32_t> methods;
    for (int i = 1; i < argc; ++i)
        methods.push_back(std::atoi(argv[i]));
    if (methods.empty())
        methods = {0, 1, 2};

    std::vector<Sphere> spheres;
    std::vector<PrimitiveRef> refs;
    fillSpheres(spheres, refs);
    const PrimitiveList list{refs.data(), sphereCount};

    std::printf("%u spheres\n", sphereCount);
    std::printf("method  build s     nodes    leaves     empty  references  refs/leaf  depth\n");
    for (const int32_t method : methods) {
        KdTree* tree = nullptr;
        const auto start = std::chrono::steady_clock::now();
        buildKdTree(&tree, &list, method);
        const std::chrono::duration<double> seconds = std::chrono::steady_clock::now() - start;
        if (!tree) {
            std::printf("%6d  no such method\n", method);
            continue;
        }
        Shape shape;
        walk(*tree, 0, 0, shape);
        std::printf("%6d  %7.2f  %8llu  %8llu  %8llu  %10llu  %9.2f  %5u\n", method,
                    seconds.count(), static_cast<unsigned long long>(shape.nodes),
                    static_cast<unsigned long long>(shape.leaves),
                    static_cast<unsigned long long>(shape.emptyLeaves),
                    static_cast<unsigned long long>(shape.references),
                    static_cast<double>(shape.references) / static_cast<double>(shape.leaves),
                    shape.depth);
        std::fflush(stdout);
        releaseKdTree(tree);
    }
    return 0;
}
