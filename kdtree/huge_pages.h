// Transparent huge pages for the build's large arrays. Where the system hands
// them out only on request (its "madvise" mode), asking spares most of the
// page faults of the first touch.
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

} // namespace vantrel
