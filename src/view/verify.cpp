#include "verify.h"

namespace {

// Whether `input` is still the file of recording `first`, at its length.
bool unchanged(const std::string& input, const recording& first) {
  file_id now;
  return first.known && identify(input.c_str(), &now) && same_file(now, first.id) &&
         now.size == first.id.size;
}

}  // namespace

verdict verify(const std::string& input, const recording& first, candidate& shown) {
  if (!unchanged(input, first)) return verdict::changed;
  const bool same = open_recording(input.c_str()).frames == first.frames;
  const listing real = same ? list_tracks(shown.s) : listing{};
  close_recording();
  if (!same) return verdict::changed;
  const bool agree = real.rows() == shown.table.rows() && real.too_many == shown.table.too_many &&
                     real.no_sound == shown.table.no_sound;
  if (shown.modelled && !agree)
    return unchanged(input, first) ? verdict::disagrees : verdict::changed;
  shown.table = real;
  shown.verified = true;
  return verdict::agrees;
}
