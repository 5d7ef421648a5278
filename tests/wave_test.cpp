#include "wave.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "detect.h"
#include "helpers.h"
#include "keldrun.h"
#include "platform.h"

namespace {

using namespace std::string_literals;

const char kInvalidFormat[] = "Invalid WAVE format\\. Must be 16-bit stereo 44100 Hz PCM\\.";

std::string riff_wave(const std::string& chunks) {
  return "RIFF" + th::u32(static_cast<uint32_t>(4 + chunks.size())) + "WAVE" + chunks;
}

const std::string kFmt = th::chunk("fmt ", th::fmt_payload());
// Two frames; the first sample tells whether the walk stopped at the data.
const std::string kData = th::chunk("data", th::u16(0x1234) + th::u16(0xABCD) + "\1\0\2\0"s);

class WaveInput : public testing::Test {
 protected:
  void SetUp() override {
    samples = sample = 0;
    reset_detector();
  }
  void TearDown() override {
    if (wave) fclose(wave);
    wave = nullptr;
  }
  static void feed(const std::string& bytes) { set_input(th::memfile(bytes)); }
};

struct HeaderCase {
  const char* name;
  std::string bytes;
  uint32_t size;  // 0: rejected
};

void PrintTo(const HeaderCase& c, std::ostream* os) {
  *os << c.name;
}

class WaveHeader : public WaveInput, public testing::WithParamInterface<HeaderCase> {};

TEST_P(WaveHeader, AcceptsOrRejects) {
  feed(GetParam().bytes);
  testing::internal::CaptureStderr();
  EXPECT_EQ(read_wave_header(), GetParam().size);
  if (GetParam().size != 0) {
    EXPECT_EQ(read_word(), 0x1234);
  }
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

const HeaderCase kHeaderCases[] = {
    {"Canonical", th::canonical_header(8) + kData.substr(8), 8},
    {"ListBeforeFmt", riff_wave(th::chunk("LIST", "INFOabcd") + kFmt + kData), 8},
    {"ListBetweenFmtAndData", riff_wave(kFmt + th::chunk("LIST", "INFOabcd") + kData), 8},
    {"OddChunksWithPadBytes",
     riff_wave(th::chunk("junk", "abc") + kFmt + th::chunk("odd ", "y") + kData), 8},
    {"DataBeforeFmtThenData", riff_wave(th::chunk("data", "zz") + kFmt + kData), 8},
    {"WrongBytesPerSecAndAlign",
     riff_wave(th::chunk("fmt ", th::fmt_payload(1, 2, 44100, 16, 0, 0)) + kData), 8},
    {"FmtOf18Bytes", riff_wave(th::chunk("fmt ", th::fmt_payload() + "\0\0"s) + kData), 0},
    {"Mono", riff_wave(th::chunk("fmt ", th::fmt_payload(1, 1)) + kData), 0},
    {"EightBit", riff_wave(th::chunk("fmt ", th::fmt_payload(1, 2, 44100, 8)) + kData), 0},
    {"TwentyFourBit", riff_wave(th::chunk("fmt ", th::fmt_payload(1, 2, 44100, 24)) + kData), 0},
    {"Rate48000", riff_wave(th::chunk("fmt ", th::fmt_payload(1, 2, 48000)) + kData), 0},
    {"FloatTag3", riff_wave(th::chunk("fmt ", th::fmt_payload(3)) + kData), 0},
    {"BigEndianRifx", "RIFX" + riff_wave(kFmt + kData).substr(4), 0},
    {"NotWave", "RIFF" + th::u32(4) + "AVI " + kFmt + kData, 0},
    {"Empty", "", 0},
};

INSTANTIATE_TEST_SUITE_P(Table, WaveHeader, testing::ValuesIn(kHeaderCases),
                         [](const auto& info) { return std::string(info.param.name); });

// Runs the header check in a death test's child: exit 1 when it rejects,
// 3 when it accepts; a walk that loops is killed by the alarm.
void check_header_in_child(const std::string& bytes) {
  alarm(2);
  set_input(th::memfile(bytes));
  std::exit(read_wave_header() == 0 ? 1 : 3);
}

TEST(WaveHeaderDeathTest, SkipPastTheEndIsInvalidFormat) {
  // A size of 0xFFFFFFFF must not wrap to a skip of nothing, which would
  // take the end of input for further chunks for ever.
  const std::string huge = "LIST" + th::u32(0xFFFFFFFF);
  for (const std::string& bytes :
       {riff_wave(kData + kFmt), riff_wave(th::chunk("LIST", "ab")), riff_wave(huge),
        riff_wave(huge + "abc" + kFmt + kData), riff_wave(kFmt + huge), "RIFF"s}) {
    EXPECT_EXIT(check_header_in_child(bytes), testing::ExitedWithCode(1), kInvalidFormat);
  }
}

TEST(WaveHeaderDeathTest, EveryTruncationIsRejected) {
  const std::string full = riff_wave(th::chunk("LIST", "abc") + kFmt + th::chunk("fact", "abcd")) +
                           "data" + th::u32(0x08070605);
  const std::string rejected = "^$|"s + kInvalidFormat;
  for (size_t n = 0; n + 4 < full.size(); n++) {
    EXPECT_EXIT(check_header_in_child(full.substr(0, n)), testing::ExitedWithCode(1), rejected)
        << "cut at " << n;
  }
  // Cut inside the data size: the missing bytes read as 0xFF, silently.
  const uint32_t sizes[] = {0xFFFFFFFF, 0xFFFFFF05, 0xFFFF0605, 0xFF070605};
  for (size_t missing = 4; missing >= 1; missing--) {
    samples = 0;
    set_input(th::memfile(full.substr(0, full.size() - missing)));
    testing::internal::CaptureStderr();
    EXPECT_EQ(read_wave_header(), sizes[4 - missing]);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    fclose(wave);
    wave = nullptr;
  }
}

TEST_F(WaveInput, LittleEndianReaders) {
  feed("\x44\xAC\0\0\xFF\xFF\0\x80\xFF\x7F"s);
  EXPECT_EQ(read_dword(), 44100u);
  EXPECT_EQ(read_word(), -1);
  EXPECT_EQ(read_word(), -32768);
  EXPECT_EQ(read_word(), 32767);
}

TEST_F(WaveInput, EndOfInputReadsAsFFAndIsReportedOnce) {
  feed("\1\2\3");
  samples = 5;
  testing::internal::CaptureStderr();
  EXPECT_EQ(read_word(), 0x0201);
  EXPECT_EQ(read_word(), static_cast<int16_t>(0xFF03));
  EXPECT_EQ(samples, 0u);
  // Data arriving after the end is not read: the end is final.
  ASSERT_EQ(pwrite(fileno(wave), "\x10\x20\x30\x40", 4, 3), 4);
  EXPECT_EQ(read_dword(), 0xFFFFFFFFu);
  EXPECT_EQ(read_word(), -1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "\nUnexpected end of WAVE data.\n");

  // While the header is read (samples 0) the end is never reported.
  fclose(wave);
  feed("\1");
  testing::internal::CaptureStderr();
  EXPECT_EQ(read_word(), static_cast<int16_t>(0xFF01));
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

// The frame count is the data size divided by 4; the remainder is never read.
TEST(WaveHeaderRun, DataSizeGivesWholeFrames) {
  struct Case {
    uint32_t declared, present;
    const char* estimate;  // nullptr: no frames, invalid format
  };
  const Case cases[] = {{0, 1, nullptr},
                        {1, 1, nullptr},
                        {2, 1, nullptr},
                        {3, 1, nullptr},
                        {4, 1, "1 samples, 00:00.000"},
                        {14, 3, "3 samples, 00:00.000"}};
  th::TempDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.declared);
    th::write_file(dir / "x.wav",
                   th::canonical_header(c.declared) + th::Rec().silence(c.present).data());
    const auto r = th::run_keldrun({"x.wav", "-"}, dir.path());
    EXPECT_EQ(r.status, 1);
    if (c.estimate) {
      EXPECT_NE(r.err.find("\nEstimated WAVE data length "s + c.estimate + "\n"),
                std::string::npos);
      EXPECT_TRUE(r.err.ends_with("\nNo tracks detected in the WAVE file.\n\a")) << r.err;
      EXPECT_EQ(r.err.find("Unexpected end"), std::string::npos);
    } else {
      EXPECT_EQ(r.err.find("Estimated"), std::string::npos);
      EXPECT_TRUE(r.err.ends_with("\nInvalid WAVE format. Must be 16-bit stereo 44100 Hz PCM.\n\a"))
          << r.err;
    }
  }
}

class WaveOutput : public testing::Test {
 protected:
  void SetUp() override {
    std::snprintf(outfile, sizeof outfile, "%s", (dir / "TRACK").c_str());
    outtrack = outfile + std::strlen(outfile);
  }
  void TearDown() override { close_track(); }
  static void close_track() {
    if (!out) return;
    flush_out();
    fclose(out);
    out = nullptr;
  }
  th::TempDir dir;
};

TEST_F(WaveOutput, HeaderAndFramesOfTrackThree) {
  write_wave_header(3, 1000);
  th::Rec rec;
  for (int16_t i = 0; i < 1000; i++) {
    rec.frame(i, static_cast<int16_t>(-i));
    write_frame(i, static_cast<int16_t>(-i));
  }
  close_track();
  const std::string bytes = th::read_file(dir / "TRACK03.WAV");
  ASSERT_EQ(bytes.size(), 4044u);
  EXPECT_EQ(bytes.substr(0, 44),
            "RIFF" + th::u32(4036) +
                "WAVEfmt \x10\0\0\0\1\0\2\0\x44\xAC\0\0\x10\xB1\2\0\4\0\x10\0"s + "data" +
                th::u32(4000));
  EXPECT_EQ(bytes.substr(44), rec.data());
}

TEST_F(WaveOutput, TrackNumberReplacesTheDigits) {
  th::write_file(dir / "TRACK09.WAV", std::string(100, 'x'));
  for (int track : {9, 10, 99, 1}) {
    write_wave_header(track, 0);
    close_track();
  }
  EXPECT_EQ(std::string(outfile), dir / "TRACK01.WAV");
  for (const char* name : {"TRACK09.WAV", "TRACK10.WAV", "TRACK99.WAV", "TRACK01.WAV"})
    EXPECT_EQ(th::read_file(dir / name), th::canonical_header(0)) << name;
}

TEST_F(WaveOutput, LittleEndianWritersInOrder) {
  write_wave_header(1, 0);
  write_word(-2);
  write_word(258);
  write_dword(44100);
  const std::string big(70000, 'b');  // larger than the write buffer
  write_bytes("ab", 2);
  write_bytes(big.data(), static_cast<int64_t>(big.size()));
  write_bytes("z", 1);
  write_bytes("q", 0);
  write_bytes("q", -1);
  close_track();
  EXPECT_EQ(th::read_file(dir / "TRACK01.WAV").substr(44),
            "\xFE\xFF\x02\x01\x44\xAC\0\0ab"s + big + "z");
}

TEST(TruncateFile, CutsInPlace) {
  th::TempDir dir;
  const std::string name = dir / "src.wav", content = "0123456789";
  for (int64_t pos : {0, 4, 10}) {
    th::write_file(name, content);
    file_id before, after;
    ASSERT_TRUE(identify(name.c_str(), &before));
    truncate_file(name.c_str(), pos, pos == 4 ? &before : nullptr);
    EXPECT_EQ(th::read_file(name), content.substr(0, static_cast<size_t>(pos)));
    ASSERT_TRUE(identify(name.c_str(), &after));
    EXPECT_TRUE(same_file(before, after));
  }
}

// A refusal creates nothing and leaves the file as it was.
TEST(TruncateFileDeathTest, RefusesWithoutTouchingAnything) {
  th::TempDir dir;
  const std::string name = dir / "src.wav", other = dir / "other.wav", gone = dir / "gone.wav",
                    content = "0123456789";
  th::write_file(name, content);
  th::write_file(other, content);
  file_id id, other_id;
  ASSERT_TRUE(identify(name.c_str(), &id) && identify(other.c_str(), &other_id));
  file_id shorter = id;
  shorter.size = 9;
  const std::tuple<std::string, const file_id*, int64_t> cases[] = {
      {gone, nullptr, 0}, {name, &other_id, 2}, {name, &shorter, 2},
      {name, &id, 11},    {name, nullptr, -1},
  };
  for (const auto& [file, expect, pos] : cases) {
    EXPECT_EXIT(truncate_file(file.c_str(), pos, expect), testing::ExitedWithCode(1),
                "Failed to remove the track from WAVE file\\.");
  }
  EXPECT_FALSE(th::file_exists(gone));
  EXPECT_EQ(th::read_file(name), content);
}

}  // namespace
