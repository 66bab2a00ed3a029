// Whole reads, whole writes and streamed copies over file descriptors.
#pragma once

#include <cstddef>
#include <optional>
#include <span>

namespace geos {

// Reads from `fd` into `buffer` until the buffer is full or the input ends.
// For a regular input, `known_size` (its size when opened) ends the read
// without a further request once that many bytes have come; pass
// std::nullopt for other inputs, which are read until they report their end.
// Returns the count read, or std::nullopt when a read fails: a failed read
// is never taken for the end of the input.
[[nodiscard]] std::optional<std::size_t> read_up_to(int fd, std::span<std::byte> buffer,
                                                    std::optional<std::size_t> known_size);

// Writes every byte of `bytes` to `fd`; returns false when a write fails.
[[nodiscard]] bool write_all(int fd, std::span<const std::byte> bytes);

enum class copy_result { done, read_failed, write_failed };

// Copies everything from the current position of `in` to its end onto `out`.
// Regular inputs are copied in the kernel (copy_file_range) where it is
// offered; otherwise, or after the kernel refuses or fails, the rest goes
// through `scratch` with plain reads and writes, so that a failure is told
// apart as a failed read or a failed write. Memory use is bounded by
// `scratch` whatever the input's length.
[[nodiscard]] copy_result copy_rest(int in, bool in_is_regular, int out,
                                    std::span<std::byte> scratch);

}  // namespace geos
