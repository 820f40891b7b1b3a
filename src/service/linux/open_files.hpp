// The descriptors the service may hold: its open-file limit, raised at start, and the share of it
// that connections may take.
#pragma once

#include <sys/resource.h>

#include <cstddef>

namespace zembra::service {

// Descriptors kept for everything but connections: the standard streams, the event loops, the
// signal pipe, the listener, and the Core starts, stops and pings on the blocking pool (the Core
// file, its pipes, its pidfd).
inline constexpr rlim_t DESCRIPTOR_RESERVE = 64;
// Connections admitted even under a limit that cannot afford the reserve; past the descriptors
// that are left, accepting fails and is retried as for any other accept failure.
inline constexpr std::size_t MIN_CONNECTIONS = 8;

// Raises the soft limit on open files to the hard limit (systemd starts a service at 1,024 of
// 524,288). Returns the soft limit in effect afterwards: a refused raise leaves it as it was.
rlim_t raise_open_file_limit();

// The limits on open files the helper had before it raised them (as they are, if it has not):
// what the programs it starts get, since many size their tables by the soft limit or use
// select().
rlimit initial_open_file_limit();

// The live connections the server may hold under the soft limit `open_files`: the server's own
// cap, lowered to leave the reserve free.
std::size_t connection_cap(rlim_t open_files);

}  // namespace zembra::service
