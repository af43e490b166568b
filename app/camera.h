// Moved to vantrel/tracer/camera.h, with the rest of the kernel; kept so that
// programs written against version 2.0 still build.
#pragma once

#include "vantrel/tracer/camera.h"
