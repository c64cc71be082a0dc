#include "core/link/tester_discovery_posix.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

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

// Whether both paths lead to one device (through any links).
bool SameFile(const fs::path& a, const fs::path& b) {
  std::error_code ea, eb;
  const fs::path ra = fs::canonical(a, ea), rb = fs::canonical(b, eb);
  return !ea && !eb && ra == rb;
}

// The udev rule's name for the device, when it made one: /dev/loadpost/<serial>.
std::string StableName(const fs::path& root, const std::string& serial, const fs::path& device) {
  if (serial.empty() || serial == "." || serial == ".." || serial.find('/') != std::string::npos) return "";
  const fs::path stable = root / "dev/loadpost" / serial;
  return SameFile(stable, device) ? stable.string() : "";
}

constexpr const char* kRuleFile = "60-loadpost.rules";
constexpr const char* kTesterGroup = "plugdev";

bool RuleInstalled(const fs::path& root) {
  std::error_code ec;
  for (const char* dir : {"etc/udev/rules.d", "usr/lib/udev/rules.d", "lib/udev/rules.d", "run/udev/rules.d"}) {
    if (fs::exists(root / dir / kRuleFile, ec)) return true;
  }
  return false;
}

bool ProcessInGroup(gid_t gid) {
  if (getegid() == gid) return true;
  std::vector<gid_t> groups(static_cast<size_t>(std::max(getgroups(0, nullptr), 0)));
  const int n = getgroups(static_cast<int>(groups.size()), groups.data());
  return std::find(groups.begin(), groups.begin() + std::max(n, 0), gid) != groups.begin() + std::max(n, 0);
}

// Whether the group database lists the user in the group (it may have been
// added after the session began, which keeps the groups it started with).
bool UserListedInGroup(const group& g) {
  const passwd* user = getpwuid(getuid());
  if (!user) return false;
  if (user->pw_gid == g.gr_gid) return true;
  for (char** member = g.gr_mem; member && *member; ++member) {
    if (std::string(*member) == user->pw_name) return true;
  }
  return false;
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
    if (const std::string stable = StableName(root, d.serial, d.path); !stable.empty()) d.path = stable;
    found.push_back(d);
  }
  std::sort(found.begin(), found.end(), NameOrder);
  return found;
}

std::string NoAccessHelp(const std::string& rootText, const std::string& path) {
  const fs::path root = rootText.empty() ? fs::path("/") : fs::path(rootText);
  if (!RuleInstalled(root)) {
    return std::string("the udev rule for testers is not installed: install the loadpost package (or copy ") +
           "packaging/" + kRuleFile + " from the source to /etc/udev/rules.d/), then unplug the tester and plug it " +
           "in again";
  }
  const group* g = getgrnam(kTesterGroup);
  struct stat st {};
  if (!g || stat(path.c_str(), &st) != 0 || st.st_gid != g->gr_gid) {
    return std::string("the udev rule has not been applied to this tester yet (it was plugged in before the rule ") +
           "was installed): unplug it and plug it in again, or run: sudo udevadm trigger --subsystem-match=tty";
  }
  if (ProcessInGroup(g->gr_gid)) {
    return std::string("the device belongs to the group ") + kTesterGroup + " but does not let it read and write: " +
           "another udev rule may override " + kRuleFile;
  }
  if (UserListedInGroup(*g)) {
    return std::string("you were added to the group ") + kTesterGroup + " after this session began: log out and in " +
           "again";
  }
  return std::string("you are not in the group ") + kTesterGroup + ", which the udev rule gives testers to: run: " +
         "sudo usermod -aG " + kTesterGroup + " $USER, then log out and in again";
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
