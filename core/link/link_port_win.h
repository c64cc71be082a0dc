// A TesterLink as the monitor core's TesterPort. Its notices are the link's own
// (each tester's apart), unless the front end keeps them elsewhere (the
// window's events) and gives the two functions that read and clear them.
#pragma once

#include "core/link/tester_port.h"

class TesterLink;

class LinkPort : public TesterPort {
 public:
  using PendingFn = int (*)();
  using ClearFn = void (*)(int n);
  explicit LinkPort(TesterLink& link, PendingFn pending = nullptr, ClearFn clear = nullptr);

  const CommandChannel& Channel() override { return channel_; }
  bool IsOpen() const override;
  void Close() override;
  int PendingNotice() override;
  void ClearNotice(int n) override;
  uint32_t DroppedFrames() const override;

 private:
  TesterLink& link_;
  CommandChannel channel_;
  PendingFn pending_;
  ClearFn clear_;
};
