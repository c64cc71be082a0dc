// loadpost-cli end to end: the real program against the simulated tester served
// on pseudo-terminals by `loadpost-cli sim-serve`, through the real serial code.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "tests/native/cli_harness.h"

namespace {

using namespace cli_harness;

constexpr const char* kGarbledScenario = "tester VXPD0001 kt60\n charger pd65\n fault badetx any always\nend\n";

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
      {"default", {"status"}, 0, {"Profile        PD-FIX", "Rated current  3000mA", "VBUS           5.00 V"}, ""},
      {"default", {"--json", "status"}, 0, {"\"attached\":true", "\"profile\":\"PD-FIX\"", "\"setpointMa\":0"}, ""},
      {"default", {"profiles"}, 0, {"*  0    PD-FIX 5.00V", "   4    PD-APDO 3.30V-21.00V  3000mA"}, ""},
      {"default", {"request", "1"}, 0, {"Active row 1: PD-FIX 9.00V, 9000 mV"}, ""},
      {"default", {"request", "5"}, 2, {}, "row 5 is not in the capability list (rows 0 to 4)"},
      {"default", {"request", "--voltage", "9000"}, 2, {}, "the active profile (PD-FIX) is not programmable"},
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
      {kGarbledScenario, {"status"}, 2, {}, "Unable to connect to selected Loadpost device (VXPD0001: no answer"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.scenario) + " " + c.args.back());
    SimServer server(c.scenario);
    const Result r = server.Run(c.args);
    EXPECT_EQ(r.code, c.code) << r.out << r.err;
    for (const std::string& text : c.out) EXPECT_NE(r.out.find(text), std::string::npos) << r.out;
    EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
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

}  // namespace
