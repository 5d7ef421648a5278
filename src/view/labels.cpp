#include "labels.h"

#include <cinttypes>
#include <cstdio>

namespace {

// Frames as seconds, rounded to the microsecond in whole numbers.
std::string seconds(int64_t frames) {
  const int64_t us = (frames * 2000000 + 44100) / 88200;
  char text[32];
  std::snprintf(text, sizeof text, "%" PRId64 ".%06" PRId64, us / 1000000, us % 1000000);
  return text;
}

}  // namespace

std::string label_text(const std::vector<track>& tracks) {
  std::string text;
  char name[16];
  for (const track& t : tracks) {
    std::snprintf(name, sizeof name, "Track %02d", t.number);
    text += seconds(t.start) + "\t" + seconds(t.end) + "\t" + name + "\n";
  }
  return text;
}

std::string labels_name(const std::string& page) {
  const std::string html = ".html";
  const bool ends =
      page.size() > html.size() && page.compare(page.size() - html.size(), html.size(), html) == 0;
  return (ends ? page.substr(0, page.size() - html.size()) : page) + ".txt";
}
