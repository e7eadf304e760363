// The threads-and-scheduling family: the worker-thread base, the fixed and
// dynamic thread pools, the command scheduler and the process services.
#pragma once

#include <krcore/foundation.h>
