#include "driver/interrupt.hpp"

#include <unistd.h>

#include <array>
#include <csignal>

namespace geos {

namespace {

// A signal handler can reach nothing but static storage.
// NOLINTNEXTLINE(cppcoreguidelines-avoid-non-const-global-variables)
volatile std::sig_atomic_t caught = 0;

extern "C" void record(int signal) { caught = signal; }

}  // namespace

void catch_stop_signals() {
  // Every signal that a user, a terminal or a resource limit sends to end
  // a process; SIGXFSZ is ignored instead, so that a file-size limit shows
  // as a failed write.
  for (const int signal : std::array{SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM,
                                     SIGVTALRM, SIGPROF, SIGXCPU}) {
    struct sigaction action {};
    if (::sigaction(signal, nullptr, &action) != 0 || action.sa_handler == SIG_IGN) {
      continue;
    }
    action.sa_handler = record;
    action.sa_flags = 0;
    sigemptyset(&action.sa_mask);
    static_cast<void>(::sigaction(signal, &action, nullptr));
  }
}

int stop_signal() noexcept { return caught; }

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
