#include "window/shell/ui_post_win.h"

#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <utility>

#include "window/shell/app_win.h"

namespace {

std::mutex queueLock;
std::deque<std::function<void()>> queue;
// Texts waiting for their controls: only the newest text of each control is
// kept, so a fast producer (the monitor loop polls about every 7 ms while the
// real-time graph runs) never piles up work for the user-interface thread.
std::map<int, std::wstring> pendingTexts;
bool applyPosted = false;

// Called with queueLock held.
void RequestApply() {
  if (applyPosted || !mainWindow) return;
  applyPosted = PostMessageW(mainWindow, kMsgRunUiActions, 0, 0) != 0;
}

}  // namespace

bool OnUiThread() { return GetCurrentThreadId() == uiThreadId; }

void RunOnUiThread(std::function<void()> action) {
  if (OnUiThread()) {
    action();
    return;
  }
  std::lock_guard<std::mutex> guard(queueLock);
  queue.push_back(std::move(action));
  RequestApply();
}

void PostControlText(int controlId, const wchar_t* text) {
  if (OnUiThread()) {
    if (mainWindow) SetDlgItemTextW(mainWindow, controlId, text ? text : L"");
    return;
  }
  std::lock_guard<std::mutex> guard(queueLock);
  pendingTexts[controlId] = text ? text : L"";
  RequestApply();
}

void RunQueuedUiActions() {
  std::deque<std::function<void()>> actions;
  std::map<int, std::wstring> texts;
  {
    std::lock_guard<std::mutex> guard(queueLock);
    actions.swap(queue);
    texts.swap(pendingTexts);
    applyPosted = false;
  }
  for (auto& action : actions) action();
  if (!mainWindow) return;
  for (const auto& [id, text] : texts) SetDlgItemTextW(mainWindow, id, text.c_str());
}
