// The threads-and-scheduling family: the worker-thread base, the clock-change
// monitor, the fixed and dynamic thread pools, the command scheduler, the
// process services, and submit and run_every over them. Each part has its
// own header; this one includes them all, for code that uses the family as
// a whole.
#pragma once

#include <krcore/monitor_window.h>
#include <krcore/process_services.h>
#include <krcore/scheduler.h>
#include <krcore/tasks.h>
#include <krcore/thread.h>
#include <krcore/thread_pool.h>

// What this header brought in before it was divided, for code that relies on
// it through this header.
#include <krcore/foundation.h>
#include <krcore/timing.h>

#include <atomic>
#include <deque>
#include <exception>
#include <list>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>
