#include "driver/interrupt.hpp"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <ctime>

#include "driver/platform.hpp"

namespace geos {

namespace {

// From the signal, the run is to be gone within a second; the report gets
// most of it, the rest is for cleaning up and ending.
constexpr long REPORT_DEADLINE_MS = 800;
constexpr long NS_PER_MS = 1'000'000;
constexpr long MS_PER_S = 1000;

// A signal handler can reach nothing but static storage. `caught_at` is
// written before `caught`, and read only after it.
// NOLINTBEGIN(cppcoreguidelines-avoid-non-const-global-variables)
volatile std::sig_atomic_t caught = 0;
timespec caught_at{};
// NOLINTEND(cppcoreguidelines-avoid-non-const-global-variables)

// The other stop signals are blocked while this runs, so only the first
// one is recorded.
extern "C" void record(int signal) {
  if (caught == 0) {
    static_cast<void>(::clock_gettime(CLOCK_MONOTONIC, &caught_at));
    std::atomic_signal_fence(std::memory_order_release);
    caught = signal;
  }
}

constexpr std::array STOP_SIGNALS{SIGINT,  SIGTERM, SIGHUP,    SIGQUIT, SIGUSR1,
                                  SIGUSR2, SIGALRM, SIGVTALRM, SIGPROF, SIGXCPU};

}  // namespace

void catch_stop_signals() {
  // Every signal that a user, a terminal or a resource limit sends to end
  // a process; SIGXFSZ is ignored instead, so that a file-size limit shows
  // as a failed write.
  sigset_t all{};
  sigemptyset(&all);
  for (const int signal : STOP_SIGNALS) {
    sigaddset(&all, signal);
  }
  for (const int signal : STOP_SIGNALS) {
    struct sigaction action {};
    if (::sigaction(signal, nullptr, &action) != 0 || action.sa_handler == SIG_IGN) {
      continue;
    }
    action.sa_handler = record;
    action.sa_flags = 0;
    action.sa_mask = all;
    static_cast<void>(::sigaction(signal, &action, nullptr));
  }
}

int stop_signal() noexcept { return caught; }

wait_result wait_for_input(int fd) {
  if (!platform::waits_for_a_writer()) {
    return wait_result::unsupported;
  }
  // Held back until the wait takes the old mask, so that a stop that comes
  // after the look below cannot be lost before the wait.
  sigset_t stops{};
  sigset_t before{};
  sigemptyset(&stops);
  for (const int signal : STOP_SIGNALS) {
    sigaddset(&stops, signal);
  }
  static_cast<void>(::sigprocmask(SIG_BLOCK, &stops, &before));
  int ready = 0;
  while (caught == 0 && ready <= 0) {
    ready = platform::wait_readable(fd, before);
    if (ready < 0 && errno != EINTR) {
      // Nothing to wait for: the read that follows tells what is wrong.
      break;
    }
  }
  static_cast<void>(::sigprocmask(SIG_SETMASK, &before, nullptr));
  return caught != 0 ? wait_result::stopped : wait_result::ready;
}

int stop_milliseconds_left() noexcept {
  if (caught == 0) {
    return -1;
  }
  std::atomic_signal_fence(std::memory_order_acquire);
  timespec now{};
  static_cast<void>(::clock_gettime(CLOCK_MONOTONIC, &now));
  const long elapsed =
      (now.tv_sec - caught_at.tv_sec) * MS_PER_S + (now.tv_nsec - caught_at.tv_nsec) / NS_PER_MS;
  return static_cast<int>(std::clamp(REPORT_DEADLINE_MS - elapsed, 0L, REPORT_DEADLINE_MS));
}

void die_of(int signal) {
  static_cast<void>(std::signal(signal, SIG_DFL));
  sigset_t only{};
  sigemptyset(&only);
  sigaddset(&only, signal);
  static_cast<void>(::sigprocmask(SIG_UNBLOCK, &only, nullptr));
  static_cast<void>(::raise(signal));
  ::_exit(128 + signal);
}

}  // namespace geos
