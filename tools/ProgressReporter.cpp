#include "tools/ProgressReporter.h"

#include <unistd.h>

#include <algorithm>

ProgressReporter::ProgressReporter(ProgressStyle style, FILE* out) : style_(style), out_(out) {
  if (style_ == ProgressStyle::Auto) style_ = ::isatty(::fileno(out)) ? ProgressStyle::Bar : ProgressStyle::Lines;
}

std::string ProgressReporter::Bytes(uint64_t n) {
  char buf[32];
  if (n < 1024) std::snprintf(buf, sizeof buf, "%llu B", static_cast<unsigned long long>(n));
  else if (n < 1024 * 1024) std::snprintf(buf, sizeof buf, "%.1f KiB", n / 1024.0);
  else std::snprintf(buf, sizeof buf, "%.1f MiB", n / (1024.0 * 1024.0));
  return buf;
}

std::string ProgressReporter::Bar(double fraction, int width) {
  fraction = std::min(1.0, std::max(0.0, fraction));
  const int filled = static_cast<int>(fraction * width);
  return "[" + std::string(filled, '#') + std::string(width - filled, ' ') + "]";
}

std::string ProgressReporter::Status(uint64_t bytes, uint64_t expected, double bytesPerSecond, unsigned page,
                                     unsigned pages) {
  char buf[160];
  const unsigned percent = expected ? static_cast<unsigned>(std::min<uint64_t>(100, bytes * 100 / expected)) : 0;
  std::string rate = bytesPerSecond > 0 ? Bytes(static_cast<uint64_t>(bytesPerSecond)) + "/s" : "-";
  std::string pageText = "page " + std::to_string(page) + (pages ? " of " + std::to_string(pages) : "");
  std::snprintf(buf, sizeof buf, "%3u%% %s of %s  %s  %s", percent, Bytes(bytes).c_str(), Bytes(expected).c_str(),
                rate.c_str(), pageText.c_str());
  return buf;
}

void ProgressReporter::BeginPage(unsigned page, unsigned pages, uint64_t expectedBytes) {
  page_ = page;
  pages_ = pages;
  expected_ = expectedBytes;
  bytes_ = 0;
  lastTenth_ = 0;
  lastPercent_ = -1;
  start_ = lastDraw_ = std::chrono::steady_clock::now();
  if (style_ == ProgressStyle::Lines) {
    std::fprintf(out_, "page %u%s: scanning, %llu bytes expected\n", page,
                 pages ? (" of " + std::to_string(pages)).c_str() : "", static_cast<unsigned long long>(expectedBytes));
    std::fflush(out_);
  } else if (style_ == ProgressStyle::Bar) {
    Draw(true);
  }
}

void ProgressReporter::Update(uint64_t bytes) {
  bytes_ = bytes;
  if (style_ == ProgressStyle::Lines) {
    const int tenth = expected_ ? static_cast<int>(std::min<uint64_t>(10, bytes * 10 / expected_)) : 0;
    if (tenth > lastTenth_ && tenth < 10) {
      lastTenth_ = tenth;
      std::fprintf(out_, "page %u: %d%% (%llu of %llu bytes)\n", page_, tenth * 10,
                   static_cast<unsigned long long>(bytes), static_cast<unsigned long long>(expected_));
      std::fflush(out_);
    }
  } else if (style_ == ProgressStyle::Bar) {
    Draw(false);
  }
}

void ProgressReporter::Draw(bool force) {
  const auto now = std::chrono::steady_clock::now();
  const int percent = expected_ ? static_cast<int>(std::min<uint64_t>(100, bytes_ * 100 / expected_)) : 0;
  if (!force && percent == lastPercent_ && now - lastDraw_ < std::chrono::milliseconds(200)) return;
  lastPercent_ = percent;
  lastDraw_ = now;
  const double seconds = std::chrono::duration<double>(now - start_).count();
  const double rate = seconds > 0.05 ? bytes_ / seconds : 0;
  std::fprintf(out_, "\r%s %s\033[K", Bar(expected_ ? double(bytes_) / expected_ : 0, 30).c_str(),
               Status(bytes_, expected_, rate, page_, pages_).c_str());
  std::fflush(out_);
  barShown_ = true;
}

void ProgressReporter::EndPage(uint64_t bytes, const std::string& file) {
  bytes_ = bytes;
  if (style_ == ProgressStyle::Quiet) return;
  if (style_ == ProgressStyle::Bar) {
    Draw(true);
    std::fputc('\n', out_);
    barShown_ = false;
  }
  std::fprintf(out_, "page %u: done, %llu bytes -> %s\n", page_, static_cast<unsigned long long>(bytes), file.c_str());
  std::fflush(out_);
}

void ProgressReporter::Note(const std::string& text) {
  if (barShown_) {
    std::fputc('\n', out_);
    barShown_ = false;
  }
  std::fprintf(out_, "%s\n", text.c_str());
  std::fflush(out_);
}
