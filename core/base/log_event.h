// Logging entry points used by every subsystem, from any thread.
#pragma once

#include <cstdint>

class Logger;

// The one event log of the process; null before start-up creates it.
extern Logger* eventLog;

// Adds a record to eventLog (if it exists) and tells the log window, if one is
// attached, that it has to show the newest records. Never blocks on the
// user-interface thread.
void LogEvent(const wchar_t* text, int32_t category);
// Formats with one argument into a 300-character buffer, then LogEvent.
void LogEventInt(const wchar_t* format, int value, int32_t category);
void LogEventText(const wchar_t* format, const wchar_t* value, int32_t category);

// Called after every add and clear; the log window installs it.
using LogChangedHook = void (*)();
void SetLogChangedHook(LogChangedHook hook);
