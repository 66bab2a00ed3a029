#include "driver/report.hpp"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>

#include "driver/interrupt.hpp"

namespace geos {

namespace {

constexpr std::string_view PLACEHOLDER = "%s";
constexpr char SHOWN_INSTEAD = '?';

unsigned char byte_at(std::string_view text, std::size_t at) {
  return static_cast<unsigned char>(text[at]);
}

// The length of the well-formed UTF-8 sequence at the start of `text`
// (RFC 3629: no overlong forms, no surrogates, nothing past U+10FFFF), or 0.
std::size_t sequence_length(std::string_view text) {
  const auto lead = byte_at(text, 0);
  if (lead < 0x80) {
    return 1;
  }
  // Per lead byte: the length and the range the second byte must lie in.
  std::size_t length = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    low = lead == 0xE0 ? 0xA0 : 0x80;
    high = lead == 0xED ? 0x9F : 0xBF;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    low = lead == 0xF0 ? 0x90 : 0x80;
    high = lead == 0xF4 ? 0x8F : 0xBF;
  }
  if (length == 0 || text.size() < length || byte_at(text, 1) < low || byte_at(text, 1) > high) {
    return 0;
  }
  for (std::size_t i = 2; i < length; ++i) {
    if ((byte_at(text, i) & 0xC0) != 0x80) {
      return 0;
    }
  }
  return length;
}

// Characters a terminal acts on rather than shows: C0, DEL, C1, and the
// bidirectional formatting characters, which can make a line read as
// something else.
bool is_control(std::string_view character) {
  const auto first = byte_at(character, 0);
  switch (character.size()) {
    case 1:
      return first < 0x20 || first == 0x7F;
    case 2:
      return first == 0xC2 && byte_at(character, 1) < 0xA0;
    case 3: {
      const auto second = byte_at(character, 1);
      const auto third = byte_at(character, 2);
      return first == 0xE2 && ((second == 0x80 && third >= 0xAA && third <= 0xAE) ||
                               (second == 0x81 && third >= 0xA6 && third <= 0xA9));
    }
    default:
      return false;
  }
}

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
  auto text = shown.text.substr(0, most);
  if (!terminal_ && shown.from == field_origin::caller) {
    put(text);
    return;
  }
  while (!text.empty()) {
    const auto length = sequence_length(text);
    const auto character = text.substr(0, std::max<std::size_t>(length, 1));
    // Elsewhere than on a terminal, bytes that are no UTF-8 may be text in
    // another character set.
    const bool masked = (length == 0 && terminal_) || is_control(character);
    put(masked ? std::string_view(&SHOWN_INSTEAD, 1) : character);
    text.remove_prefix(character.size());
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
  // or one longer line. Once one cannot be delivered, nor can the rest.
  while (!lines.empty()) {
    auto end = lines.size();
    if (end > PIPE_BUF) {
      const auto last = lines.rfind('\n', PIPE_BUF - 1);
      end = (last != std::string_view::npos ? last : std::min(lines.find('\n'), end - 1)) + 1;
    }
    if (!deliver(lines.substr(0, end))) {
      return;
    }
    lines.remove_prefix(end);
  }
}

bool reporter::deliver(std::string_view unit) const {
  bool begun = false;
  while (!unit.empty()) {
    // While stopping, a unit is begun only where it can be kept whole: a
    // pipe takes up to PIPE_BUF bytes at once, but a reader that stalls
    // halfway through a longer unit would cut it. And no write may wait
    // past the deadline.
    const bool stopping = stop_signal() != 0;
    if (stopping && ((!begun && unit.size() > PIPE_BUF) || !wait_for_room(fd_))) {
      return false;
    }
    const auto put = ::write(fd_, unit.data(), unit.size());
    if (put > 0) {
      unit.remove_prefix(static_cast<std::size_t>(put));
      begun = true;
    } else if (put < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      // A descriptor in non-blocking mode, shared with whoever set it so:
      // its reader is slow, not gone.
      static_cast<void>(stopping || wait_for_room(fd_));
    } else if (put == 0 || errno != EINTR) {
      // The reader is gone, or the descriptor takes nothing: later writes
      // find the same and cost one call each.
      return false;
    }
  }
  return true;
}

}  // namespace geos
