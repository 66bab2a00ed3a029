// The marker scan over a full window with the marker at its end, beside
// plain memchr over the same bytes: the floor for any scan of them.
#include <algorithm>
#include <benchmark/benchmark.h>
#include <cstring>
#include <random>
#include <vector>

#include "format/geos_sound.hpp"

namespace {

enum class filler { sound, uniform };

// Kept out of every window, so that memchr for it reads all the bytes.
constexpr int ABSENT = 0xEE;

// A window that begins with the signature and ends with the marker. Sound
// data holds 8-bit samples around the midpoint; uniform bytes hold the
// marker's first byte once in 256, the hard case for a memchr-based scan.
std::vector<std::byte> window(filler kind) {
  std::mt19937 random(42);
  std::normal_distribution<double> sample(128, 40);
  std::uniform_int_distribution<int> any(0, 255);
  std::vector<std::byte> bytes(geos::READ_LIMIT);
  for (auto& b : bytes) {
    int value =
        std::clamp(kind == filler::sound ? static_cast<int>(sample(random)) : any(random), 0, 255);
    if (value == ABSENT || value == 0x02) {
      ++value;
    }
    b = static_cast<std::byte>(value);
  }
  if (kind == filler::uniform) {
    for (std::size_t at = 0; at < bytes.size(); at += 256) {
      bytes[at] = geos::SOUND_DATA_MARKER[0];
    }
  }
  std::copy(geos::GEOS_SIGNATURE.begin(), geos::GEOS_SIGNATURE.end(), bytes.begin());
  std::copy(geos::SOUND_DATA_MARKER.begin(), geos::SOUND_DATA_MARKER.end(),
            bytes.end() - geos::SOUND_DATA_MARKER.size());
  return bytes;
}

void locate_sound_data(benchmark::State& state, filler kind) {
  const auto bytes = window(kind);
  for (auto _ : state) {
    benchmark::DoNotOptimize(geos::locate_sound_data(bytes));
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(bytes.size()));
}

void plain_memchr(benchmark::State& state, filler kind) {
  const auto bytes = window(kind);
  for (auto _ : state) {
    benchmark::DoNotOptimize(std::memchr(bytes.data(), ABSENT, bytes.size()));
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(bytes.size()));
}

BENCHMARK_CAPTURE(locate_sound_data, sound, filler::sound);
BENCHMARK_CAPTURE(plain_memchr, sound, filler::sound);
BENCHMARK_CAPTURE(locate_sound_data, uniform, filler::uniform);
BENCHMARK_CAPTURE(plain_memchr, uniform, filler::uniform);

}  // namespace

BENCHMARK_MAIN();
