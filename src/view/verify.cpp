#include "verify.h"

#include <algorithm>
#include <variant>

#include "list.h"
#include "plan.h"

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

verdict verify(const std::string& input, const recording& first, const std::string& labels,
               cut_plan& p) {
  const auto read = read_plan(labels, first.frames);
  const plan* named = std::get_if<plan>(&read);
  const auto same_tracks = [&p](const auto& tracks) {
    return std::equal(
        tracks.begin(), tracks.end(), p.sides.tracks.begin(), p.sides.tracks.end(),
        [](const auto& x, const side_track& y) { return x.start == y.start && x.end == y.end; });
  };
  if (!named || !same_tracks(named->tracks)) return verdict::disagrees;
  if (!unchanged(input, first)) return verdict::changed;
  const bool same = open_recording(input.c_str()).frames == first.frames;
  const listing rows = same ? list_plan(*named) : listing{};
  close_recording();
  // The data read before holds every track, whole.
  if (!same || !unchanged(input, first) || !same_tracks(rows.tracks)) return verdict::changed;
  p.table = rows;
  p.verified = true;
  return verdict::agrees;
}
