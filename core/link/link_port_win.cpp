#include "core/link/link_port_win.h"

#include "core/link/tester_link_win.h"

LinkPort::LinkPort(PendingFn pending, ClearFn clear) : pending_(pending), clear_(clear) {
  channel_.exchange = [](const uint8_t* frame, size_t length, uint8_t expected, ReplyBody& reply) {
    return testerLink.Exchange(frame, length, expected, reply);
  };
  channel_.sleep = [](uint32_t ms) { Sleep(ms); };
  channel_.post = [](const uint8_t* frame, size_t length) { return testerLink.Post(frame, length); };
  channel_.collect = [](uint8_t expected, ReplyBody& reply) { return testerLink.Collect(expected, reply); };
}

bool LinkPort::IsOpen() const { return testerLink.IsOpen() && !testerLink.Lost(); }
void LinkPort::Close() { testerLink.Close(); }
uint32_t LinkPort::DroppedFrames() const { return testerLink.DroppedFrames(); }
