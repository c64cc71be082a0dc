// The resolved D2XX entry points (Win32 code only).
#pragma once

#include "core/d2xx/d2xx_abi.h"

struct D2xxApi {
  FT_ListDevices_t ListDevices;
  FT_W32_CreateFile_t W32_CreateFile;
  FT_SetBaudRate_t SetBaudRate;
  FT_SetDataCharacteristics_t SetDataCharacteristics;
  FT_SetTimeouts_t SetTimeouts;
  FT_W32_ReadFile_t W32_ReadFile;
  FT_W32_WriteFile_t W32_WriteFile;
  FT_W32_GetOverlappedResult_t W32_GetOverlappedResult;
  FT_Close_t Close;
  // Optional: older libraries lack them, and the link then runs at the
  // bridge's default latency. Null when missing.
  FT_SetLatencyTimer_t SetLatencyTimer;
  FT_GetLatencyTimer_t GetLatencyTimer;
  FT_SetChars_t SetChars;
  // Optional: the error of the last failed W32 call on a handle (null when the
  // library lacks it; the thread's last error is used instead).
  FT_W32_GetLastError_t W32_GetLastError;
};

// The loaded library's entry points, or null when it or any required entry
// point is missing. Loads once, on first use, from any thread.
const D2xxApi* D2xx();

// For tests: use these entry points instead of loading a library (null goes
// back to loading). Not for use while a link is open.
void D2xxUseApiForTesting(const D2xxApi* api);
