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

#include "detect.h"
#include "keldrun.h"
#include "wave.h"

namespace {

constexpr int64_t frames = 1 << 20;  // about 24 s

// Alternating 3 s of a chord and 3 s of hiss with a click now and then, so
// that the detector sees both sound and silence as in a real side.
std::vector<unsigned char> recording() {
  std::vector<unsigned char> bytes(static_cast<size_t>(frames) * 4);
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
    unsigned char* b = &bytes[static_cast<size_t>(t) * 4];
    b[0] = static_cast<unsigned char>(left);
    b[1] = static_cast<unsigned char>(left >> 8);
    b[2] = static_cast<unsigned char>(right);
    b[3] = static_cast<unsigned char>(right >> 8);
  }
  return bytes;
}

// Points the detector at the recording with the filter length of the run.
FILE* start(benchmark::State& state) {
  static std::vector<unsigned char> bytes = recording();
  FILE* f = fmemopen(bytes.data(), bytes.size(), "rb");
  if (!f) {
    state.SkipWithError("fmemopen failed");
    return nullptr;
  }
  set_input(f);
  filter = static_cast<int32_t>(state.range(0));
  threshold = 1638 * static_cast<uint32_t>(filter + 1);
  out = nullptr;  // listing: nothing leaves the delay line for a file
  samples = static_cast<uint32_t>(frames);
  sample = 0;
  reset_detector();
  return f;
}

void finish(benchmark::State& state, FILE* f) {
  state.SetItemsProcessed(state.iterations() * frames);
  // Seconds per frame, shown with an SI prefix (n = ns).
  state.counters["per_frame"] = benchmark::Counter(
      static_cast<double>(frames),
      benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
  fclose(f);
  set_input(nullptr);
}

void UpdateFilter(benchmark::State& state) {
  FILE* f = start(state);
  if (!f) return;
  uint16_t peak = 0;
  int64_t loud = 0;
  for (auto _ : state) {
    seek_input(0);
    for (int64_t t = 0; t < frames; t++) loud += update_filter(&peak);
    benchmark::DoNotOptimize(loud);
  }
  finish(state, f);
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
    seek_input(0);
    reset_detector();
    sample = 0;
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
  finish(state, f);
}

}  // namespace

BENCHMARK(UpdateFilter)->Arg(0)->Arg(10)->Arg(1000)->Unit(benchmark::kMillisecond);
BENCHMARK(FindTrack)->Arg(0)->Arg(10)->Arg(1000)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
