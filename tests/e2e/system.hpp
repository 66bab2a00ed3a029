// The few calls of the end-to-end tests that systems spell differently,
// each with a POSIX fallback. Only system.cpp looks at what the system has
// (geos_config.h).
#pragma once

#include <array>

namespace geos::e2e {

// A pipe, `ends[0]` to read and `ends[1]` to write, both closed on exec.
// False where it cannot be made.
bool open_pipe(std::array<int, 2>& ends);

// A pseudo-terminal in raw mode: `ends[0]` the controlling side, `ends[1]`
// the terminal, both closed on exec. False where it cannot be made.
bool open_terminal(std::array<int, 2>& ends);

// Gives the pipe whose end is `fd` a capacity of about `bytes`, where the
// system lets a pipe's capacity be set (F_SETPIPE_SZ); false elsewhere.
bool set_pipe_capacity(int fd, int bytes);

// Whether this system has file leases (F_SETLEASE).
bool have_leases();

// Takes a write lease on `fd`, a file open for reading only (`held`), or
// gives it up. False where refused or where the system has no leases.
bool set_write_lease(int fd, bool held);

// Makes every later statx call of this process and of what it executes
// fail with `error`, as a seccomp filter of a container runtime or a kernel
// without the call does. False where refused or where the system has no
// seccomp filters. Allocates nothing, so a forked child may call it.
bool refuse_statx(int error);

}  // namespace geos::e2e
