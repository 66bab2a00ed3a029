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
constexpr int STOPPING_WAIT_MS = 500;

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

bool is_control(std::string_view character) {
  const auto first = byte_at(character, 0);
  if (character.size() == 1) {
    return first < 0x20 || first == 0x7F;
  }
  return character.size() == 2 && first == 0xC2 && byte_at(character, 1) < 0xA0;
}

}  // namespace

reporter::reporter(int fd, bool terminal, std::span<char> buffer)
    : fd_(fd), terminal_(terminal), buffer_(buffer) {}

void reporter::print(std::string_view text, std::initializer_list<std::string_view> fields) {
  // A line is never split between two writes, where it fits the buffer.
  std::size_t most = text.size();
  for (const auto field : fields) {
    most += field.size();
  }
  if (most > buffer_.size() - used_) {
    flush();
  }
  const auto* field = fields.begin();
  for (auto at = text.find(PLACEHOLDER); at != std::string_view::npos;
       at = text.find(PLACEHOLDER)) {
    put(text.substr(0, at));
    if (field != fields.end()) {
      put_field(*field++);
    }
    text.remove_prefix(at + PLACEHOLDER.size());
  }
  put(text);
  if (terminal_) {
    flush();
  }
}

void reporter::put_field(std::string_view field) {
  if (!terminal_) {
    put(field);
    return;
  }
  while (!field.empty()) {
    const auto length = sequence_length(field);
    const auto character = field.substr(0, std::max<std::size_t>(length, 1));
    put(length == 0 || is_control(character) ? std::string_view(&SHOWN_INSTEAD, 1) : character);
    field.remove_prefix(character.size());
  }
}

void reporter::put(std::string_view bytes) {
  if (bytes.size() > buffer_.size() - used_) {
    // Only a line longer than the buffer gets here: it goes out as it comes,
    // finished file or not.
    flush();
    if (bytes.size() > buffer_.size()) {
      write_out(bytes);
      return;
    }
  }
  std::copy(bytes.begin(), bytes.end(), buffer_.begin() + static_cast<std::ptrdiff_t>(used_));
  used_ += bytes.size();
}

void reporter::flush() {
  write_out({buffer_.data(), used_});
  used_ = 0;
  file_start_ = 0;
}

void reporter::flush_finished() {
  used_ = file_start_;
  flush();
}

void reporter::write_out(std::string_view bytes) const {
  // A pipe keeps a write of up to PIPE_BUF bytes whole among the writes of
  // other processes (as under xargs -P), so each write ends with a line.
  while (!bytes.empty()) {
    auto end = bytes.size();
    if (end > PIPE_BUF) {
      const auto last = bytes.rfind('\n', PIPE_BUF - 1);
      end = (last != std::string_view::npos ? last : std::min(bytes.find('\n'), end - 1)) + 1;
    }
    write_fully(bytes.substr(0, end));
    bytes.remove_prefix(end);
  }
}

void reporter::write_fully(std::string_view bytes) const {
  while (!bytes.empty()) {
    // Once the run is stopping, a reader that takes nothing for a while is
    // not waited for.
    pollfd ready{fd_, POLLOUT, 0};
    if (stop_signal() != 0 && ::poll(&ready, 1, STOPPING_WAIT_MS) <= 0) {
      return;
    }
    const auto put = ::write(fd_, bytes.data(), bytes.size());
    if (put < 0 && errno == EINTR) {
      continue;
    }
    if (put <= 0) {
      return;
    }
    bytes.remove_prefix(static_cast<std::size_t>(put));
  }
}

}  // namespace geos
