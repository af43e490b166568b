// The scalar type names of a PLY header, as the import library reads them.
#pragma once

#include <string>

namespace vantrel {

// The size of the type named: negative for a floating-point type, 0 for a
// name the library does not know; isSigned set where it is known.
int plyTypeBytes(const std::string& type, bool& isSigned);

} // namespace vantrel
