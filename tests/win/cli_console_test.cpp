// loadpost-cli.exe, the Windows console build, lists the simulated tester and
// reads its status through the stand-in ftd2xx.dll beside it.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <utility>

namespace {

// Runs loadpost-cli.exe from beside the test with these arguments: its exit
// code and what it wrote to standard output and error.
std::pair<DWORD, std::string> RunCli(std::wstring arguments) {
  wchar_t path[MAX_PATH];
  std::wstring folder(path, GetModuleFileNameW(nullptr, path, MAX_PATH));
  folder.resize(folder.find_last_of(L"\\/"));
  std::wstring command = L"\"" + folder + L"\\loadpost-cli.exe\" " + arguments;
  SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
  HANDLE readEnd = nullptr, writeEnd = nullptr;
  EXPECT_TRUE(CreatePipe(&readEnd, &writeEnd, &inherit, 0));
  SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOW startup{sizeof(startup)};
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = startup.hStdError = writeEnd;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  PROCESS_INFORMATION process{};
  const BOOL started =
      CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, folder.c_str(), &startup, &process);
  CloseHandle(writeEnd);
  std::pair<DWORD, std::string> result{~0u, ""};
  char buffer[4096];
  DWORD n = 0;
  while (started && ReadFile(readEnd, buffer, sizeof buffer, &n, nullptr) && n > 0) result.second.append(buffer, n);
  CloseHandle(readEnd);
  EXPECT_TRUE(started);
  if (!started) return result;
  WaitForSingleObject(process.hProcess, 30000);
  GetExitCodeProcess(process.hProcess, &result.first);
  CloseHandle(process.hProcess);
  CloseHandle(process.hThread);
  return result;
}

TEST(CliConsole, ListsTheSimulatedTesterAndReadsItsStatus) {
  const auto [listCode, list] = RunCli(L"list");
  EXPECT_EQ(listCode, 0u) << list;
  EXPECT_NE(list.find("VXPD0001  KT-60  2.0       3.0       yes"), std::string::npos) << list;
  const auto [statusCode, status] = RunCli(L"--serial VXPD0001 status");
  EXPECT_EQ(statusCode, 0u) << status;
  EXPECT_NE(status.find("Profile        PD-FIX"), std::string::npos) << status;
  EXPECT_NE(status.find("VBUS           5.000 V"), std::string::npos) << status;
}

}  // namespace
