// How the build's large arrays get their pages. Transparent huge pages, where
// the system hands them out only on request (its "madvise" mode), spare most
// of the page faults of the first touch; where there are none, asking for a
// stretch of pages at once spares the fault of each.
#pragma once

#include <cstddef>

namespace vantrel {

constexpr std::size_t hugePageBytes = std::size_t{2} << 20;

// On unless turned off; the benchmark turns it off to measure both ways.
void setHugePageAdvice(bool on);
bool hugePageAdvice();

// Asks for huge pages on the whole huge pages inside [start, start + bytes),
// when the advice is on. Only a hint: nothing changes where it is refused.
void adviseHugePages(void* start, std::size_t bytes);

// Puts the pages of [start, start + bytes) in place now, as writing them
// would, but in one call. Only a hint: nothing changes where it is refused.
void prefaultPages(void* start, std::size_t bytes);

} // namespace vantrel
