#include <gtest/gtest.h>

#include "helpers.h"

// The worked example: 1 s silence, 10 s loud, 3 s silence, 5 s loud.
TEST(EndToEnd, WorkedExampleListing) {
  th::TempDir dir;
  th::Rec rec;
  rec.silence(44100).level(10000, 441000).silence(132300).level(10000, 220500);
  th::write_file(dir / "ex.wav", rec.wave());
  const auto r = th::run_keldrun({"ex.wav", "-"}, dir.path());
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("\r1\t00:00.999\t00:11.999\t00:11.000\t0.305\n"
                       "\r2\t00:13.999\t00:16.999\t00:02.999\t0.305\n"),
            std::string::npos);
  EXPECT_EQ(th::read_file(dir / "ex.wav"), rec.wave());
}
