// Whole reads, whole writes and copies over file descriptors. Every loop
// here that can wait gives up, with `stopped`, once a stop signal has been
// caught (see interrupt.hpp).
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <span>

namespace geos {

enum class io_status { done, read_failed, write_failed, stopped };

struct read_result {
  io_status status;   // done, read_failed or stopped
  std::size_t count;  // bytes read into the buffer, also on failure
  bool at_end;        // the input is known to end after these bytes
};

// Reads from `fd` into `buffer` until it is full or a read returns 0; a
// failed read is never taken for the end. `reported_size`, where positive,
// is the size a regular file reported: a read that stops short exactly
// there ends the input as a read of 0 would. A size of 0 says nothing, as
// files in /proc report it whatever they hold.
[[nodiscard]] read_result read_up_to(int fd, std::span<std::byte> buffer, off_t reported_size);

// Writes every byte of `bytes` to `fd`: done, write_failed or stopped.
[[nodiscard]] io_status write_all(int fd, std::span<const std::byte> bytes);

struct copy_plan {
  off_t reported_size;  // what the input reported; only steers how to copy
  bool sparse;          // skip the input's holes, and leave them in the output
  bool durable;         // the output will be flushed to its medium: write it back as it goes
};

// Copies the regular file `in` from offset `from` to its end, wherever a
// read finds it (so a file that grew is copied as far as it has grown), to
// the current position of `out`, leaving the position of `in` alone. The
// kernel copies where that is fastest; plain reads and writes through
// `scratch` take over wherever the kernel declines or fails, so that a
// failure is told apart as a failed read or a failed write. With `sparse`,
// holes become holes of the output: its length is what was copied, and a
// hole is left only where the input reported one when the copy got there.
// An input that shrank below what was copied by then is a failed read.
// With `durable`, the output is written back to its medium in steps as it
// is copied (where the system can), so that the final flush is short and a
// stop is seen between steps; a failure to write it back is a failed write.
// Memory use is bounded by `scratch` whatever the length.
[[nodiscard]] io_status copy_to_end(int in, off_t from, int out, copy_plan plan,
                                    std::span<std::byte> scratch);

// Copies everything from the current position of `in`, of any kind, to its
// end onto `out` through `scratch`.
[[nodiscard]] io_status copy_stream(int in, int out, std::span<std::byte> scratch);

}  // namespace geos
