#include "driver/file_io.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace geos {

namespace {

// Splicing from an offset that is not page-aligned makes the kernel build
// the destination's page cache in small pieces, which costs more than the
// second copy of plain reads and writes in large chunks once a copy is long.
// Short copies, and aligned ones of any length, go to the kernel.
constexpr off_t PAGE = 4096;
constexpr off_t LONG_UNALIGNED_COPY = off_t{1} << 20;

bool kernel_copy_pays(off_t from, off_t to) {
  return from % PAGE == 0 || to - from <= LONG_UNALIGNED_COPY;
}

// Copies in the kernel from `*at` towards `to`, advancing `*at`. Returns
// false when the kernel will not or cannot copy, with `*at` just after the
// last byte copied so that plain I/O can take over from there.
bool kernel_copy(int in, off_t* at, off_t to, int out) {
  while (*at < to) {
    const auto copied =
        ::copy_file_range(in, at, out, nullptr, static_cast<std::size_t>(to - *at), 0);
    if (copied == 0) {
      *at = to;
    } else if (copied < 0 && errno != EINTR) {
      return false;
    }
  }
  return true;
}

}  // namespace

std::optional<std::size_t> read_up_to(int fd, std::span<std::byte> buffer, std::size_t enough) {
  std::size_t count = 0;
  while (count < buffer.size() && count < enough) {
    const auto got = ::read(fd, buffer.data() + count, buffer.size() - count);
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got < 0) {
      return std::nullopt;
    }
    if (got == 0) {
      break;
    }
    count += static_cast<std::size_t>(got);
  }
  return count;
}

bool write_all(int fd, std::span<const std::byte> bytes) {
  while (!bytes.empty()) {
    const auto put = ::write(fd, bytes.data(), bytes.size());
    if (put < 0 && errno == EINTR) {
      continue;
    }
    if (put <= 0) {
      return false;
    }
    bytes = bytes.subspan(static_cast<std::size_t>(put));
  }
  return true;
}

copy_result copy_range(int in, off_t from, off_t to, int out, std::span<std::byte> scratch) {
  off_t at = from;
  if (kernel_copy_pays(from, to) && kernel_copy(in, &at, to, out)) {
    return copy_result::done;
  }
  while (at < to) {
    const auto want = std::min(scratch.size(), static_cast<std::size_t>(to - at));
    const auto got = ::pread(in, scratch.data(), want, at);
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got < 0) {
      return copy_result::read_failed;
    }
    if (got == 0) {
      break;
    }
    if (!write_all(out, scratch.first(static_cast<std::size_t>(got)))) {
      return copy_result::write_failed;
    }
    at += got;
  }
  return copy_result::done;
}

copy_result copy_stream(int in, int out, std::span<std::byte> scratch) {
  for (;;) {
    const auto got = read_up_to(in, scratch, scratch.size());
    if (!got) {
      return copy_result::read_failed;
    }
    if (*got == 0) {
      return copy_result::done;
    }
    if (!write_all(out, scratch.first(*got))) {
      return copy_result::write_failed;
    }
  }
}

}  // namespace geos
