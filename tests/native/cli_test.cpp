// loadpost-cli end to end: the real program against the simulated tester served
// on pseudo-terminals by `loadpost-cli sim-serve`, through the real serial code.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <pty.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <regex>

#include <nlohmann/json.hpp>

#include "tests/native/cli_harness.h"

namespace {

using namespace cli_harness;

constexpr const char* kGarbledScenario = "tester VXPD0001 kt60\n charger pd65\n fault badetx any always\nend\n";
// A tester that reads 4.835 V, a value a float carries as 4.835000038146973.
constexpr const char* kOddVoltsScenario = "tester VXPD0001 kt60\n charger pd65\n skew vbus 1 -165\nend\n";

struct Case {
  const char* scenario;
  std::vector<std::string> args;
  int code;
  std::vector<std::string> out;  // texts standard output holds
  std::string err;               // a text standard error holds
};

TEST(CliCommands, AnswerLikeTheWindowForEachScenario) {
  const Case cases[] = {
      {"default", {"list"}, 0, {"VXPD0001  KT-60  2.0       3.0       yes"}, ""},
      {"default", {"status"}, 0, {"Profile        PD-FIX", "Rated current  3000mA", "VBUS           5.000 V"}, ""},
      {"default", {"--json", "status"}, 0, {"\"attached\":true", "\"profile\":\"PD-FIX\"", "\"setpointMa\":0"}, ""},
      {kOddVoltsScenario, {"--json", "status"}, 0, {"\"vbusV\":4.835}", "\"powerW\":0.0,"}, ""},
      {kOddVoltsScenario, {"status"}, 0, {"VBUS           4.835 V", "Power          0.000 W"}, ""},
      {"default", {"profiles"}, 0, {"*  0    PD-FIX 5.00V", "   4    PD-APDO 3.30V-21.00V  3000mA"}, ""},
      {"default", {"request", "1"}, 0, {"Active row 1: PD-FIX 9.00V, 9000 mV"}, ""},
      {"default", {"load", "1000", "--for", "0.5"}, 0, {"Load 1000 mA on VXPD0001 (VBUS 4.890 V)"}, ""},
      {"kt40", {"load", "3600", "--limit-mode", "allow", "--accept-risk", "--for", "0"}, 0, {"Load 3600 mA"}, ""},
      {"default", {"request", "5"}, 2, {}, "row 5 is not in the capability list (rows 0 to 4)"},
      {"default", {"request", "--voltage", "9000"}, 2, {}, "VXPD0001: The active profile is not programmable"},
      {"default", {"request", "x"}, 2, {}, "x"},
      {"default", {"--serial", "VXPD9999", "status"}, 2, {}, "no tester with serial number VXPD9999 (found: VXPD0001)"},
      {"qc3", {"request", "--voltage", "9000"}, 0, {"9000 mV"}, ""},
      {"qc3", {"request", "--voltage", "20000"}, 2, {}, "Please enter a number between 3600-12000"},
      {"kt40", {"profiles"}, 0, {"Unknown profile"}, ""},
      {"kt40", {"request", "4"}, 2, {}, "PPS profiles are not supported by KT-40."},
      {"kt40-fw26", {"list"}, 0, {"VXPD0026  KT-40  1.0       2.6       no: Please update the device firmware"}, ""},
      {"kt40-fw26", {"status"}, 2, {}, "VXPD0026: Please update the device firmware"},
      {"two-testers", {"status"}, 2, {}, "2 testers found (VXPD0001, VXPD0002): choose one with --serial"},
      {"two-testers", {"--serial", "VXPD0002", "--json", "list"}, 0, {"\"serial\":\"VXPD0002\""}, ""},
      {"no-devices", {"list"}, 2, {}, "No Trevane Loadpost device detected."},
      {"no-devices", {"--sim", "kt40", "list"}, 0, {"VXPD0040  KT-40  1.0       2.7       yes"}, ""},
      {"no-devices", {"--sim", "kt41", "list"}, 2, {}, "no scenario 'kt41'"},
      {"no-devices", {"ripple", "--seconds", "0.2", "--sim", "kt40"}, 0, {"Verdict  PASS"}, ""},
      {kGarbledScenario, {"status"}, 2, {}, "Unable to connect to selected Loadpost device (VXPD0001: no answer"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.scenario) + " " + c.args.back());
    SimServer server(c.scenario);
    const Result r = server.Run(c.args);
    EXPECT_EQ(r.code, c.code) << r.out << r.err;
    for (const std::string& text : c.out) EXPECT_NE(r.out.find(text), std::string::npos) << r.out;
    EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
    // Values are written at the tester's resolution: no float noise.
    EXPECT_FALSE(std::regex_search(r.out, std::regex("\\.[0-9]{4,}"))) << r.out;
    // A pseudo-terminal has no latency timer: nothing to set, nothing to report.
    EXPECT_EQ(r.err.find("Low-latency"), std::string::npos) << r.err;
  }
}

TEST(CliCommands, BusyTesterIsRefusedWhileAnotherProcessHoldsIt) {
  SimServer server("default");
  const int fd = open(server.devices["VXPD0001"].c_str(), O_RDWR | O_NOCTTY);
  ASSERT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
  const Result status = server.Run({"status"});
  EXPECT_EQ(status.code, 2);
  EXPECT_NE(status.err.find("VXPD0001: Another copy of Loadpost is already using that tester."), std::string::npos);
  EXPECT_NE(server.Run({"list"}).out.find("no: Another copy of Loadpost is already using that tester."),
            std::string::npos);
  close(fd);
  EXPECT_EQ(server.Run({"status"}).code, 0);
}

// A serial field holds a serial number or null, never a device; the device has its own field. The same in status, list
// and report.json, whichever way the tester was named. Where the udev rule named the device /dev/loadpost/<serial>,
// that stable name is the device shown, and --port takes it.
TEST(CliIdentity, SerialIsASerialNumberOrNullAndTheDeviceHasItsOwnField) {
  SimServer server("tester VXPD0001 kt60\n charger fixed 5V 3A\nend\n");
  const std::string pty = server.devices["VXPD0001"];
  const std::string linked = server.root + "/dev/ttyUSB0";
  const std::string stable = server.root + "/dev/loadpost/VXPD0001";
  const nlohmann::json serial = "VXPD0001";
  struct Case {
    const char* how;
    std::vector<std::string> choice;  // options that name the tester
    nlohmann::json serial, device;
    bool stableName = false;  // the tree has the udev rule's link dev/loadpost/VXPD0001 -> ../ttyUSB0
  } cases[] = {
      {"found in the device tree", {"--device-root", server.root}, serial, linked},
      {"--port known to the device tree", {"--device-root", server.root, "--port", linked}, serial, linked},
      {"--port on a device of unknown serial", {"--port", pty}, nullptr, pty},
      {"found under the udev rule's stable name", {"--device-root", server.root}, serial, stable, true},
      {"--port on the stable name", {"--device-root", server.root, "--port", stable}, serial, stable, true},
  };
  const std::string out = ScratchPath("identity/");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.how);
    std::filesystem::remove(stable);
    if (c.stableName) {
      std::filesystem::create_directories(server.root + "/dev/loadpost");
      std::filesystem::create_symlink("../ttyUSB0", stable);
    }
    const auto run = [&](std::vector<std::string> args) {
      args.insert(args.begin(), c.choice.begin(), c.choice.end());
      args.insert(args.begin(), LOADPOST_CLI);
      return Finish(Spawn(args));
    };
    const Result status = run({"--json", "status"});
    ASSERT_EQ(status.code, 0) << status.err;
    const Result list = run({"--json", "list"});
    ASSERT_EQ(list.code, 0) << list.err;
    std::vector<nlohmann::json> named = {nlohmann::json::parse(status.out), nlohmann::json::parse(list.out)[0]};
    if (c.serial.is_null()) {  // the case that wrote the device into the serial field
      std::remove((out + "report.json").c_str());
      const Result report = run({"report", "--current-step", "500", "--time-step", "667", "--ripple-seconds", "0.2", "--out", out});
      ASSERT_EQ(report.code, 0) << report.err;
      named.push_back(nlohmann::json::parse(ReadFile(out + "report.json"))["tester"]);
    }
    for (const nlohmann::json& j : named) {
      EXPECT_EQ(j["serial"], c.serial) << j;
      EXPECT_EQ(j["device"], c.device) << j;
    }
  }
}

struct BadInput {
  std::vector<std::string> args;
  std::string err;
  bool readsSource = false;  // judged on the source's rating: read, nothing written
};

// The frames the tester received ("RX ..." lines) in the record after a note (from the start when `note` is empty).
std::vector<std::string> ReceivedAfter(const std::string& record, const std::string& note) {
  std::ifstream in(record);
  std::vector<std::string> frames;
  bool after = note.empty();
  for (std::string line; std::getline(in, line);) {
    if (line.find("# note " + note) != std::string::npos) after = true;
    if (after && line.find(" RX") != std::string::npos) frames.push_back(line.substr(line.find(" RX") + 1));
  }
  return frames;
}

// Waits until the server has written a note to its record.
bool AwaitNote(const std::string& record, const std::string& note) {
  for (int i = 0; i < 200; ++i) {
    if (ReadFile(record).find("# note " + note + "\n") != std::string::npos) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

// Every bad value is refused with its own message, exit 2, with the tester named by --port: before the device is opened
// (no frame reaches the tester), or, for the ceiling that needs the source's rating, with only reads. One text per
// option shows the option is judged by its rule; the rules' every refusal is CliValues' to check.
TEST(CliCommands, RefuseBadValuesBeforeTouchingTheTester) {
  const std::string folder = testing::TempDir();
  const std::string out = ScratchPath("refused.csv");
  // Results databases that cannot be used, each left as it was.
  const std::string db = ScratchPath("refused");
  const std::string notDb = db + "-notes.txt", newer = db + "-newer.db", other = db + "-other.db";
  std::ofstream(notDb) << "the user's own notes\n";
  for (const auto& [path, sql] : {std::pair{newer, "PRAGMA user_version = 2"}, {other, "CREATE TABLE t(x)"}}) {
    std::filesystem::remove(path);
    sqlite3* made = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &made), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(made, sql, nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(made);
  }
  const std::string newerBytes = ReadFile(newer);
  std::filesystem::remove(db + ".db");
  const BadInput cases[] = {
      {{"load", "99999"}, "current: must be a whole number from 0 to 5100 mA, not 99999"},
      {{"load", "1000", "--for", "nan"}, "--for: must be a number from 0 to 2592000 s (30 days), not nan"},
      {{"load", "3500", "--limit-mode", "allow"}, "add --accept-risk"},
      {{"load", "2000", "--limit-mode", "force", "--limit", "1200", "--accept-risk"}, "1000 to 5000 in steps of 500"},
      {{"load", "3001"}, "load 3001 mA is above the ceiling of 3000 mA (limit mode enforce, rated current 3000 mA)",
       true},
      {{"load", "3601", "--limit-mode", "allow", "--accept-risk"}, "above the ceiling of 3600 mA", true},
      {{"watch", "--interval", "nan"}, "--interval: must be a number from 0 to 3600000 ms (1 hour), not nan"},
      {{"watch", "--duration", "0"}, "--duration: must be a number above 0 and at most 2592000 s (30 days), not 0"},
      {{"watch", "--stop-after-mah", "nan"}, "--stop-after-mah: must be a number above 0 and at most 1000000 mAh, not nan"},
      {{"watch", "--load", "-1500"}, "--load: must be a whole number from 0 to 5100 mA, not -1500"},
      {{"watch", "--load", "3001", "--out", out}, "load 3001 mA is above the ceiling of 3000 mA", true},
      {{"watch", "--stop-below", "3000"}, "--stop-below needs --load"},
      {{"watch", "--out", "/nonexistent/w.csv"}, "cannot write /nonexistent/w.csv (--out): there is no folder /nonexistent"},
      {{"request", "7"}, "row: must be a whole number from 0 to 6, not 7"},
      {{"request", "--voltage", "nan"}, "--voltage: must be a whole number from 3000 to 48000 mV, not nan"},
      {{"ripple", "--seconds", "inf"}, "--seconds: must be a number above 0 and at most 86400 s (1 day), not inf"},
      {{"sweep", "--current-step", "nan"}, "--current-step: must be a whole number of mA, not nan"},
      {{"sweep", "--csv", folder}, "cannot write " + folder + " (--csv): it is a folder; give a file name"},
      {{"sweep", "--csv", "/dev/full"}, "cannot write /dev/full (--csv): it is not a regular file"},
      {{"report", "--ripple-seconds", "-1"}, "--ripple-seconds: must be a number above 0 and at most 3600 s (1 hour), not -1"},
      {{"report", "--db", folder}, "cannot write " + folder + " (--db): it is a folder; give a file name"},
      {{"sweep", "--db", notDb},
       "--db: " + notDb + " is not a results database of loadpost-cli (file is not a database)"},
      {{"ripple", "--db", newer}, "--db: " + newer + " was written by a newer loadpost-cli (schema version 2; this one "
                                  "knows version 1): not opened"},
      {{"watch", "--db", other},
       "--db: " + other + " is not a results database of loadpost-cli (it holds other tables)"},
      {{"report", "--label", "PSU-7"}, "--label requires --db"},
      {{"report", "--db", db + ".db", "--against", "latest"}, "--against latest needs --label"},
      {{"report", "--db", db + ".db", "--against", "7"}, "--against: no report 7 in " + db + ".db"},
      {{"report", "--db", db + ".db", "--against", "last"}, "--against: must be latest or a report's id, not last"},
      {{"report", "--db", db + ".db", "--against", "1", "--drift", "5V"}, "--drift: must be a change in mV or %"},
      {{"history", "compare", "1", "x", "--db", db + ".db"}, "history compare: x is not a report's id"},
      {{"history", "--db", db + "-missing.db"}, "--db: no results database " + db + "-missing.db"},
  };
  const std::string record = ScratchPath("bad_input_record.txt");
  std::remove(record.c_str());
  SimServer server("default", {"--record", record});
  const std::string port = server.devices["VXPD0001"];
  std::remove(out.c_str());
  for (size_t i = 0; i < std::size(cases); ++i) {
    const BadInput& c = cases[i];
    SCOPED_TRACE(c.args[0] + " " + c.args[1] + (c.args.size() > 2 ? " " + c.args[2] : ""));
    std::vector<std::string> args = {"--port", port};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const Result r = server.Run(args);
    EXPECT_EQ(r.code, 2);
    EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");
    // Frames still on their way to the tester are read by the time the second note is.
    for (const char* step : {" done", " settled"}) {
      server.Control("note case " + std::to_string(i) + step);
      ASSERT_TRUE(AwaitNote(record, "case " + std::to_string(i) + step));
    }
    const std::vector<std::string> frames = ReceivedAfter(record, i == 0 ? "" : "case " + std::to_string(i - 1) + " settled");
    if (!c.readsSource) {
      EXPECT_TRUE(frames.empty()) << frames.front();
    } else {
      // Version, settings and calibration read, port status, capabilities,
      // measurements; and the safe end's 0 mA, the one command it may send.
      const std::string reads = "01 0A 0B 0C E1 E4";
      for (const std::string& f : frames) {
        if (f.find("RX 02 03 10 00 00 12 03") != std::string::npos) continue;
        EXPECT_NE(reads.find(f.substr(9, 2)), std::string::npos) << f;
      }
    }
  }
  // The refused watch never made its file; the files refused as databases are as they were.
  EXPECT_FALSE(std::filesystem::exists(out));
  EXPECT_EQ(ReadFile(notDb), "the user's own notes\n");
  EXPECT_EQ(ReadFile(newer), newerBytes);
  EXPECT_NE(server.Run({"--json", "status"}).out.find("\"setpointMa\":0"), std::string::npos);
}

// A device tree in a folder of the user's: the server's own entries go at the end, the user's files stay, and a device
// number the folder already uses is passed over.
TEST(CliSimServe, RootFolderOfTheUserKeepsItsFiles) {
  const std::string root = ScratchPath("sim_root");
  std::filesystem::remove_all(root);
  std::filesystem::create_directories(root + "/dev");
  std::ofstream(root + "/notes.txt") << "mine\n";
  std::ofstream(root + "/dev/ttyUSB0") << "mine too\n";
  {
    SimServer server("default", {"--root", root});
    ASSERT_EQ(server.root, root);
    EXPECT_NE(server.Run({"list"}).out.find(root + "/dev/ttyUSB1"), std::string::npos);
  }
  std::vector<std::string> left;
  for (const auto& e : std::filesystem::recursive_directory_iterator(root)) left.push_back(e.path().string().substr(root.size()));
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, (std::vector<std::string>{"/dev", "/dev/ttyUSB0", "/notes.txt"}));
  EXPECT_EQ(ReadFile(root + "/dev/ttyUSB0"), "mine too\n");
  std::filesystem::remove_all(root);
}

std::vector<std::string> Lines(const std::string& path) {
  std::ifstream in(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// Waits until the watch has written `n` lines to `path`.
bool AwaitLines(const std::string& path, size_t n) {
  for (int i = 0; i < 200; ++i) {
    if (Lines(path).size() >= n) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

struct WatchEnd {
  const char* what;
  std::vector<std::string> args;
  int code;
  std::string stopped;
};

TEST(CliWatch, EveryEndLeavesACompleteFileTheLoadAtZeroAndASummary) {
  const WatchEnd cases[] = {
      {"ctrl-c", {"--load", "1000"}, 0, "Stopped   stopped by the user"},
      {"ctrl-c with a duration", {"--load", "1000", "--duration", "60"}, 2, "stopped by the user (incomplete)"},
      {"unplug", {"--load", "1000", "--duration", "60"}, 2, "the tester was unplugged or stopped answering"},
      {"detach", {"--load", "1000"}, 2, "the source was detached (incomplete)"},
      // No reading below 3000 mV was recorded: the source went away before its end.
      {"detach in a capacity test", {"--load", "1000", "--stop-below", "3000"}, 2,
       "Stopped   the source was detached (incomplete)"},
      {"stop below", {"--load", "3500", "--limit-mode", "allow", "--accept-risk", "--stop-below", "4500"}, 0,
       "Stopped   VBUS below 4500 mV"},
      {"capacity", {"--load", "3000", "--stop-after-mah", "0.2"}, 0, "Stopped   0.200 mAh drawn"},
  };
  for (const WatchEnd& c : cases) {
    SCOPED_TRACE(c.what);
    SimServer server("default");
    const std::string file = ScratchPath("cli_watch.csv");
    std::remove(file.c_str());
    std::vector<std::string> args = {"watch", "--interval", "50", "--out", file};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const Child watch = server.Start(args);
    ASSERT_TRUE(AwaitLines(file, 2));
    const std::string what = c.what;
    if (what.rfind("ctrl-c", 0) == 0) kill(watch.pid, SIGINT);
    if (what == "unplug") server.Control("unplug VXPD0001");
    if (what.rfind("detach", 0) == 0) server.Control("detach");
    const Result r = Finish(watch);
    EXPECT_EQ(r.code, c.code) << r.err;
    EXPECT_NE(r.out.find(c.stopped), std::string::npos) << r.out;
    const std::vector<std::string> lines = Lines(file);
    ASSERT_GE(lines.size(), 2u);
    for (const std::string& line : lines) EXPECT_EQ(std::count(line.begin(), line.end(), ','), 9) << line;
    if (what != "unplug") {
      const std::string status = server.Run({"--json", "status"}).out;
      EXPECT_NE(status.find("\"setpointMa\":0"), std::string::npos) << status;
    }
  }
}

// A pseudo-terminal named by mistake, with line settings no tester link uses.
struct Terminal {
  Terminal() {
    EXPECT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
    termios t{};
    tcgetattr(slave, &t);
    t.c_cflag = (t.c_cflag & ~static_cast<tcflag_t>(CSIZE)) | CS7 | PARENB;
    t.c_iflag |= IXON | ICRNL;
    t.c_lflag |= ECHO | ICANON | ISIG;
    t.c_cc[VMIN] = 5;
    t.c_cc[VTIME] = 3;
    cfsetispeed(&t, B9600);
    cfsetospeed(&t, B9600);
    tcsetattr(slave, TCSANOW, &t);
    tcgetattr(slave, &set);
    fcntl(master, F_SETFL, O_NONBLOCK);
  }
  ~Terminal() {
    close(master);
    close(slave);
  }
  bool Unchanged() const {
    termios now{};
    tcgetattr(slave, &now);
    return now.c_iflag == set.c_iflag && now.c_oflag == set.c_oflag && now.c_cflag == set.c_cflag &&
           now.c_lflag == set.c_lflag && std::memcmp(now.c_cc, set.c_cc, sizeof set.c_cc) == 0 &&
           cfgetispeed(&now) == cfgetispeed(&set) && cfgetospeed(&now) == cfgetospeed(&set);
  }
  // What reached the other end.
  std::string Drain() const {
    std::string out;
    char buffer[4096];
    for (ssize_t n; (n = read(master, buffer, sizeof buffer)) > 0;) out.append(buffer, static_cast<size_t>(n));
    return out;
  }
  int master = -1, slave = -1;
  char name[128] = {};
  termios set{};
};

// A device tree that describes `device` as the terminal ttyWRONG behind the
// given USB vendor ("" for none: a built-in port); empty: a tree without it.
std::string DeviceTree(const std::string& name, const std::string& device, const char* vendor) {
  namespace fs = std::filesystem;
  const fs::path root = ScratchPath("tree_" + name);
  fs::remove_all(root);
  fs::create_directories(root / "sys/class/tty");
  fs::create_directories(root / "dev");
  if (!vendor) return root.string();
  const fs::path usb = root / "sys/devices/usb1/1-1";
  const fs::path port = usb / "1-1:1.0/ttyWRONG";
  fs::create_directories(port);
  if (*vendor) std::ofstream(usb / "idVendor") << vendor << "\n";
  fs::create_directories(root / "sys/class/tty/ttyWRONG");
  fs::create_directory_symlink(port, root / "sys/class/tty/ttyWRONG/device");
  fs::create_symlink(device, root / "dev/ttyWRONG");
  return root.string();
}

// A terminal that is not a tester: the command writes its request, gets no answer, and leaves the terminal's line
// settings as it found them. Where the device tree tells that the device is no tester's bridge, a warning says so.
TEST(CliWrongDevice, ATerminalThatIsNotATesterKeepsItsLineSettings) {
  struct Case {
    const char* what;
    const char* vendor;  // the tree's USB vendor; "" no USB device; null: the tree does not describe it
    std::string warning;
  } cases[] = {
      {"a pseudo-terminal", nullptr, ""},
      {"a USB device of another vendor", "1a86", "ttyWRONG is a USB device of vendor 1a86, not a tester's bridge"},
      {"a built-in serial port", "", "ttyWRONG is not a USB serial bridge (the device tree shows no USB device"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Terminal t;
    const std::string root = DeviceTree("terminal", t.name, c.vendor);
    const std::string port = c.vendor ? root + "/dev/ttyWRONG" : t.name;
    const Result r = Finish(Spawn({LOADPOST_CLI, "--device-root", root, "--port", port, "status"}));
    EXPECT_EQ(r.code, 2);
    EXPECT_NE(r.err.find("Unable to connect to selected Loadpost device (" + port + ": no answer from the tester)"),
              std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("warning") != std::string::npos, !c.warning.empty()) << r.err;
    EXPECT_NE(r.err.find(c.warning), std::string::npos) << r.err;
    EXPECT_NE(t.Drain().find('\x02'), std::string::npos);  // its requests did go out
    EXPECT_TRUE(t.Unchanged());
  }
}

// Anything but a terminal is refused before a byte is written: a file keeps its text, a pipe's reader gets nothing.
TEST(CliWrongDevice, AnythingButATerminalIsRefusedUntouched) {
  const std::string base = ScratchPath("not_a_terminal");
  const std::string file = base + ".txt", fifo = base + ".fifo", folder = base + ".d";
  std::ofstream(file) << "the user's own text\n";
  std::remove(fifo.c_str());
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  std::filesystem::create_directories(folder);
  const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  for (const std::string& port : {file, std::string("/dev/null"), fifo, folder}) {
    SCOPED_TRACE(port);
    const Result r = Finish(Spawn({LOADPOST_CLI, "--port", port, "status"}));
    EXPECT_EQ(r.code, 2);
    EXPECT_NE(r.err.find("(" + port + ": not a terminal device)"), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");
  }
  EXPECT_EQ(ReadFile(file), "the user's own text\n");
  char byte;
  EXPECT_LE(read(reader, &byte, 1), 0);
  close(reader);
}

// The terminal the command runs in is never taken for a tester, by its alias
// /dev/tty or by its own name: refused, nothing written, settings untouched.
TEST(CliWrongDevice, TheProgramsOwnTerminalIsRefused) {
  Terminal t;
  for (const std::string port : {std::string("/dev/tty"), std::string(t.name)}) {
    SCOPED_TRACE(port);
    const pid_t pid = fork();
    if (pid == 0) {  // a session of its own, with the terminal as its controlling one
      setsid();
      const int fd = open(t.name, O_RDWR);
      ioctl(fd, TIOCSCTTY, 0);
      for (int i = 0; i <= 2; ++i) dup2(fd, i);
      execl(LOADPOST_CLI, LOADPOST_CLI, "--port", port.c_str(), "status", static_cast<char*>(nullptr));
      _exit(127);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2) << status;
    const std::string shown = t.Drain();
    EXPECT_NE(shown.find("(" + port + ": the terminal this program runs in, not a tester)"), std::string::npos) << shown;
    EXPECT_EQ(shown.find('\x02'), std::string::npos);
    EXPECT_TRUE(t.Unchanged());
  }
}

// A tester the user may not open is still listed, and list says what is missing and how to fix it: the udev rule, its
// application to a tester plugged in before it, or the user's membership of its group. Run as a user of no group
// (nobody), as root cannot be refused.
TEST(CliAccess, ListSaysWhatATesterTheUserMayNotOpenNeeds) {
  namespace fs = std::filesystem;
  if (geteuid() != 0) GTEST_SKIP() << "needs root, to run the command as another user";
  const group* plugdev = getgrnam("plugdev");
  ASSERT_NE(plugdev, nullptr);
  Terminal t;
  struct stat made {};
  ASSERT_EQ(stat(t.name, &made), 0);
  const fs::path root = ScratchPath("access");
  fs::remove_all(root);
  const fs::path usb = root / "sys/devices/usb1/1-1", port = usb / "1-1:1.0/ttyUSB0/tty/ttyUSB0";
  fs::create_directories(port);
  fs::create_directories(root / "sys/class/tty/ttyUSB0");
  fs::create_directories(root / "dev");
  for (const auto& [file, text] : {std::pair{"idVendor", "0403"}, {"idProduct", "6015"}, {"serial", "VXPD0001"}}) {
    std::ofstream(usb / file) << text << "\n";
  }
  fs::create_directory_symlink(port, root / "sys/class/tty/ttyUSB0/device");
  fs::create_symlink(t.name, root / "dev/ttyUSB0");
  const fs::path rule = root / "usr/lib/udev/rules.d/60-loadpost.rules";
  struct Case {
    const char* what;
    bool ruleInstalled;
    gid_t deviceGroup;
    std::string fix;
  } cases[] = {
      {"no udev rule", false, made.st_gid, "the udev rule for testers is not installed: install the loadpost package"},
      {"the rule, the tester plugged in before it", true, made.st_gid,
       "the udev rule has not been applied to this tester yet (it was plugged in before the rule was installed)"},
      {"the rule applied, the user not in its group", true, plugdev->gr_gid,
       "you are not in the group plugdev, which the udev rule gives testers to: run: sudo usermod -aG plugdev"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove(rule);
    if (c.ruleInstalled) {
      fs::create_directories(rule.parent_path());
      std::ofstream(rule) << "# the package's rule\n";
    }
    ASSERT_EQ(chown(t.name, 0, c.deviceGroup), 0);
    ASSERT_EQ(chmod(t.name, 0660), 0);
    const Result r = Finish(Spawn({"/usr/bin/setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups",
                                   LOADPOST_CLI, "--device-root", root.string(), "list"}));
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("VXPD0001  -      -         -         no: Unable to connect to selected Loadpost device "
                         "(permission denied)  " + (root / "dev/ttyUSB0").string()),
              std::string::npos) << r.out;
    EXPECT_NE(r.err.find("loadpost-cli: " + (root / "dev/ttyUSB0").string() + ": " + c.fix), std::string::npos)
        << r.err;
  }
  fs::remove_all(root);
}

}  // namespace
