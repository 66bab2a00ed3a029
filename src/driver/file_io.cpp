#include "driver/file_io.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace geos {

namespace {

// Large enough that a long tail costs a handful of calls, small enough to
// stay within every kernel's limit for one request.
constexpr std::size_t KERNEL_COPY_CHUNK = std::size_t{1} << 30;

// Copies in the kernel until the end of `in`. Returns true once the end is
// reached; false when the kernel will not or cannot copy, leaving both
// positions just after the last byte copied so plain I/O can take over.
bool kernel_copy(int in, int out) {
  for (;;) {
    const auto copied = ::copy_file_range(in, nullptr, out, nullptr, KERNEL_COPY_CHUNK, 0);
    if (copied == 0) {
      return true;
    }
    if (copied < 0 && errno != EINTR) {
      return false;
    }
  }
}

}  // namespace

std::optional<std::size_t> read_up_to(int fd, std::span<std::byte> buffer,
                                      std::optional<std::size_t> known_size) {
  std::size_t count = 0;
  while (count < buffer.size()) {
    const auto got = ::read(fd, buffer.data() + count, buffer.size() - count);
    if (got < 0) {
      if (errno == EINTR) {
        continue;
      }
      return std::nullopt;
    }
    if (got == 0) {
      break;
    }
    count += static_cast<std::size_t>(got);
    if (known_size && count >= *known_size) {
      break;
    }
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

copy_result copy_rest(int in, bool in_is_regular, int out, std::span<std::byte> scratch) {
  if (in_is_regular && kernel_copy(in, out)) {
    return copy_result::done;
  }
  for (;;) {
    const auto got = read_up_to(in, scratch, std::nullopt);
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
