#include "core/link/tester_discovery_posix.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>

#ifdef __linux__
#include <sys/sysmacros.h>
#endif

namespace fs = std::filesystem;

namespace {

std::string FirstLine(const fs::path& file) {
  std::ifstream in(file);
  std::string line;
  std::getline(in, line);
  while (!line.empty() && std::isspace(static_cast<unsigned char>(line.back()))) line.pop_back();
  return line;
}

// The USB device above a port device: the nearest ancestor with idVendor.
bool FindUsbDevice(fs::path at, const fs::path& root, fs::path* usb) {
  for (int depth = 0; depth < 6 && !at.empty() && at != root && at != at.root_path(); ++depth) {
    std::error_code ec;
    if (fs::exists(at / "idVendor", ec)) {
      *usb = at;
      return true;
    }
    at = at.parent_path();
  }
  return false;
}

// "ttyUSB10" after "ttyUSB9": names compare by their text, then by their number.
bool NameOrder(const SerialDevice& a, const SerialDevice& b) {
  const auto split = [](const std::string& s) {
    size_t i = s.size();
    while (i > 0 && std::isdigit(static_cast<unsigned char>(s[i - 1]))) --i;
    return std::make_pair(s.substr(0, i), i < s.size() ? std::strtoll(s.c_str() + i, nullptr, 10) : -1LL);
  };
  return split(a.name) < split(b.name);
}

}  // namespace

std::vector<SerialDevice> ListBridgeDevices(const std::string& rootText) {
  std::vector<SerialDevice> found;
  const fs::path root = rootText.empty() ? fs::path("/") : fs::path(rootText);
  std::error_code ec;
  fs::directory_iterator it(root / "sys/class/tty", ec);
  if (ec) return found;
  for (const fs::directory_entry& entry : it) {
    const fs::path link = entry.path() / "device";
    std::error_code linkError;
    const fs::path port = fs::canonical(link, linkError);
    fs::path usb;
    if (linkError || !FindUsbDevice(port, root, &usb)) continue;
    if (FirstLine(usb / "idVendor") != kBridgeVendorId) continue;
    SerialDevice d;
    d.name = entry.path().filename().string();
    d.serial = FirstLine(usb / "serial");
    d.product = FirstLine(usb / "product");
    d.path = (root / "dev" / d.name).string();
    found.push_back(d);
  }
  std::sort(found.begin(), found.end(), NameOrder);
  return found;
}

std::string DefaultDeviceRoot() {
  const char* root = std::getenv("LOADPOST_DEVICE_ROOT");
  return root && *root ? root : "/";
}

std::string BridgeWarning(const std::string& rootText, const std::string& path) {
  const fs::path root = rootText.empty() ? fs::path("/") : fs::path(rootText);
  struct stat st {};
  std::error_code ec;
  const fs::path real = fs::canonical(path, ec);
  if (ec || stat(path.c_str(), &st) != 0 || !S_ISCHR(st.st_mode)) return "";
  for (const SerialDevice& d : ListBridgeDevices(root.string())) {
    std::error_code other;
    if (fs::canonical(d.path, other) == real && !other) return "";
  }
  // The terminal's entry: exact by its device number; by its name in a tree
  // that has no numbers (a test's or the simulated tester's).
  fs::path entry;
  bool checkClass = false;
#ifdef __linux__
  const fs::path byNumber =
      root / "sys/dev/char" / (std::to_string(major(st.st_rdev)) + ":" + std::to_string(minor(st.st_rdev)));
  if (fs::exists(byNumber, ec)) {
    entry = byNumber;
    checkClass = true;
  }
#endif
  for (const fs::path& name : {fs::path(path).filename(), real.filename()}) {
    if (entry.empty() && !name.empty() && fs::exists(root / "sys/class/tty" / name, ec)) entry = root / "sys/class/tty" / name;
  }
  if (entry.empty()) return "";
  // Not a terminal at all: opening it is refused, no warning needed.
  if (checkClass && fs::read_symlink(entry / "subsystem", ec).filename() != "tty") return "";
  const fs::path port = fs::canonical(entry / "device", ec);
  fs::path usb;
  if (ec || !FindUsbDevice(port, root, &usb)) {
    return path + " is not a USB serial bridge (the device tree shows no USB device behind it): it may not be a tester";
  }
  const std::string vendor = FirstLine(usb / "idVendor");
  if (vendor == kBridgeVendorId) return "";
  return path + " is a USB device of vendor " + vendor + ", not a tester's bridge (vendor " + kBridgeVendorId +
         "): it may not be a tester";
}
