// Control updates from worker threads without waiting for the user-interface
// thread: the update is queued and applied by the main window's thread, so a
// busy user-interface thread never stalls the monitor loop or a test.
#pragma once

#include <windows.h>

#include <functional>

// Runs `action` on the user-interface thread: at once when called there,
// otherwise queued and applied when the main window next reads its messages.
void RunOnUiThread(std::function<void()> action);

// Sets a main-window control's text (copied) on the user-interface thread;
// of several texts queued for one control only the newest is applied.
void PostControlText(int controlId, const wchar_t* text);

// Applies every queued action (called by the main window for kMsgRunUiActions).
void RunQueuedUiActions();

bool OnUiThread();
