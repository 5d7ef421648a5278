// The per-frame cost of gap detection over a recording held in memory, for
// filter lengths 0, 10 and 1000: one `update_filter` step at a time, and the
// whole scan of `find_track` as listing runs it. The running window sum
// should make the three lengths cost the same.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "core.h"
#include "detect.h"
#include "wave.h"

namespace {

constexpr int64_t frames = 1 << 20;  // about 24 s

// Alternating 3 s of a chord and 3 s of hiss with a click now and then, so
// that the detector sees both sound and silence as in a real side; after
// the canonical header.
std::vector<unsigned char> side() {
  std::vector<unsigned char> bytes(44 + static_cast<size_t>(frames) * 4);
  const auto header = wave_header(static_cast<uint32_t>(frames));
  std::copy(header.begin(), header.end(), bytes.begin());
  uint32_t noise = 12345;
  for (int64_t t = 0; t < frames; t++) {
    noise = noise * 1664525u + 1013904223u;
    const int hiss = static_cast<int>(noise >> 24) - 128;
    double l = hiss, r = hiss;
    if (t / 132300 % 2 == 0) {
      const double x = static_cast<double>(t) / 44100;
      l += 9000 * std::sin(6.2832 * 110 * x) + 5000 * std::sin(6.2832 * 277 * x);
      r += 8000 * std::sin(6.2832 * 165 * x) + 4000 * std::sin(6.2832 * 440 * x);
    } else if (t % 20011 == 0) {
      l += 9000;
    }
    const auto left = static_cast<uint16_t>(static_cast<int16_t>(l));
    const auto right = static_cast<uint16_t>(static_cast<int16_t>(r));
    write_u16_le(&bytes[44 + static_cast<size_t>(t) * 4], left);
    write_u16_le(&bytes[46 + static_cast<size_t>(t) * 4], right);
  }
  return bytes;
}

// Points the detector at the start of the recording, as a listing with the
// filter length of the run finds it.
FILE* start(benchmark::State& state, FILE* f = nullptr) {
  static std::vector<unsigned char> bytes = side();
  if (f) rewind(f);
  if (!f && !(f = fmemopen(bytes.data(), bytes.size(), "rb"))) {
    state.SkipWithError("fmemopen failed");
    return nullptr;
  }
  settings s;
  s.filter = static_cast<int32_t>(state.range(0));
  reset_state(s);
  open_recording(f);
  return f;
}

void finish(benchmark::State& state) {
  state.SetItemsProcessed(state.iterations() * frames);
  // Seconds per frame, shown with an SI prefix (n = ns).
  state.counters["per_frame"] = benchmark::Counter(
      static_cast<double>(frames),
      benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
  close_recording();
}

void UpdateFilter(benchmark::State& state) {
  FILE* f = start(state);
  if (!f) return;
  uint16_t peak = 0;
  int64_t loud = 0;
  for (auto _ : state) {
    start(state, f);
    for (int64_t t = 0; t < frames; t++) loud += update_filter(&peak);
    benchmark::DoNotOptimize(loud);
  }
  finish(state);
}

void FindTrack(benchmark::State& state) {
  FILE* f = start(state);
  if (!f) return;
  // The table lines and progress go to /dev/null while the clock runs.
  std::fflush(stdout);
  std::fflush(stderr);
  const int saved_out = dup(1), saved_err = dup(2), null = open("/dev/null", O_WRONLY);
  dup2(null, 1);
  dup2(null, 2);
  int64_t start_frame = 0, end_frame = 0;
  for (auto _ : state) {
    start(state, f);
    for (int track = 1; sample < samples; track++) find_track(track, &start_frame, &end_frame);
    benchmark::DoNotOptimize(end_frame);
  }
  std::fflush(stdout);
  std::fflush(stderr);
  dup2(saved_out, 1);
  dup2(saved_err, 2);
  close(null);
  close(saved_out);
  close(saved_err);
  finish(state);
}

}  // namespace

BENCHMARK(UpdateFilter)->Arg(0)->Arg(10)->Arg(1000)->Unit(benchmark::kMillisecond);
BENCHMARK(FindTrack)->Arg(0)->Arg(10)->Arg(1000)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
