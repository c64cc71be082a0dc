// The D2XX library, loaded at run time from ftd2xx.dll beside the program (or
// from System32, never from the current folder or PATH). A missing library or
// required entry point is logged once as an ERROR; listing then finds no
// devices and every call fails cleanly.
#pragma once

#include <cstddef>

// Number of attached D2XX devices; 0 when the library is unavailable.
int D2xxDeviceCount();
// Serial number of the device at `index` as an 8-bit string, cut to fit
// `outSize` and always terminated. False (and out emptied) on failure.
bool D2xxSerialAt(int index, char* out, size_t outSize);
// True when the library and all its required entry points are loaded (loads on
// first use); the latency timer and event character calls are optional.
bool D2xxAvailable();

// For tests: the file name to load instead of ftd2xx.dll. Forgets a library
// loaded before, so that the next use loads (and logs) afresh. Not for use while
// a link is open.
void D2xxSetLibraryName(const wchar_t* fileName);
