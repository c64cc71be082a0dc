#include "core/base/device_path.h"

namespace {

wchar_t AsciiUpper(wchar_t c) { return (c >= L'a' && c <= L'z') ? static_cast<wchar_t>(c - L'a' + L'A') : c; }

}  // namespace

DevicePathResult ParseTesterDevicePath(const wchar_t* path, wchar_t* serial, size_t serialChars) {
  if (serial && serialChars > 0) serial[0] = 0;
  if (!path) return DevicePathResult::OtherDevice;
  for (size_t i = 0; i < kTesterPathPrefixChars; ++i) {
    // A shorter path ends with its terminator, which never matches the prefix.
    if (AsciiUpper(path[i]) != AsciiUpper(kTesterPathPrefix[i])) return DevicePathResult::OtherDevice;
  }
  const wchar_t* start = path + kTesterPathPrefixChars;
  size_t length = 0;
  while (start[length] != 0 && start[length] != L'#') ++length;
  if (start[length] != L'#' || length == 0) return DevicePathResult::NoSerial;
  size_t limit = kDevicePathSerialChars;
  if (serialChars == 0 || !serial) limit = 0;
  else if (serialChars - 1 < limit) limit = serialChars - 1;
  if (length > limit) return DevicePathResult::SerialTooLong;
  for (size_t i = 0; i < length; ++i) serial[i] = start[i];
  serial[length] = 0;
  return DevicePathResult::Serial;
}
