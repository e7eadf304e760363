// The foundation family: the base exceptions and error texts, text
// conversions, locks and waitable objects, thread message queues, singletons
// and resource holders. Each part has its own header; this one includes
// them all, for code that uses the family as a whole.
//
// Everything else in the library is built on these. The error texts and
// conversions never depend on other families; the waitable objects report
// their failures through the logger.
#pragma once

#include <krcore/exceptions.h>
#include <krcore/holders.h>
#include <krcore/singleton.h>
#include <krcore/sync.h>
#include <krcore/text_conversion.h>
#include <krcore/thread_messages.h>

// What this header brought in before it was divided, for code that relies on
// it through this header.
#include <krcore/export.h>
#include <krcore/se_translator.h>
#include <krcore/wintypes.h>

#include <atomic>
#include <cstdio>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <vector>
