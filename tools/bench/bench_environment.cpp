#include "tools/bench/bench_environment.h"

#include <cstdlib>
#include <cstring>

namespace vantrel {

BuildOptions benchBuildOptions() {
    BuildOptions options;
    const char* hugePages = std::getenv("VANTREL_BENCH_HUGE_PAGES");
    options.hugePages = hugePages == nullptr || std::strcmp(hugePages, "0") != 0;
    return options;
}

} // namespace vantrel
