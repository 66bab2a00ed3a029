#include "driver/file_io.hpp"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <limits>
#include <optional>

#include "driver/interrupt.hpp"
#include "driver/platform.hpp"

namespace geos {

namespace {

// Splicing from an offset that is not page-aligned makes the kernel build
// the destination's page cache in small pieces, which costs more than the
// second copy of plain reads and writes in large chunks once a copy is long.
// Short copies, and aligned ones of any length, go to the kernel.
constexpr off_t PAGE = 4096;
constexpr off_t LONG_UNALIGNED_COPY = off_t{1} << 20;

// The kernel copies in pieces of this size, so that a stop signal is seen
// within a fraction of a second even on slow storage.
constexpr std::size_t KERNEL_CHUNK = std::size_t{8} << 20;

constexpr off_t LARGEST_OFFSET = std::numeric_limits<off_t>::max();

// A durable output is written back to its medium in steps of this size as
// it is copied, so that its final flush is short, and a stop is looked for
// between steps: on slow storage, waiting for one step is short where
// waiting for the whole file at the end is not. An output shorter than a
// step costs no call.
constexpr off_t WRITE_BACK_STEP = off_t{1} << 20;

// The output of a copy, and how far it has been written back.
class copy_output {
 public:
  copy_output(int fd, off_t from, bool durable) : fd_(fd), from_(from), stepping_(durable) {}

  [[nodiscard]] int fd() const noexcept { return fd_; }

  // The most the kernel should copy at once: no more than a step where the
  // output is written back in steps.
  [[nodiscard]] std::size_t kernel_chunk() const noexcept {
    return stepping_ ? static_cast<std::size_t>(WRITE_BACK_STEP) : KERNEL_CHUNK;
  }

  // After everything before the input's offset `at` is written out.
  [[nodiscard]] io_status wrote_to(off_t at) {
    for (; stepping_ && at - from_ - started_ >= WRITE_BACK_STEP; started_ += WRITE_BACK_STEP) {
      const auto step = platform::write_back_step(fd_, started_, WRITE_BACK_STEP);
      if (step == platform::write_back::failed) {
        return io_status::write_failed;
      }
      stepping_ = step == platform::write_back::done;
    }
    return io_status::done;
  }

 private:
  int fd_;
  off_t from_;         // the input's offset of the output's first byte
  bool stepping_;      // written back in steps
  off_t started_ = 0;  // the output's offset up to which writing back has begun
};

// Where copying one range ended.
struct range_copy {
  io_status status;
  off_t at;          // just after the last byte copied
  bool input_ended;  // a read found the end of the input before the range's end
};

std::size_t clamp_length(off_t at, off_t end, std::size_t most) {
  return static_cast<std::size_t>(std::min<off_t>(end - at, static_cast<off_t>(most)));
}

// Copies [at, end) in the kernel. A range the kernel declines or fails
// comes back with `done` and `at` short of `end`, for plain I/O to go on.
range_copy copy_in_kernel(int in, off_t at, off_t end, copy_output& out) {
  while (at < end) {
    if (stop_signal() != 0) {
      return {io_status::stopped, at, false};
    }
    const auto copied =
        platform::kernel_copy(in, &at, out.fd(), clamp_length(at, end, out.kernel_chunk()));
    if (copied == 0) {
      return {io_status::done, at, true};
    }
    if (copied < 0 && errno != EINTR) {
      break;
    }
    if (const auto written = out.wrote_to(at); written != io_status::done) {
      return {written, at, false};
    }
  }
  return {io_status::done, at, false};
}

range_copy copy_plainly(int in, off_t at, off_t end, copy_output& out,
                        std::span<std::byte> scratch) {
  while (at < end) {
    if (stop_signal() != 0) {
      return {io_status::stopped, at, false};
    }
    const auto got = ::pread(in, scratch.data(), clamp_length(at, end, scratch.size()), at);
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got < 0) {
      return {io_status::read_failed, at, false};
    }
    if (got == 0) {
      return {io_status::done, at, true};
    }
    auto written = write_all(out.fd(), scratch.first(static_cast<std::size_t>(got)));
    if (written == io_status::done) {
      written = out.wrote_to(at + got);
    }
    if (written != io_status::done) {
      return {written, at, false};
    }
    at += got;
  }
  return {io_status::done, at, false};
}

range_copy copy_range(int in, off_t at, off_t end, copy_output& out, bool kernel_first,
                      std::span<std::byte> scratch) {
  if (kernel_first) {
    const auto copied = copy_in_kernel(in, at, end, out);
    if (copied.status != io_status::done || copied.input_ended || copied.at == end) {
      return copied;
    }
    at = copied.at;
  }
  return copy_plainly(in, at, end, out, scratch);
}

// A sparse output ends where the copy ended: its length is what was
// copied, the holes it skipped included, never a size looked up apart.
io_status end_sparse(int out, off_t length) {
  return ::ftruncate(out, length) == 0 ? io_status::done : io_status::write_failed;
}

// Where the input held no more data from `at` on: a trailing hole, if its
// end lies beyond. A writer may have appended between that look and the
// look at the end, so the hole is taken only where a second look for data
// from `at`, made after the end was known, finds none either; otherwise
// the data found is copied next. An end below what was copied means the
// input shrank under the copy, which no output can make whole.
struct after_last_data {
  io_status status = io_status::done;
  std::optional<platform::extent> more;  // data that came after all
};

after_last_data look_past_last_data(int in, off_t from, off_t at, const copy_output& out) {
  const auto end = ::lseek(in, 0, SEEK_END);
  if (end < at) {
    return {io_status::read_failed, std::nullopt};
  }
  auto more = end > at ? platform::next_data(in, at) : std::nullopt;
  return {more ? io_status::done : end_sparse(out.fd(), end - from), more};
}

// Where the system cannot wait for a stop and the input in one step, a
// plain wait, which a stop signal interrupts.
bool wait_until_readable(int fd) {
  switch (wait_for_input(fd)) {
    case wait_result::ready:
      return true;
    case wait_result::stopped:
      return false;
    case wait_result::unsupported:
      break;
  }
  pollfd readable{fd, POLLIN, 0};
  return ::poll(&readable, 1, -1) > 0 || errno == EINTR;
}

}  // namespace

read_result read_up_to(int fd, std::span<std::byte> buffer, off_t reported_size) {
  read_result result{io_status::done, 0, false};
  while (result.count < buffer.size()) {
    // A signal that came between two reads interrupts neither.
    if (stop_signal() != 0) {
      result.status = io_status::stopped;
      return result;
    }
    const auto got = ::read(fd, buffer.data() + result.count, buffer.size() - result.count);
    if (got < 0 && errno == EINTR) {
      continue;
    }
    // Opened without waiting: a FIFO or device that has nothing yet is
    // waited for together with a stop signal.
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) &&
        (wait_until_readable(fd) || stop_signal() != 0)) {
      continue;
    }
    if (got < 0) {
      result.status = io_status::read_failed;
      return result;
    }
    result.count += static_cast<std::size_t>(got);
    if (got == 0 || (reported_size > 0 && result.count == static_cast<std::size_t>(reported_size) &&
                     result.count < buffer.size())) {
      result.at_end = true;
      return result;
    }
  }
  return result;
}

io_status write_all(int fd, std::span<const std::byte> bytes) {
  while (!bytes.empty()) {
    if (stop_signal() != 0) {
      return io_status::stopped;
    }
    const auto put = ::write(fd, bytes.data(), bytes.size());
    if (put < 0 && errno == EINTR) {
      continue;
    }
    if (put <= 0) {
      return io_status::write_failed;
    }
    bytes = bytes.subspan(static_cast<std::size_t>(put));
  }
  return io_status::done;
}

io_status copy_to_end(int in, off_t from, int out, copy_plan plan, std::span<std::byte> scratch) {
  const bool kernel_first = from % PAGE == 0 || plan.reported_size - from <= LONG_UNALIGNED_COPY;
  copy_output output(out, from, plan.durable);
  off_t at = from;
  for (;;) {
    auto data = plan.sparse ? platform::next_data(in, at) : platform::extent{at, LARGEST_OFFSET};
    if (!data) {
      const auto past = look_past_last_data(in, from, at, output);
      if (!past.more) {
        return past.status;
      }
      data = past.more;
    }
    if (data->start > at && ::lseek(out, data->start - from, SEEK_SET) < 0) {
      return io_status::write_failed;
    }
    const auto copied =
        copy_range(in, std::max(at, data->start), data->end, output, kernel_first, scratch);
    if (copied.status != io_status::done) {
      return copied.status;
    }
    at = copied.at;
    // The input ends where a read found its end, whatever its size says.
    if (copied.input_ended) {
      return plan.sparse ? end_sparse(out, at - from) : io_status::done;
    }
  }
}

io_status copy_stream(int in, int out, std::span<std::byte> scratch) {
  for (;;) {
    const auto got = read_up_to(in, scratch, 0);
    if (got.status != io_status::done) {
      return got.status;
    }
    const auto written = write_all(out, scratch.first(got.count));
    if (written != io_status::done || got.at_end) {
      return written;
    }
  }
}

}  // namespace geos
