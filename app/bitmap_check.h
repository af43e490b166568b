// The start-up bitmap's header against its file, looked at before SDL reads
// it: SDL allocates for the pixels the header declares, and a header of a
// few bytes can declare gigabytes.
#pragma once

#include <string>

namespace vantrel {

// False, with the reason (the system's, or what the header declares against
// what the file holds), when the file at path cannot be opened or cannot
// hold the pixels its header declares. A file that is not an uncompressed
// BMP is left to SDL to judge.
bool bitmapFitsItsFile(const char* path, std::string& error);

} // namespace vantrel
