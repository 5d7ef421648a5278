// The header walk, in the process: what it accepts and rejects, every
// truncation of a header, and the refusals of the in-place cut.
#include "wave.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>

#include "core.h"
#include "helpers.h"
#include "platform.h"

namespace {

using namespace std::string_literals;

std::string riff_wave(const std::string& chunks) {
  return "RIFF" + th::u32(static_cast<uint32_t>(4 + chunks.size())) + "WAVE" + chunks;
}

const std::string kFmt = th::chunk("fmt ", th::fmt_payload());
// Two frames; the first sample tells whether the walk stopped at the data.
const std::string kData = th::chunk("data", th::u16(0x1234) + "\xCD\xAB\1\0\2\0"s);

// In a child, so that the fatal path can be taken: exit 3 when the header is
// accepted and the first sample read, 2 when rejected, 1 when the walk ran
// past the end (invalid_format); an endless walk is killed by the alarm.
[[noreturn]] void check_header(const std::string& bytes, uint32_t size) {
  alarm(2);
  reset_state({});
  set_input(th::memfile(bytes));
  const uint32_t got = read_wave_header();
  std::exit(got == 0 ? 2 : got == size && read_word() == 0x1234 ? 3 : 4);
}

TEST(WaveHeaderDeathTest, AcceptsOrRejects) {
  const std::string huge = "LIST" + th::u32(0xFFFFFFFF);
  const struct {
    std::string bytes;
    int exit;  // 3 accepted, 2 rejected, 1 ran past the end
  } cases[] = {
      {th::canonical_header(8) + kData.substr(8), 3},
      {riff_wave(th::chunk("LIST", "INFOabcd") + kFmt + kData), 3},
      {riff_wave(kFmt + th::chunk("LIST", "INFOabcd") + kData), 3},
      {riff_wave(th::chunk("junk", "abc") + kFmt + th::chunk("odd ", "y") + kData), 3},  // pads
      {riff_wave(th::chunk("data", "zz") + kFmt + kData), 3},  // data before fmt is skipped
      {riff_wave(th::chunk("fmt ", th::fmt_payload(1, 2, 44100, 16, 0)) + kData), 3},
      {riff_wave(th::chunk("fmt ", th::fmt_payload() + "\0\0"s) + kData), 2},  // 18 bytes
      {riff_wave(th::chunk("fmt ", th::fmt_payload(1, 1)) + kData), 2},
      {riff_wave(th::chunk("fmt ", th::fmt_payload(1, 2, 44100, 8)) + kData), 2},
      {riff_wave(th::chunk("fmt ", th::fmt_payload(1, 2, 44100, 24)) + kData), 2},
      {riff_wave(th::chunk("fmt ", th::fmt_payload(1, 2, 48000)) + kData), 2},
      {riff_wave(th::chunk("fmt ", th::fmt_payload(3)) + kData), 2},
      {"RIFX" + riff_wave(kFmt + kData).substr(4), 2},
      {"RIFF" + th::u32(4) + "AVI " + kFmt + kData, 2},
      {"", 2},
      // Skips that run past the end, never wrapping to a skip of nothing.
      {riff_wave(kData + kFmt), 1},
      {riff_wave(huge), 1},
      {riff_wave(huge + "abc" + kFmt + kData), 1},
      {riff_wave(kFmt + huge), 1},
  };
  for (const auto& c : cases)
    EXPECT_EXIT(check_header(c.bytes, 8), testing::ExitedWithCode(c.exit), "")
        << testing::PrintToString(c.bytes);
}

TEST(WaveHeaderDeathTest, EveryTruncationIsRejected) {
  const std::string full = riff_wave(th::chunk("LIST", "abc") + kFmt + th::chunk("fact", "abcd")) +
                           "data" + th::u32(0x08070605);
  const auto rejected = [](int status) { return WIFEXITED(status) && WEXITSTATUS(status) <= 2; };
  for (size_t n = 0; n + 4 < full.size(); n++)
    EXPECT_EXIT(check_header(full.substr(0, n), 0), rejected, "^$|Invalid WAVE format")
        << "cut at " << n;
  // Cut inside the data size: the missing bytes read as 0xFF, silently.
  for (uint32_t missing = 1; missing <= 4; missing++) {
    reset_state({});
    set_input(th::memfile(full.substr(0, full.size() - missing)));
    testing::internal::CaptureStderr();
    EXPECT_EQ(read_wave_header(), 0x08070605u | ~0u << (32 - 8 * missing));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    close_recording();
  }
}

// The cut refuses, creating and changing nothing, whatever is wrong.
TEST(TruncateFileDeathTest, RefusesWithoutTouchingAnything) {
  th::TempDir dir;
  const std::string name = dir / "src.wav", other = dir / "other.wav", gone = dir / "gone.wav";
  th::write_file(name, "0123456789");
  th::write_file(other, "0123456789");
  file_id id, other_id;
  ASSERT_TRUE(identify(name.c_str(), &id) && identify(other.c_str(), &other_id));
  file_id shorter = id;
  shorter.size = 9;
  const struct {
    std::string file;
    const file_id* expect;
    int64_t pos;
  } cases[] = {{gone, nullptr, 0},
               {name, &other_id, 2},
               {name, &shorter, 2},
               {name, &id, 11},
               {name, nullptr, -1}};
  for (const auto& c : cases)
    EXPECT_EXIT(truncate_file(c.file.c_str(), c.pos, c.expect), testing::ExitedWithCode(1),
                "Failed to remove the track from WAVE file\\.");
  EXPECT_EQ(th::files_in(dir.path()), (std::map<std::string, std::string>{
                                          {"other.wav", "0123456789"}, {"src.wav", "0123456789"}}));
  truncate_file(name.c_str(), 4, &id);
  EXPECT_EQ(th::read_file(name), "0123");
}

}  // namespace
