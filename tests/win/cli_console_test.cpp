// loadpost-cli.exe, the Windows console build, lists the simulated tester and
// reads its status through the stand-in ftd2xx.dll beside it.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

namespace {

std::wstring ProgramFolder() {
  wchar_t path[MAX_PATH];
  const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring folder(path, n);
  return folder.substr(0, folder.find_last_of(L"\\/"));
}

struct Result {
  DWORD code = 0;
  std::string out;
};

Result RunCli(const std::wstring& arguments) {
  SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
  HANDLE readEnd = nullptr, writeEnd = nullptr;
  EXPECT_TRUE(CreatePipe(&readEnd, &writeEnd, &inherit, 0));
  SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = writeEnd;
  startup.hStdError = writeEnd;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  std::wstring command = L"\"" + ProgramFolder() + L"\\loadpost-cli.exe\" " + arguments;
  PROCESS_INFORMATION process{};
  Result r;
  const BOOL started = CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                      ProgramFolder().c_str(), &startup, &process);
  CloseHandle(writeEnd);
  EXPECT_TRUE(started);
  if (!started) return r;
  char buffer[4096];
  DWORD n = 0;
  while (ReadFile(readEnd, buffer, sizeof buffer, &n, nullptr) && n > 0) r.out.append(buffer, n);
  WaitForSingleObject(process.hProcess, 30000);
  GetExitCodeProcess(process.hProcess, &r.code);
  CloseHandle(process.hProcess);
  CloseHandle(process.hThread);
  CloseHandle(readEnd);
  return r;
}

TEST(CliConsole, ListsTheSimulatedTesterAndReadsItsStatus) {
  const Result list = RunCli(L"list");
  EXPECT_EQ(list.code, 0u) << list.out;
  EXPECT_NE(list.out.find("VXPD0001  KT-60  2.0       3.0       yes"), std::string::npos) << list.out;

  const Result status = RunCli(L"--serial VXPD0001 status");
  EXPECT_EQ(status.code, 0u) << status.out;
  EXPECT_NE(status.out.find("Profile        PD-FIX"), std::string::npos) << status.out;
  EXPECT_NE(status.out.find("VBUS           5.00 V"), std::string::npos) << status.out;
}

}  // namespace
