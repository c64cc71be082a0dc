// Our own declarations of the D2XX calls the program uses, written from the
// library's published signatures (64-bit Windows ABI). Shared by the program's
// loader and by the simulated tester's stand-in DLL, which exports them.
#pragma once

#include <windows.h>

using FT_HANDLE = void*;
using FT_STATUS = ULONG;

constexpr FT_STATUS FT_OK = 0;
constexpr FT_STATUS FT_INVALID_HANDLE = 1;
constexpr FT_STATUS FT_DEVICE_NOT_FOUND = 2;
constexpr FT_STATUS FT_DEVICE_NOT_OPENED = 3;
constexpr FT_STATUS FT_IO_ERROR = 4;
constexpr FT_STATUS FT_INVALID_PARAMETER = 6;
constexpr FT_STATUS FT_INVALID_BAUD_RATE = 7;
constexpr FT_STATUS FT_OTHER_ERROR = 18;

// FT_ListDevices flags.
constexpr DWORD FT_LIST_NUMBER_ONLY = 0x80000000;
constexpr DWORD FT_LIST_BY_INDEX = 0x40000000;
constexpr DWORD FT_LIST_ALL = 0x20000000;
// Open flags (also combined into FT_W32_CreateFile's attribute word).
constexpr DWORD FT_OPEN_BY_SERIAL_NUMBER = 1;
constexpr DWORD FT_OPEN_BY_DESCRIPTION = 2;

constexpr UCHAR FT_BITS_8 = 8;
constexpr UCHAR FT_STOP_BITS_1 = 0;
constexpr UCHAR FT_PARITY_NONE = 0;

extern "C" {
using FT_ListDevices_t = FT_STATUS(WINAPI*)(PVOID arg1, PVOID arg2, DWORD flags);
using FT_W32_CreateFile_t = FT_HANDLE(WINAPI*)(const char* name, DWORD access, DWORD shareMode,
                                               LPSECURITY_ATTRIBUTES security, DWORD creation, DWORD flags,
                                               HANDLE templateFile);
using FT_SetBaudRate_t = FT_STATUS(WINAPI*)(FT_HANDLE handle, ULONG baudRate);
using FT_SetDataCharacteristics_t = FT_STATUS(WINAPI*)(FT_HANDLE handle, UCHAR wordLength, UCHAR stopBits,
                                                       UCHAR parity);
using FT_SetTimeouts_t = FT_STATUS(WINAPI*)(FT_HANDLE handle, ULONG readTimeoutMs, ULONG writeTimeoutMs);
using FT_W32_ReadFile_t = BOOL(WINAPI*)(FT_HANDLE handle, LPVOID buffer, DWORD bytesToRead, LPDWORD bytesRead,
                                        LPOVERLAPPED overlapped);
using FT_W32_WriteFile_t = BOOL(WINAPI*)(FT_HANDLE handle, LPVOID buffer, DWORD bytesToWrite, LPDWORD bytesWritten,
                                         LPOVERLAPPED overlapped);
using FT_W32_GetOverlappedResult_t = BOOL(WINAPI*)(FT_HANDLE handle, LPOVERLAPPED overlapped,
                                                   LPDWORD bytesTransferred, BOOL wait);
using FT_Close_t = FT_STATUS(WINAPI*)(FT_HANDLE handle);
// The bridge's latency timer (ms) and its special characters.
using FT_SetLatencyTimer_t = FT_STATUS(WINAPI*)(FT_HANDLE handle, UCHAR timerMs);
using FT_GetLatencyTimer_t = FT_STATUS(WINAPI*)(FT_HANDLE handle, PUCHAR timerMs);
using FT_SetChars_t = FT_STATUS(WINAPI*)(FT_HANDLE handle, UCHAR eventChar, UCHAR eventCharEnabled, UCHAR errorChar,
                                         UCHAR errorCharEnabled);
using FT_W32_GetLastError_t = DWORD(WINAPI*)(FT_HANDLE handle);
}
