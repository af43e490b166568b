// The memory kd-tree builds may take: the budget every build of the kernel
// draws on (scene/build_budget.h), the kd-tree's and the queries'
// hierarchy's alike.
#pragma once

#include "vantrel/scene/build_budget.h"
