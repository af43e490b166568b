#include <vantrel/vantrel.h>

static_assert(VANTREL_VERSION_MAJOR == PACKAGE_MAJOR, "the headers are the package's");

// Builds a tree over one sphere and traces a ray into it.
extern "C" int traceOneSphere() {
    using namespace vantrel;
    Sphere sphere{{0, 0, 5}, 1, {}};
    PrimitiveRef ref{&sphere, PrimitiveType::Sphere};
    const PrimitiveList list{&ref, 1};
    KdTree* tree = nullptr;
    if (buildKdTree(&tree, &list, 0, BuildOptions{}) != BuildResult::Built)
        return 0;
    PrimitiveRef nested{tree, PrimitiveType::NestedTree};
    const PrimitiveList top{&nested, 1};
    const int hit = intersectList(top, Ray{{0, 0, 0}, {0, 0, 1}});
    const bool right = hit != 0 && hitRecord.distance == 4.0f;
    releaseKdTree(tree);
    return right ? 1 : 0;
}
