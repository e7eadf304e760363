// Internal (Linux): journald's native protocol, as the sink speaks it.
//
// A datagram is a list of fields. A field whose value holds no line feed is
// "NAME=value\n"; any other is "NAME\n", the value's length as a 64-bit
// little-endian number, the value and "\n", so any bytes pass. An entry too
// large for one datagram is written to a sealed memory file whose
// descriptor is sent instead, in an empty datagram (SCM_RIGHTS).
#pragma once

#include <string>
#include <string_view>

#include "foundation/internal.h"

namespace krCore::detail {

// The journal's socket: $KRCORE_JOURNAL_SOCKET when set and not empty, else
// /run/systemd/journal/socket.
KRCORE_INTERNAL std::string journal_socket_path();

// The syslog priority of a logger level: error 3, warning 4, normal 6,
// verbose 7, by the highest of the bits 8, 4, 2, 1 (6 when none is set).
KRCORE_INTERNAL int journal_priority(unsigned level);

// Appends one field in the form its value needs.
KRCORE_INTERNAL void journal_field(std::string& out, std::string_view name, std::string_view value);

// Sends `datagram` through `fd` (a non-blocking AF_UNIX datagram socket
// connected to the journal's) without waiting; one too large for a
// datagram goes as a sealed memory file. 0, or the Win32 code: 1722 when
// nobody reads the socket any more, 1460 when its queue is full.
KRCORE_INTERNAL unsigned long journal_send(int fd, std::string_view datagram);

}  // namespace krCore::detail
