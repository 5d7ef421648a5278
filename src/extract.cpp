#include "extract.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>

#include "core.h"
#include "detect.h"
#include "keldrun.h"
#include "wave.h"

file_id source_id;
int tracks_written = 0;

bool source_as_left(const file_id& now) {
  return same_file(now, source_id) && now.size == source_id.size;
}

bool ask(const char* question, bool value, bool asking) {
  if (!asking) return value;
  fputs(question, stderr);
  fflush(stderr);  // where stderr is buffered (a pipe on Windows), the question shows first
  discard_buffered_input(stdin);
  // No answer can come once standard input has ended: that is a "no".
  for (int c; (c = getchar()) != EOF;) {
    c = std::toupper(c);
    if (c == 'Y') return true;
    if (c == 'N') return false;
  }
  return false;
}

int16_t normalized(int16_t x, uint16_t peak) {
  if (peak == 0) return x;  // nothing to scale by: written as it is
  return static_cast<int16_t>(static_cast<int32_t>(x * 32767.0 / peak));
}

// Hands the next `frames` frames of the input, frame `first` on, to
// `use(p, got, wanted)` in blocks that end where progress shows, every 32768
// frames; a block comes short only at the end of the input, and is the last.
// Returns how many frames the input had.
template <class Use>
static int64_t pass_frames(int64_t first, int64_t frames, bool shown, Use use) {
  static unsigned char buf[32768 * 4];
  int64_t i = first;
  const int64_t last = first + frames;
  while (i < last) {
    const int64_t next = (i | 0x7FFF) + 1;
    const size_t n = static_cast<size_t>((next < last ? next : last) - i);
    if (shown) show_progress(static_cast<uint32_t>(i));
    const size_t got = read_block(buf, 4 * n) / 4;
    use(buf, got, n);
    i += static_cast<int64_t>(got);
    if (got < n) break;
  }
  return i - first;
}

// Raises `peak` to the loudest level of the `n` frames at `p`.
static void raise_peak(uint16_t& peak, const unsigned char* p, size_t n) {
  static uint16_t level[32768];
  frame_levels(p, static_cast<uint32_t>(n), level);
  uint16_t top = peak;
  for (size_t k = 0; k < n; k++) top = level[k] > top ? level[k] : top;
  peak = top;
}

// Copies `frames` frames from the input to `out`, scaled when normalizing;
// the input must deliver every one of them.
static void copy_frames(int64_t first, int64_t frames, uint16_t peak, bool normalizing) {
  pass_frames(first, frames, true, [&](unsigned char* buf, size_t n, size_t wanted) {
    // A short read here would put filler into a track whose frames are about
    // to be cut from the source.
    if (n != wanted) error(rewind_failed);
    if (normalizing) {
      for (unsigned char* b = buf; b < buf + 4 * n; b += 2)
        write_u16_le(b,
                     static_cast<uint16_t>(normalized(static_cast<int16_t>(read_u16_le(b)), peak)));
    }
    write_bytes(buf, static_cast<int64_t>(4 * n));
  });
}

frames_read read_frames(int64_t first, int64_t frames, bool shown) {
  frames_read r;
  r.frames = pass_frames(first, frames, shown, [&r](const unsigned char* p, size_t n, size_t) {
    raise_peak(r.peak, p, n);
  });
  if (input_failed()) error(read_failed);
  return r;
}

// Ends the track file that a pipe filled with `frames` frames and maybe more
// after them: its sizes set and cut to those frames, durable; or, without a
// frame, removed.
static void end_piped_track(uint32_t frames) {
  if (frames > 0) {
    patch_wave_sizes(frames);
    if (!truncate_open(out, 44 + static_cast<int64_t>(data_size(frames)))) error(truncate_failed);
    close_out_durably();
    tracks_written++;
  } else {
    io::out_len = 0;  // nothing of an empty track is kept
    FILE* f = out;
    out = nullptr;
    if (fclose(f) != 0) error(write_failed);
    remove(outfile);
  }
}

// Reopens the source after a truncation; it must still be the same file.
static void reopen_source() {
  FILE* f = fopen(infile, "rb");
  if (!f) error(truncate_failed);
  set_input(f);
  setvbuf(wave, nullptr, _IONBF, 0);
  file_id now;
  if (!identify(wave, &now) || !source_as_left(now)) error(truncate_failed);
}

void split_track(int track) {
  if (track >= 100) error(too_many_tracks);
  const bool writing = outfile[0] != 0;
  // Where this scan begins, and where the source is cut once this track has
  // its own file. Cutting here rather than at the track's first frame keeps
  // the filter's lead-in in the source, so that a re-run after an
  // interruption stops its detection exactly where this run did.
  const int64_t stop = writing ? input_position() : 0;
  const int64_t ptr = stop - 4 * static_cast<int64_t>(sample < static_cast<uint32_t>(filter)
                                                          ? sample
                                                          : static_cast<uint32_t>(filter));
  int64_t start, end;
  const uint16_t peak = static_cast<uint16_t>(find_track(track, &start, &end));
  if (sample < samples) {
    split_track(track + 1);
  } else {
    // Data the scan could not read was never examined: neither cut nor
    // deleted, it must stay where it is.
    if (input_failed()) error(read_failed);
    normalize = confirm_split(interactive, normalize);
  }
  // Unwinding: the last track is written first, so each track can be cut
  // from the end of the source as soon as it is safe in its own file.
  if (end <= start || !writing) return;
  const std::string base(outfile, outtrack);
  write_track(base.c_str(), {track, ptr, start, end - start, peak, normalize,
                             preserve || track == 1 ? -1 : stop});
}

// Puts `base` at the start of the 260 bytes at `name`, at most the 253
// characters the command line takes, so that two digits and ".WAV" fit
// after it; returns where they go.
static char* put_base(char* name, const char* base) {
  snprintf(name, 254, "%s", base);
  return name + std::strlen(name);
}

frames_read pipe_track(const char* base, int number, int64_t first, int64_t frames) {
  outtrack = put_base(outfile, base);
  write_wave_header(number, 0);  // claims nothing until the frames are in
  frames_read r;
  r.frames = pass_frames(first, frames, true, [&r](const unsigned char* p, size_t n, size_t) {
    raise_peak(r.peak, p, n);
    write_bytes(p, static_cast<int64_t>(4 * n));
  });
  // What came before a failing read is left as it is, claimed by no header.
  if (input_failed()) error(read_failed);
  end_piped_track(static_cast<uint32_t>(r.frames));
  return r;
}

void write_track(const char* base, const track_part& t) {
  outtrack = put_base(outfile, base);
  fprintf(stderr, "Writing new WAVE file of track %u...\n", t.number);
  if (!seek_input(t.first_byte)) error(rewind_failed);
  write_wave_header(t.number, static_cast<uint32_t>(t.frames));
  copy_frames(t.start, t.frames, t.peak, t.normalize);
  close_out_durably();
  tracks_written++;
  if (t.cut_at < 0) return;
  fputs("Deleting the track from the WAVE file...\n", stderr);
  fclose(wave);
  wave = nullptr;
  truncate_file(infile, t.cut_at, &source_id);
  source_id.size = t.cut_at;
  reopen_source();
}

bool confirm_split(bool asking, bool normalizing) {
  fflush(stdout);  // the whole table is in view before the question
  if (!ask("\n\aSplit the file as shown above? (Y/N) ", true, asking)) error(interrupted);
  return ask("Normalize the track volume? (Y/N) ", normalizing, asking);
}

std::string track_file_name(const char* base, int number) {
  char name[260];
  char* const end = put_base(name, base);
  name_track(end, static_cast<size_t>(name + sizeof name - end), number);
  return name;
}

void check_not_overwritten(const char* base, const file_id& source) {
  for (int track = 1; track <= 99; track++) {
    file_id id;
    if (identify(track_file_name(base, track).c_str(), &id) && same_file(id, source))
      error(input_overwritten);
  }
}

void delete_source() {
  file_id now;
  if (!identify(infile, &now) || !source_as_left(now)) error(truncate_failed);
  remove(infile);
}

void split_track_on_the_fly(int track) {
  if (track >= 100) error(too_many_tracks);
  write_wave_header(track, 0);
  int64_t start, end;
  find_track(track, &start, &end);
  // The scan wrote the track and its discarded end.
  end_piped_track(end > start ? static_cast<uint32_t>(end - start) : 0);
  if (sample < samples) split_track_on_the_fly(track + 1);
}
