#include "system.hpp"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>

#include "geos_config.h"

#if HAVE_SECCOMP_FILTER
#include <sys/prctl.h>
#include <sys/syscall.h>

#include <cstddef>
#include <linux/filter.h>
#include <linux/seccomp.h>
#endif

namespace geos::e2e {

namespace {

// Without an atomic call, a child forked by another thread in between may
// inherit the descriptor; it keeps the other end from seeing the end of the
// stream only until that child exits.
bool close_on_exec(int fd) { return ::fcntl(fd, F_SETFD, FD_CLOEXEC) == 0; }

void close_both(std::array<int, 2>& ends) {
  for (int& fd : ends) {
    if (fd >= 0) {
      ::close(fd);
    }
    fd = -1;
  }
}

}  // namespace

bool open_pipe(std::array<int, 2>& ends) {
#if HAVE_PIPE2
  return ::pipe2(ends.data(), O_CLOEXEC) == 0;
#else
  if (::pipe(ends.data()) != 0) {
    return false;
  }
  if (!close_on_exec(ends[0]) || !close_on_exec(ends[1])) {
    close_both(ends);
    return false;
  }
  return true;
#endif
}

// posix_openpt rather than openpty: it is POSIX, in the C library, and
// declared in <stdlib.h> everywhere, where openpty has a header and a library
// of its own on each system. ptsname's buffer is shared, so two threads must
// not open terminals at once.
bool open_terminal(std::array<int, 2>& ends) {
  ends = {::posix_openpt(O_RDWR | O_NOCTTY), -1};
  if (ends[0] < 0 || !close_on_exec(ends[0]) || ::grantpt(ends[0]) != 0 ||
      ::unlockpt(ends[0]) != 0) {
    close_both(ends);
    return false;
  }
  const char* const name = ::ptsname(ends[0]);
  ends[1] = name != nullptr ? ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC) : -1;
  termios raw{};
  if (ends[1] < 0 || ::tcgetattr(ends[1], &raw) != 0) {
    close_both(ends);
    return false;
  }
  ::cfmakeraw(&raw);
  if (::tcsetattr(ends[1], TCSANOW, &raw) != 0) {
    close_both(ends);
    return false;
  }
  return true;
}

bool set_pipe_capacity(int fd, int bytes) {
#if HAVE_F_SETPIPE_SZ
  return ::fcntl(fd, F_SETPIPE_SZ, bytes) >= 0;
#else
  static_cast<void>(fd);
  static_cast<void>(bytes);
  return false;
#endif
}

bool have_leases() { return HAVE_F_SETLEASE != 0; }

bool set_write_lease(int fd, bool held) {
#if HAVE_F_SETLEASE
  return ::fcntl(fd, F_SETLEASE, held ? F_WRLCK : F_UNLCK) == 0;
#else
  static_cast<void>(fd);
  static_cast<void>(held);
  return false;
#endif
}

bool refuse_statx(int error) {
#if HAVE_SECCOMP_FILTER
  // The binary under test has the harness's architecture, so the filter
  // need not tell system call tables apart.
  std::array<sock_filter, 4> code{{
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_statx, 0, 1),
      BPF_STMT(BPF_RET | BPF_K,
               SECCOMP_RET_ERRNO | (static_cast<unsigned>(error) & SECCOMP_RET_DATA)),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  }};
  const sock_fprog program{static_cast<unsigned short>(code.size()), code.data()};
  return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
         ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
#else
  static_cast<void>(error);
  return false;
#endif
}

}  // namespace geos::e2e
