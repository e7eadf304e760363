// The logging family: the process-wide logger, its streams and the
// event-log writer. Each part has its own header; this one includes them
// all, for code that uses the family as a whole.
#pragma once

#include <krcore/event_log.h>
#include <krcore/log_stream.h>
#include <krcore/logger.h>

// What this header brought in before it was divided, for code that relies on
// it through this header.
#include <krcore/foundation.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <ostream>
#include <sstream>
#include <streambuf>
#include <string>
#include <vector>
