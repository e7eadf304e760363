// The whole public interface of qmcore in one include: every family's
// header. Programs that use a few families include those headers instead.
#pragma once

#include <krcore/cmdline.h>
#include <krcore/diagnostics.h>
#include <krcore/files.h>
#include <krcore/foundation.h>
#include <krcore/krlog.h>
#include <krcore/logging.h>
#include <krcore/processes.h>
#include <krcore/protection.h>
#include <krcore/registry.h>
#include <krcore/se_translator.h>
#include <krcore/service.h>
#include <krcore/security.h>
#include <krcore/signatures.h>
#include <krcore/sysutil.h>
#include <krcore/threading.h>
#include <krcore/timing.h>
#include <krcore/version_block.h>
#include <krcore/versions.h>
#include <krcore/wintypes.h>
