// The process's peak resident memory so far.
#pragma once

#include <cstdint>

namespace vantrel {

// Reads the "VmHWM:" line of a /proc status text, in KiB. False when absent.
bool parsePeakResidentKib(const char* statusText, uint64_t& kib);

// Peak resident set in MiB, from the kernel's high-water mark where there is
// one, else from getrusage.
double peakResidentMib();

} // namespace vantrel
