#include "driver/report.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>

#include "driver/interrupt.hpp"

namespace geos {

namespace {

// Waits until `fd` takes more: for as long as it takes while the run goes
// on, and only until the deadline once it is stopping. False where the
// deadline passed first, or `fd` cannot be waited for.
bool wait_for_room(int fd) {
  for (;;) {
    pollfd ready{fd, POLLOUT, 0};
    const int result = ::poll(&ready, 1, stop_milliseconds_left());
    if (result >= 0 || errno != EINTR) {
      return result > 0;
    }
  }
}

report_sink sink_of(int fd) {
  struct stat status {};
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
    return report_sink::other;
  }
  return (flags & O_APPEND) != 0 ? report_sink::appended_file : report_sink::regular_file;
}

}  // namespace

reporter::reporter(int fd, bool terminal, std::span<char> buffer)
    : fd_(fd), terminal_(terminal), buffer_(buffer) {}

void reporter::print(std::string_view text, std::initializer_list<field> fields) {
  // Masking never lengthens a field, so the bytes given bound the line.
  std::size_t field_bytes = 0;
  for (const auto& given : fields) {
    field_bytes += given.text.size();
  }
  make_room(text.size() + field_bytes);
  // Only a line that not even an empty buffer holds has its fields cut.
  std::size_t room = buffer_.size() - used_ - std::min(text.size(), buffer_.size() - used_);
  const auto* next = fields.begin();
  for (auto at = text.find(PLACEHOLDER); at != std::string_view::npos;
       at = text.find(PLACEHOLDER)) {
    put(text.substr(0, at));
    if (next != fields.end()) {
      const auto most = std::min(next->text.size(), room);
      put_field(*next++, most);
      room -= most;
    }
    text.remove_prefix(at + PLACEHOLDER.size());
  }
  put(text);
  if (terminal_) {
    write_out({buffer_.data(), used_});
    used_ = 0;
    file_start_ = 0;
  }
}

// Writes out the finished lines where the new line would not fit beside
// them; the current file's lines move to the front.
void reporter::make_room(std::size_t line) {
  if (line > buffer_.size() - used_) {
    flush_finished();
  }
}

void reporter::flush_finished() {
  write_out({buffer_.data(), file_start_});
  std::copy(buffer_.begin() + static_cast<std::ptrdiff_t>(file_start_),
            buffer_.begin() + static_cast<std::ptrdiff_t>(used_), buffer_.begin());
  used_ -= file_start_;
  file_start_ = 0;
}

void reporter::put_field(field shown, std::size_t most) {
  for (auto text = shown.text.substr(0, most); !text.empty();) {
    const auto part = show_start(text, shown.from, terminal_);
    put(part.shown);
    text.remove_prefix(part.taken);
  }
}

void reporter::put(std::string_view bytes) {
  bytes = bytes.substr(0, buffer_.size() - used_);
  std::copy(bytes.begin(), bytes.end(), buffer_.begin() + static_cast<std::ptrdiff_t>(used_));
  used_ += bytes.size();
}

void reporter::write_out(std::string_view lines) {
  // A pipe keeps a write of up to PIPE_BUF bytes whole among the writes of
  // other processes, so each write is as many whole lines as fit in that,
  // or one longer line. Lines after one that was lost would read as though
  // its file had never been named, so the first unit that cannot be
  // delivered ends the report.
  while (!lines.empty() && !ended_) {
    auto end = lines.size();
    if (end > PIPE_BUF) {
      const auto last = lines.rfind('\n', PIPE_BUF - 1);
      end = (last != std::string_view::npos ? last : std::min(lines.find('\n'), end - 1)) + 1;
    }
    const auto unit = lines.substr(0, end);
    const auto written = deliver(unit);
    if (written < unit.size()) {
      take_back(unit.substr(0, written));
      ended_ = true;
    }
    lines.remove_prefix(end);
  }
}

std::size_t reporter::deliver(std::string_view unit) const {
  std::size_t written = 0;
  while (written < unit.size()) {
    // While stopping, a unit is begun only where it can be kept whole: a
    // pipe takes up to PIPE_BUF bytes at once, but a reader that stalls
    // halfway through a longer unit would cut it. And no write may wait
    // past the deadline.
    const bool stopping = stop_signal() != 0;
    if (stopping && ((written == 0 && unit.size() > PIPE_BUF) || !wait_for_room(fd_))) {
      return written;
    }
    const auto put = ::write(fd_, unit.data() + written, unit.size() - written);
    if (put > 0) {
      written += static_cast<std::size_t>(put);
    } else if (put < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      // A descriptor in non-blocking mode, shared with whoever set it so:
      // its reader is slow, not gone.
      static_cast<void>(stopping || wait_for_room(fd_));
    } else if (put == 0 || errno != EINTR) {
      // The reader is gone, or the descriptor takes nothing (a full file
      // system, a file-size limit).
      return written;
    }
  }
  return written;
}

// A line cut short (a full file system, `ulimit -f`) is taken back where
// the rule says, and the offset set to the new end for whoever writes next
// (a shell that goes on into the same file).
void reporter::take_back(std::string_view written) const {
  const auto cut = static_cast<off_t>(taken_back(written, sink_of(fd_)));
  const auto end = cut > 0 ? ::lseek(fd_, 0, SEEK_CUR) : -1;
  if (end >= cut && ::ftruncate(fd_, end - cut) == 0) {
    static_cast<void>(::lseek(fd_, end - cut, SEEK_SET));
  }
}

}  // namespace geos
