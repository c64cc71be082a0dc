// Finding testers on Linux: the USB bridge's driver makes each one a terminal
// device, and sysfs tells which USB device (vendor, product, serial number)
// stands behind each terminal. Everything is looked up below a root folder
// ("/" on a real system), so tests and the simulated tester can lay out a tree
// of their own.
//
//   <root>/sys/class/tty/<name>/device   link to the driver's port device; one of
//                                        its ancestors holds idVendor, idProduct
//                                        and serial (the USB device)
//   <root>/dev/<name>                    the terminal device to open
//   <root>/dev/loadpost/<serial>         the same device under the stable name
//                                        that the package's udev rule gives it
#pragma once

#include <string>
#include <vector>

struct SerialDevice {
  std::string serial;   // USB serial number ("VXPD0001")
  std::string path;     // <root>/dev/loadpost/<serial> where the udev rule made it, else <root>/dev/<name>
  std::string name;     // the terminal's name ("ttyUSB0")
  std::string product;  // USB product text, when the device gives one
};

// The FTDI bridge's USB vendor.
constexpr const char* kBridgeVendorId = "0403";

// Every terminal device behind a USB device of the bridge's vendor, in the
// order of their names (ttyUSB2 before ttyUSB10).
std::vector<SerialDevice> ListBridgeDevices(const std::string& root);

// Why the user may not open the tester at `path` (a terminal device that
// refused with a permission error) and how to fix it: the udev rule
// (60-loadpost.rules) is not installed, has not been applied to this device
// yet (it was plugged in before), or the user is not in its group plugdev, or
// not in this session.
std::string NoAccessHelp(const std::string& root, const std::string& path);

// The root of the device tree: LOADPOST_DEVICE_ROOT when set, else "/".
std::string DefaultDeviceRoot();

// Why the terminal device at `path` may not be a tester, where the device tree
// tells: it is a USB device of another vendor, or no USB device at all (a
// built-in serial port, a virtual console). Empty when it is one of the
// bridge's devices, or when the tree does not describe it (a pseudo-terminal,
// a device that is not a terminal). Looked up by its device number
// (<root>/sys/dev/char/<major>:<minor>) or by its name (<root>/sys/class/tty/).
std::string BridgeWarning(const std::string& root, const std::string& path);
