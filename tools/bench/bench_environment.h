// Switches for whoever measures the benchmark, read from its environment:
// VANTREL_BENCH_HUGE_PAGES=0 builds without asking for transparent huge
// pages, so that both page sizes can be measured on one machine.
#pragma once

#include "vantrel/kdtree/build.h"

namespace vantrel {

BuildOptions benchBuildOptions();

} // namespace vantrel
