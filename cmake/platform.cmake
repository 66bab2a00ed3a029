# What this system offers beyond POSIX, found at configure time and written
# into one generated header, geos_config.h. Only src/driver/platform.cpp
# and, for the tests, tests/e2e/system.cpp read it; everything else sees the
# same functions on every system.
#
# GEOS_UNWRAP_PORTABLE turns every extension off, so that the POSIX paths
# this program takes on other systems are built and tested here.
include(CheckCXXSourceCompiles)
include(CheckSymbolExists)
include(CheckStructHasMember)

option(GEOS_UNWRAP_PORTABLE "Use only POSIX interfaces, as on systems without Linux's extensions" OFF)

set(CMAKE_REQUIRED_DEFINITIONS -D_GNU_SOURCE -D_DARWIN_C_SOURCE)

# geos_probe(VARIABLE KIND ...): KIND is SYMBOL (name and header), MEMBER
# (struct, member and header) or SOURCE (a program that must compile).
function(geos_probe variable kind)
  if(kind STREQUAL "SYMBOL")
    check_symbol_exists(${ARGV2} ${ARGV3} ${variable})
  elseif(kind STREQUAL "MEMBER")
    check_struct_has_member(${ARGV2} ${ARGV3} ${ARGV4} ${variable} LANGUAGE CXX)
  else()
    check_cxx_source_compiles("${ARGV2}" ${variable})
  endif()
  if(NOT ${variable})
    set(${variable} 0 CACHE INTERNAL "")
  endif()
endfunction()

# geos_check(VARIABLE KIND ...): the probe of an extension, which the
# portable build goes without.
function(geos_check variable kind)
  if(GEOS_UNWRAP_PORTABLE)
    set(${variable} 0 CACHE INTERNAL "")
  elseif(kind STREQUAL "SOURCE")
    # Passed whole: a program is full of ';'.
    geos_probe(${variable} SOURCE "${ARGV2}")
  else()
    geos_probe(${ARGV})
  endif()
endfunction()

geos_check(HAVE_O_TMPFILE SYMBOL O_TMPFILE fcntl.h)
geos_check(HAVE_O_PATH SYMBOL O_PATH fcntl.h)
geos_check(HAVE_LINKAT_EMPTY_PATH SYMBOL AT_EMPTY_PATH fcntl.h)
# POSIX's own way to open a directory that may be searched but not read,
# which the portable build takes too where the system has it (glibc does not).
geos_probe(HAVE_O_SEARCH SYMBOL O_SEARCH fcntl.h)
geos_check(HAVE_COPY_FILE_RANGE SYMBOL copy_file_range unistd.h)
geos_check(HAVE_F_FULLFSYNC SYMBOL F_FULLFSYNC fcntl.h)
geos_check(HAVE_SYNC_FILE_RANGE SYMBOL sync_file_range fcntl.h)
geos_check(HAVE_SEEK_DATA SYMBOL SEEK_DATA unistd.h)
geos_check(HAVE_ST_FLAGS MEMBER "struct stat" st_flags sys/stat.h)
# macOS: extended ACLs, read and removed through sys/acl.h and copied with
# the file's other metadata by fcopyfile.
geos_check(HAVE_ACL_EXTENDED SOURCE "
#include <copyfile.h>
#include <sys/acl.h>
int main(int, char** argv) {
  acl_t acl = acl_get_fd_np(0, ACL_TYPE_EXTENDED);
  return acl_set_fd_np(1, acl, ACL_TYPE_EXTENDED) +
         fcopyfile(0, 1, nullptr, COPYFILE_ACL | COPYFILE_XATTR) + acl_free(acl) +
         static_cast<int>(acl_init(0) != nullptr) + static_cast<int>(argv[0][0]);
}")
geos_check(HAVE_STATX_ATTRIBUTES SOURCE "
#include <fcntl.h>
#include <sys/stat.h>
int main() {
  struct statx s;
  return statx(AT_FDCWD, \".\", AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS, &s) +
         static_cast<int>(s.stx_attributes & (STATX_ATTR_IMMUTABLE | STATX_ATTR_APPEND |
                                              STATX_ATTR_MOUNT_ROOT));
}")
# C libraries without a statx wrapper (musl before 1.2.5) still reach the
# call itself.
geos_check(HAVE_STATX_SYSCALL SOURCE "
#include <fcntl.h>
#include <linux/stat.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
int main() {
  struct statx s;
  return static_cast<int>(syscall(SYS_statx, AT_FDCWD, \".\", AT_SYMLINK_NOFOLLOW,
                                  STATX_BASIC_STATS, &s)) +
         static_cast<int>(s.stx_attributes & STATX_ATTR_MOUNT_ROOT);
}")
# Linux's poll reports a FIFO opened without a writer as empty, not ended,
# until a writer comes, so that ppoll can wait for the writer and a stop
# signal together. Other systems' FIFOs may report their end at once.
geos_check(HAVE_PPOLL_FIFO SOURCE "
#include <poll.h>
#include <signal.h>
#ifndef __linux__
#error a FIFO without a writer may poll as ended
#endif
int main() {
  sigset_t none;
  sigemptyset(&none);
  return ppoll(nullptr, 0, nullptr, &none);
}")
# Linux tells the immutable and append-only attributes by this ioctl too,
# where statx is refused or missing. It is the only way Linux has without
# statx, not a faster one, so the portable build keeps it, as it keeps
# O_SEARCH: without it, such outputs would be refused only after their
# stripping line.
geos_probe(HAVE_FS_IOC_GETFLAGS SOURCE "
#include <linux/fs.h>
#include <sys/ioctl.h>
int main() {
  int flags = 0;
  return ioctl(0, FS_IOC_GETFLAGS, &flags) +
         static_cast<int>((flags & (FS_APPEND_FL | FS_IMMUTABLE_FL)) != 0);
}")
geos_check(HAVE_LINUX_XATTR SOURCE "
#include <sys/xattr.h>
int main() {
  char b[4];
  return static_cast<int>(fgetxattr(0, \"user.x\", b, sizeof b) +
                          llistxattr(\".\", b, sizeof b) +
                          fsetxattr(0, \"user.x\", b, 1, 0) + fremovexattr(0, \"user.x\"));
}")

# What the end-to-end harness uses beyond POSIX. pipe2 spares it a window
# in which another thread's child inherits a pipe; the portable build takes
# the fallback. Pipe capacities, leases and seccomp filters set the scene of
# a test, not an interface of the program, so they are probed in every build.
if(BUILD_TESTING)
  geos_check(HAVE_PIPE2 SYMBOL pipe2 unistd.h)
  geos_probe(HAVE_F_SETPIPE_SZ SYMBOL F_SETPIPE_SZ fcntl.h)
  geos_probe(HAVE_F_SETLEASE SYMBOL F_SETLEASE fcntl.h)
  # A seccomp filter that refuses statx, as old kernels and some container
  # runtimes do.
  geos_probe(HAVE_SECCOMP_FILTER SOURCE "
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
int main() {
  sock_filter code[] = {BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | SYS_statx)};
  sock_fprog program{1, code};
  return prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program);
}")
endif()

configure_file(${CMAKE_CURRENT_LIST_DIR}/geos_config.h.in
               ${PROJECT_BINARY_DIR}/generated/geos_config.h)
