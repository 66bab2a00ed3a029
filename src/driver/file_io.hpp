// Whole reads, whole writes and copies over file descriptors.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <optional>
#include <span>

namespace geos {

// Reads from `fd` into `buffer` until the buffer is full, the input ends, or
// `enough` bytes have come (a regular file's size: no request is made past
// it). Returns the count read, or std::nullopt when a read fails: a failed
// read is never taken for the end of the input.
[[nodiscard]] std::optional<std::size_t> read_up_to(int fd, std::span<std::byte> buffer,
                                                    std::size_t enough);

// Writes every byte of `bytes` to `fd`; returns false when a write fails.
[[nodiscard]] bool write_all(int fd, std::span<const std::byte> bytes);

enum class copy_result { done, read_failed, write_failed };

// Copies the bytes from offset `from` up to offset `to` of the regular file
// `in` (fewer if it has shrunk) to the current position of `out`, leaving
// the position of `in` alone. The kernel copies (copy_file_range) short or
// page-aligned ranges where it can; long unaligned ranges, and whatever the
// kernel refuses or fails, go through `scratch` with plain reads and writes,
// so that a failure is told apart as a failed read or a failed write.
// Memory use is bounded by `scratch` whatever the length.
[[nodiscard]] copy_result copy_range(int in, off_t from, off_t to, int out,
                                     std::span<std::byte> scratch);

// Copies everything from the current position of `in`, of any kind, to its
// end onto `out` through `scratch`.
[[nodiscard]] copy_result copy_stream(int in, int out, std::span<std::byte> scratch);

}  // namespace geos
