// Tester serial numbers in USB device-interface paths, as the device-change
// notifications deliver them: "\\?\USB#VID_0403&PID_6015#<serial>#{class guid}".
#pragma once

#include <cstddef>

constexpr const wchar_t* kTesterPathPrefix = L"\\\\?\\USB#VID_0403&PID_6015#";
constexpr size_t kTesterPathPrefixChars = 26;
constexpr size_t kDevicePathSerialChars = 63;  // longest serial accepted

enum class DevicePathResult {
  Serial,        // `serial` holds the tester's serial number
  OtherDevice,   // the first 26 characters are not the bridge's prefix (case ignored)
  NoSerial,      // no '#' after the serial, or an empty serial
  SerialTooLong, // more than 63 characters before the next '#'
};

// Takes the serial from a device path: the text after the 26-character prefix
// (compared case-insensitively) up to the next '#'. `serial` needs room for
// kDevicePathSerialChars + 1 wide characters (serialChars gives its size; a
// smaller buffer refuses longer serials as too long); it is set to an empty text
// unless the result is Serial.
DevicePathResult ParseTesterDevicePath(const wchar_t* path, wchar_t* serial, size_t serialChars);
