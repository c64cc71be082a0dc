// Following USB plug events: device-interface notifications of the testers'
// USB bridge keep the Device list in step with the hardware; and the window's
// opening of the registry of running copies (core/base/instance_registry_win.h).
#include <windows.h>
#include <dbt.h>

#include <cstddef>
#include <cstdint>

#include "core/base/device_path.h"
#include "core/base/instance_registry_win.h"
#include "window/shell/app_win.h"

namespace {

constexpr const wchar_t* kSharedMemoryText =
    L"Failed to open shared memory.\nLoadpost will still run but it is not recommended to run more than 1 copy";
constexpr const wchar_t* kSharedMemoryCaption = L"Shared memory failure";

// USB devices of every kind announce their interface under this class.
constexpr GUID kUsbDeviceInterface = {0xA5DCBF10, 0x6530, 0x11D2, {0x90, 0x1F, 0x00, 0xC0, 0x4F, 0xB9, 0x51, 0xED}};

HDEVNOTIFY usbNotification = nullptr;
bool registryOpened = false;

}  // namespace

void OpenInstanceRegistry() {
  if (registryOpened) return;
  registryOpened = true;
  if (!OpenTesterRegistry()) MessageBoxW(nullptr, kSharedMemoryText, kSharedMemoryCaption, MB_OK);
}

void ReleaseUsbNotifications() {
  if (usbNotification) UnregisterDeviceNotification(usbNotification);
  usbNotification = nullptr;
}

void RegisterUsbNotifications(HWND window) {
  DEV_BROADCAST_DEVICEINTERFACE_W filter = {};
  filter.dbcc_size = sizeof(filter);
  filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  filter.dbcc_classguid = kUsbDeviceInterface;
  if (usbNotification) UnregisterDeviceNotification(usbNotification);
  usbNotification = RegisterDeviceNotificationW(window, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
}

void OnDeviceChange(HWND window, WPARAM event, LPARAM data) {
  if (event != DBT_DEVICEARRIVAL && event != DBT_DEVICEREMOVECOMPLETE) return;
  const auto* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(data);
  if (!header || header->dbch_size < sizeof(DEV_BROADCAST_HDR)) return;
  if (header->dbch_devicetype != DBT_DEVTYP_DEVICEINTERFACE) return;
  constexpr size_t kNameOffset = offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name);
  if (header->dbch_size <= kNameOffset) return;
  const wchar_t* name = reinterpret_cast<const wchar_t*>(reinterpret_cast<const uint8_t*>(data) + kNameOffset);

  // The path is read no further than the broadcast's own size says, and always
  // ends in a terminator here.
  constexpr size_t kPathChars = 512;
  wchar_t path[kPathChars];
  size_t available = (header->dbch_size - kNameOffset) / sizeof(wchar_t);
  if (available > kPathChars - 1) available = kPathChars - 1;
  size_t length = 0;
  while (length < available && name[length] != 0) {
    path[length] = name[length];
    ++length;
  }
  path[length] = 0;

  wchar_t serial[kDevicePathSerialChars + 1];
  if (ParseTesterDevicePath(path, serial, kDevicePathSerialChars + 1) != DevicePathResult::Serial) return;
  UpdateTesterList(window, event == DBT_DEVICEARRIVAL ? Arrived : Removed, serial);
}
