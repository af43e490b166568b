#include "tools/bench/bench_environment.h"

#include <cstdlib>
#include <cstring>

#include "vantrel/kdtree/memory/page_advice.h"

namespace vantrel {

void applyBenchEnvironment() {
    const char* hugePages = std::getenv("VANTREL_BENCH_HUGE_PAGES");
    if (hugePages != nullptr && std::strcmp(hugePages, "0") == 0)
        setHugePageAdvice(false);
}

} // namespace vantrel
