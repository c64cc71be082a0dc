// The progress line of a sweep or report on standard error, when standard
// error is a terminal: profile k of n, the test under way with its step i of
// m, and the elapsed time. Quiet otherwise (a pipe, a file, a CI log).
#pragma once

#include <cstdint>
#include <functional>
#include <string>

class Progress {
 public:
  Progress();
  // `allowed` false keeps it quiet (a tester's report among several, each on its own thread).
  explicit Progress(bool allowed);
  // Never drawn: `onTick` is called at every tick instead (a server looks at
  // its client while a run goes on).
  explicit Progress(std::function<void()> onTick);
  ~Progress() { Clear(); }
  bool Shown() const { return shown_; }

  void Profile(int k, int n, const std::string& label);
  void Phase(const std::string& phase);  // "ripple", "sweep", "switching"
  void Step(int i, int m);
  // Redraws when a tenth of a second has passed since the last drawing.
  void Tick();
  // Takes the line away (before other output and at the end).
  void Clear();

  // The line as it is drawn, at most `width` characters.
  std::string Line(int width) const;

 private:
  void Draw();

  bool shown_ = false;
  bool drawn_ = false;
  int64_t startUs_ = 0;
  int64_t drawnUs_ = 0;
  int profile_ = 0, profiles_ = 0, step_ = 0, steps_ = 0;
  std::string label_, phase_;
  std::function<void()> onTick_;
};
