// The time family: the tick-count provider, the stopwatches and the
// countdown timer.
#pragma once

#include <krcore/foundation.h>
