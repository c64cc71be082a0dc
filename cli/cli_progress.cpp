#include "cli/cli_progress.h"

#include <chrono>
#include <cstdio>

#ifdef _WIN32
#include <io.h>
#define isatty _isatty
#define STDERR_FILENO 2
#else
#include <unistd.h>
#endif

namespace {

int64_t Now() {
  return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

constexpr int kLineWidth = 79;
constexpr int kBarWidth = 20;

}  // namespace

Progress::Progress() : Progress(true) {}

Progress::Progress(bool allowed) : shown_(allowed && isatty(STDERR_FILENO) != 0), startUs_(Now()) {}

Progress::Progress(std::function<void()> onTick) : startUs_(Now()), onTick_(std::move(onTick)) {}

void Progress::Profile(int k, int n, const std::string& label) {
  profile_ = k;
  profiles_ = n;
  label_ = label;
  step_ = steps_ = 0;
  Draw();
}

void Progress::Phase(const std::string& phase) {
  phase_ = phase;
  step_ = steps_ = 0;
  Draw();
}

void Progress::Step(int i, int m) {
  step_ = i;
  steps_ = m;
  Tick();
}

void Progress::Tick() {
  if (onTick_) onTick_();
  if (shown_ && Now() - drawnUs_ >= 100000) Draw();
}

std::string Progress::Line(int width) const {
  // The bar counts whole profiles and the steps of the one under way.
  double done = 0.0;
  if (profiles_ > 0) {
    done = (profile_ - 1 + (steps_ > 0 ? static_cast<double>(step_) / steps_ : 0.0)) / profiles_;
  } else if (steps_ > 0) {
    done = static_cast<double>(step_) / steps_;
  }
  if (done < 0.0) done = 0.0;
  if (done > 1.0) done = 1.0;
  const int filled = static_cast<int>(done * kBarWidth + 0.5);
  std::string line = "[" + std::string(filled, '#') + std::string(kBarWidth - filled, '.') + "]";
  char text[160];
  if (profiles_ > 0) {
    std::snprintf(text, sizeof text, " profile %d of %d %s", profile_, profiles_, label_.c_str());
    line += text;
  }
  if (!phase_.empty()) line += " " + phase_;
  if (steps_ > 0) {
    std::snprintf(text, sizeof text, " step %d of %d", step_, steps_);
    line += text;
  }
  const long long seconds = (Now() - startUs_) / 1000000;
  std::snprintf(text, sizeof text, "  %lld:%02lld", seconds / 60, seconds % 60);
  const std::string clock = text;
  if (static_cast<int>(line.size() + clock.size()) > width) line.resize(width > static_cast<int>(clock.size()) ? width - clock.size() : 0);
  return line + clock;
}

void Progress::Draw() {
  if (!shown_) return;
  // Padded with blanks over the previous line: no terminal escapes needed.
  std::string line = Line(kLineWidth);
  line.resize(kLineWidth, ' ');
  std::fprintf(stderr, "\r%s", line.c_str());
  std::fflush(stderr);
  drawn_ = true;
  drawnUs_ = Now();
}

void Progress::Clear() {
  if (!shown_ || !drawn_) return;
  std::fprintf(stderr, "\r%s\r", std::string(kLineWidth, ' ').c_str());
  std::fflush(stderr);
  drawn_ = false;
}
