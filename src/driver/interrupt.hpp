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

enum class wait_result {
  ready,        // `fd` has something to read, or its writer came and went
  stopped,      // a stop signal came, before the call or during the wait
  unsupported,  // the system cannot wait so; nothing was waited for
};

// Waits until `fd`, opened without waiting (O_NONBLOCK), can be read; for a
// FIFO, until a writer has opened it. A stop signal that came at any moment
// before the call, or comes during it, ends the wait: the signal mask and
// the wait are taken in one step.
[[nodiscard]] wait_result wait_for_input(int fd);

// How long, from now, the report may still take once a stop signal has come
// (the whole run is to be gone within a second of it): milliseconds, 0 once
// that time is up, or -1 where no stop signal has come.
[[nodiscard]] int stop_milliseconds_left() noexcept;

// Ends the process by `signal` as though it had never been caught, so that
// the parent sees the usual status of a process killed by it (with a core
// dump where the signal makes one and the limits allow).
[[noreturn]] void die_of(int signal);

}  // namespace geos
