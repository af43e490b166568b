// Every fast step of the build has a literal twin that does what the step is
// meant to do as plainly as it can be written, far too slowly for real
// scenes. The literal steps are kept as the reference the fast ones are held
// to: the same node tree and the same compiled tree, bit for bit.
#pragma once

namespace vantrel {

enum class BuildSteps { Fast, Literal };

} // namespace vantrel
