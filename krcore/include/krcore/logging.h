// The logging family: the process-wide logger, its streams, log files,
// configuration and the event-log writer.
#pragma once

#include <krcore/foundation.h>
