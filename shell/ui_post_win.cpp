#include "shell/ui_post_win.h"

#include <deque>
#include <mutex>
#include <string>
#include <utility>

#include "shell/app_win.h"

namespace {
std::mutex queueLock;
std::deque<std::function<void()>> queue;
}  // namespace

bool OnUiThread() { return GetCurrentThreadId() == uiThreadId; }

void RunOnUiThread(std::function<void()> action) {
  if (OnUiThread()) {
    action();
    return;
  }
  bool wasEmpty;
  {
    std::lock_guard<std::mutex> guard(queueLock);
    wasEmpty = queue.empty();
    queue.push_back(std::move(action));
  }
  if (wasEmpty && mainWindow) PostMessageW(mainWindow, kMsgRunUiActions, 0, 0);
}

void PostControlText(int controlId, const wchar_t* text) {
  RunOnUiThread([controlId, copy = std::wstring(text ? text : L"")] {
    if (mainWindow) SetDlgItemTextW(mainWindow, controlId, copy.c_str());
  });
}

void RunQueuedUiActions() {
  std::deque<std::function<void()>> batch;
  {
    std::lock_guard<std::mutex> guard(queueLock);
    batch.swap(queue);
  }
  for (auto& action : batch) action();
}
