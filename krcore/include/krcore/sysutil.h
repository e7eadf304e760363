// The system-utilities family: command line, versions, processes,
// directories, encodings, process environment helpers and file deletion.
#pragma once

#include <krcore/foundation.h>
