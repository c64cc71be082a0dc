// The process's testerLink as the monitor core's TesterPort. Where its notices
// are kept is the front end's choice (the window's events, the command line's
// bits), given as two functions.
#pragma once

#include "core/link/tester_port.h"

class LinkPort : public TesterPort {
 public:
  using PendingFn = int (*)();
  using ClearFn = void (*)(int n);
  LinkPort(PendingFn pending, ClearFn clear);

  const CommandChannel& Channel() override { return channel_; }
  bool IsOpen() const override;
  void Close() override;
  int PendingNotice() override { return pending_(); }
  void ClearNotice(int n) override { clear_(n); }
  uint32_t DroppedFrames() const override;

 private:
  CommandChannel channel_;
  PendingFn pending_;
  ClearFn clear_;
};
