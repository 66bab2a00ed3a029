// Stopping a run cleanly on a signal that ends a process: SIGINT, SIGTERM,
// SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM, SIGVTALRM, SIGPROF and SIGXCPU.
#pragma once

namespace geos {

// Catches those signals, except where one is ignored on entry
// (as under nohup). The handler only records the signal; blocking calls it
// interrupts fail with EINTR instead of being restarted, so that every loop
// that waits can notice it.
void catch_stop_signals();

// The stop signal caught so far, or 0.
[[nodiscard]] int stop_signal() noexcept;

// How long, from now, the report may still take once a stop signal has come
// (the whole run is to be gone within a second of it): milliseconds, 0 once
// that time is up, or -1 where no stop signal has come.
[[nodiscard]] int stop_milliseconds_left() noexcept;

// Ends the process by `signal` as though it had never been caught, so that
// the parent sees the usual status of a process killed by it (with a core
// dump where the signal makes one and the limits allow).
[[noreturn]] void die_of(int signal);

}  // namespace geos
