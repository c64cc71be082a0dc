#include "core/link/link_port_win.h"

#include "core/link/tester_link_win.h"

LinkPort::LinkPort(TesterLink& link, PendingFn pending, ClearFn clear)
    : link_(link), pending_(pending), clear_(clear) {
  channel_.exchange = [this](const uint8_t* frame, size_t length, uint8_t expected, ReplyBody& reply) {
    return link_.Exchange(frame, length, expected, reply);
  };
  channel_.sleep = [](uint32_t ms) { Sleep(ms); };
  channel_.post = [this](const uint8_t* frame, size_t length) { return link_.Post(frame, length); };
  channel_.collect = [this](uint8_t expected, ReplyBody& reply) { return link_.Collect(expected, reply); };
}

bool LinkPort::IsOpen() const { return link_.IsOpen() && !link_.Lost(); }
void LinkPort::Close() { link_.Close(); }
int LinkPort::PendingNotice() { return pending_ ? pending_() : link_.PendingNotice(); }
void LinkPort::ClearNotice(int n) { clear_ ? clear_(n) : link_.ClearNotice(n); }
uint32_t LinkPort::DroppedFrames() const { return link_.DroppedFrames(); }
