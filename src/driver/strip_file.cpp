#include "driver/strip_file.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "driver/file_identity.hpp"
#include "driver/heap.hpp"
#include "driver/interrupt.hpp"
#include "rules/output_name.hpp"
#include "rules/shared_directory.hpp"

namespace geos {

namespace {

// The unit of st_blocks on every system this builds on.
constexpr off_t BLOCK_UNIT = 512;

// Opens without waiting: a FIFO opens at once, so that it is judged before
// it is waited on, and its writer is waited for together with a stop
// signal. Reads that would wait do so the same way (see read_up_to).
unique_fd open_for_reading(int directory, const char* name, int flags) {
  return unique_fd(::openat(directory, name, O_RDONLY | O_NOCTTY | O_CLOEXEC | O_NONBLOCK | flags));
}

// Opens as a blocking open does. An input under a lease (Samba oplocks, NFS
// delegations) waits for the lease to be broken, and a FIFO for its writer
// where the system cannot wait for one otherwise; a stop signal ends either
// wait, as no handler restarts the call.
unique_fd open_waiting(int directory, const char* name, int flags) {
  return unique_fd(::openat(directory, name, O_RDONLY | O_NOCTTY | O_CLOEXEC | flags));
}

std::optional<input_file> open_input(unique_fd fd) {
  input_file input{std::move(fd), {}};
  if (!input.fd || ::fstat(input.fd.get(), &input.status) != 0) {
    return std::nullopt;
  }
  return input;
}

}  // namespace

bool input_file::has_holes() const { return status.st_blocks * BLOCK_UNIT < status.st_size; }

batch::batch(reporter& report, std::span<std::byte, BUFFER_SIZE> read_buffer)
    : report_(report), read_buffer_(read_buffer), output_(process_.ids()) {}

bool batch::reserve(std::size_t longest) noexcept {
  longest_ = 0;
  if (!geos::reserve(output_name_, longest + OUTPUT_EXTENSION.size()) ||
      !directory_.reserve(longest) || !output_.reserve()) {
    return false;
  }
  longest_ = longest;
  return true;
}

bool batch::strip_file(const char* argument) {
  const auto length = std::char_traits<char>::length(argument);
  if (length <= longest_ && one_file_lines(length) <= report_.capacity()) {
    return strip(argument);
  }
  report_.print(message::CANT_OPEN, {argument});
  return true;
}

// A step that a stop signal cut short is no failure of the file's: it is
// not reported.
bool batch::strip(const char* argument) {
  derive_output_name(argument, output_name_);
  auto input = open_argument(argument);
  if (!input) {
    if (stop_signal() != 0) {
      return false;
    }
    report_.print(message::CANT_OPEN, {argument});
    return true;
  }
  const auto first = read_window(*input);
  if (first.status != io_status::done) {
    if (first.status == io_status::stopped) {
      return false;
    }
    report_.print(message::CANT_READ, {argument});
    return true;
  }
  switch (first.outcome.kind) {
    case scan_kind::not_geos:
      report_.print(message::NOT_GEOS, {argument});
      return true;
    case scan_kind::corrupted:
      report_.print(message::CORRUPTED, {argument});
      return true;
    case scan_kind::found:
      return write_output(argument, *input, first);
  }
  return true;
}

// The input is opened inside the directory that its output goes into, so
// that both are in the same place whatever happens to the path meanwhile.
// Where that directory cannot be opened, the input still can be by its path
// (and the output is refused later), but not through a link, which cannot
// be judged without its directory.
std::optional<input_file> batch::open_argument(const char* argument) {
  const auto parts = split_path(argument);
  if (!directory_.use(parts.directory)) {
    return ready_input(open_input(open_for_reading(AT_FDCWD, argument, O_NOFOLLOW)), AT_FDCWD,
                       argument, O_NOFOLLOW);
  }
  // "dir/" names the directory itself; "" names nothing.
  const bool names_directory = parts.name.empty() && !parts.directory.empty();
  const char* const name = names_directory ? "." : parts.name.data();
  int follow = O_NOFOLLOW;
  auto fd = open_for_reading(directory_.fd(), name, follow);
  const int failure = errno;
  if (!fd && may_follow(name)) {
    follow = 0;
    fd = open_for_reading(directory_.fd(), name, follow);
  } else if (!fd && failure == EWOULDBLOCK) {
    fd = open_waiting(directory_.fd(), name, follow);
  }
  return ready_input(open_input(std::move(fd)), directory_.fd(), name, follow);
}

// A symbolic link is followed only where may_follow_link allows, whatever
// the kernel's own protection is set to. Opening without following first
// costs nothing where the name is no link.
bool batch::may_follow(const char* name) {
  struct stat link {};
  return ::fstatat(directory_.fd(), name, &link, AT_SYMLINK_NOFOLLOW) == 0 &&
         S_ISLNK(link.st_mode) && may_follow_link(directory_.facts(), link.st_uid, process_.ids());
}

// A FIFO is waited on for its writer only where the rule trusts its owner.
std::optional<input_file> batch::ready_input(std::optional<input_file> input, int dir,
                                             const char* name, int follow) {
  if (!input || !S_ISFIFO(input->status.st_mode)) {
    return input;
  }
  const auto facts = directory_.is_open() ? directory_.facts() : unknown_directory(process_.ids());
  if (!may_wait_for_fifo(facts, input->status.st_uid, process_.ids())) {
    return std::nullopt;
  }
  switch (wait_for_input(input->fd.get())) {
    case wait_result::ready:
      return input;
    case wait_result::stopped:
      return std::nullopt;
    case wait_result::unsupported:
      break;
  }
  // The same FIFO, opened again to wait for its writer.
  auto waited = open_input(open_waiting(dir, name, follow));
  if (!waited || !same_file(waited->status, input->status)) {
    return std::nullopt;
  }
  return waited;
}

window batch::read_window(const input_file& input) {
  const auto size = input.reported_size();
  const auto request = first_read_length(size);
  auto got = read_up_to(input.fd.get(), read_buffer_.first(request), size);
  auto outcome = locate_sound_data(read_buffer_.first(got.count));
  if (got.status == io_status::done && !got.at_end && request < READ_LIMIT &&
      !settled(outcome, read_buffer_.first(got.count))) {
    const auto rest_size = std::max<off_t>(size - static_cast<off_t>(got.count), 0);
    const auto rest = read_up_to(
        input.fd.get(), read_buffer_.subspan(got.count, READ_LIMIT - got.count), rest_size);
    got = {rest.status, got.count + rest.count, rest.at_end};
    outcome = locate_sound_data(read_buffer_.first(got.count));
  }
  return {got.status, read_buffer_.first(got.count), outcome, got.at_end};
}

bool batch::write_output(std::string_view argument, input_file& input, const window& first) {
  if (!directory_.is_open() || !output_.create(directory_, split_path(output_name_).name.data(),
                                               input.fd.get(), input.status)) {
    report_.print(message::CANT_OPEN_FOR_WRITE, {output_name_});
    return true;
  }
  report_.print(message::STRIPPING,
                {argument, {header_text(first.bytes), field_origin::file}, output_name_});
  const auto copied = copy_data(input, first);
  if (copied == io_status::stopped) {
    // Where the stripping line is on a terminal already, this one says the
    // output was not made; elsewhere both are dropped with the file. The
    // temporary goes with the batch.
    report_.print(message::CANT_WRITE, {output_name_});
    return false;
  }
  // A named temporary must go while its directory is the one in use.
  if (copied == io_status::read_failed) {
    output_.discard();
    report_.print(message::CANT_READ, {argument});
  } else if (copied == io_status::write_failed) {
    output_.discard();
    report_.print(message::CANT_WRITE, {output_name_});
  } else if (!output_.commit(read_buffer_, std::move(input.fd))) {
    report_.print(message::CANT_WRITE, {output_name_});
  }
  return true;
}

// An input that ended within the window is written from it. A longer
// regular file is copied from the file itself, by the kernel where it can;
// anything else is written from the window and then streamed. The window's
// bytes are not needed after the stripping line, so the read buffer serves
// as scratch.
io_status batch::copy_data(const input_file& input, const window& first) {
  const auto marker_offset = first.outcome.marker_offset;
  if (!first.at_end && input.reported_size() > 0) {
    return copy_to_end(input.fd.get(), static_cast<off_t>(marker_offset), output_.fd(),
                       {input.reported_size(), input.has_holes(), output_.durable()}, read_buffer_);
  }
  const auto written = write_all(output_.fd(), first.bytes.subspan(marker_offset));
  if (written != io_status::done || first.at_end) {
    return written;
  }
  return copy_stream(input.fd.get(), output_.fd(), read_buffer_);
}

}  // namespace geos
