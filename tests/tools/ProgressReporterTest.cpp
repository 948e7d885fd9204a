// Progress output: plain lines at the start, at each further tenth and at the end of a page
// (what scripts and the Ctrl-C test read), the bar's text on a terminal, and silence.
#include <gtest/gtest.h>

#include <cstdio>

#include "tools/ProgressReporter.h"

namespace {

std::string Captured(FILE* f) {
  std::fflush(f);
  std::rewind(f);
  std::string s;
  char buf[512];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, n);
  return s;
}

TEST(ProgressReporterTest, LinesAtEachTenthOfThePage) {
  FILE* f = std::tmpfile();
  ASSERT_NE(f, nullptr);
  ProgressReporter p(ProgressStyle::Auto, f);  // a file is no terminal
  EXPECT_EQ(p.Style(), ProgressStyle::Lines);
  p.BeginPage(2, 0, 1000);
  for (uint64_t b : {50, 99, 100, 150, 350, 350, 999}) p.Update(b);
  p.EndPage(1000, "p-2.png");
  EXPECT_EQ(Captured(f),
            "page 2: scanning, 1000 bytes expected\n"
            "page 2: 10% (100 of 1000 bytes)\n"
            "page 2: 30% (350 of 1000 bytes)\n"
            "page 2: 90% (999 of 1000 bytes)\n"
            "page 2: done, 1000 bytes -> p-2.png\n");
  std::fclose(f);
}

TEST(ProgressReporterTest, BarTextAndQuiet) {
  EXPECT_EQ(ProgressReporter::Bar(0.5, 10), "[#####     ]");
  EXPECT_EQ(ProgressReporter::Bar(1.7, 4), "[####]");
  EXPECT_EQ(ProgressReporter::Status(3 * 1024 * 1024, 6 * 1024 * 1024, 1536 * 1024, 2, 6),
            " 50% 3.0 MiB of 6.0 MiB  1.5 MiB/s  page 2 of 6");
  EXPECT_EQ(ProgressReporter::Status(512, 2048, 0, 1, 0), " 25% 512 B of 2.0 KiB  -  page 1");

  FILE* f = std::tmpfile();
  ASSERT_NE(f, nullptr);
  ProgressReporter quiet(ProgressStyle::Quiet, f);
  quiet.BeginPage(1, 1, 100);
  quiet.Update(100);
  quiet.EndPage(100, "x.png");
  EXPECT_EQ(Captured(f), "");
  std::fclose(f);
}

}  // namespace
