// loadpost-cli.exe, the Windows console build, over the stand-in ftd2xx.dll beside it: lists the simulated tester and
// reads its status; reads two testers at once; and serves two testers, each answering on its own port and ending the
// load of a client that leaves.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <utility>

namespace {

std::wstring Folder() {
  wchar_t path[MAX_PATH];
  std::wstring folder(path, GetModuleFileNameW(nullptr, path, MAX_PATH));
  return folder.substr(0, folder.find_last_of(L"\\/"));
}

// A running loadpost-cli.exe from beside the test, its standard output and error each on a pipe of their own. Ended by
// the test (or killed when a check fails half-way).
class Cli {
 public:
  explicit Cli(const std::wstring& arguments) {
    std::wstring command = L"\"" + Folder() + L"\\loadpost-cli.exe\" " + arguments;
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    HANDLE outWrite = nullptr, errWrite = nullptr;
    EXPECT_TRUE(CreatePipe(&out_, &outWrite, &inherit, 0) && CreatePipe(&err_, &errWrite, &inherit, 0));
    SetHandleInformation(out_, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(err_, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup{sizeof(startup)};
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = outWrite;
    startup.hStdError = errWrite;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    started_ = CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, Folder().c_str(),
                              &startup, &process_);
    CloseHandle(outWrite);
    CloseHandle(errWrite);
    EXPECT_TRUE(started_);
  }
  ~Cli() {
    if (started_) {
      TerminateProcess(process_.hProcess, 255);  // ended already, unless a check failed
      CloseHandle(process_.hProcess);
      CloseHandle(process_.hThread);
    }
    CloseHandle(out_);
    CloseHandle(err_);
  }
  // Ends it at once (as a test can: Wine delivers no console control event to a program started through pipes).
  void Kill() {
    if (started_) TerminateProcess(process_.hProcess, 255);
  }
  // The next line of standard output, without its line end; empty at its end.
  std::string Line() {
    std::string line;
    char c = 0;
    DWORD n = 0;
    while (started_ && ReadFile(out_, &c, 1, &n, nullptr) && n == 1 && c != '\n') line += c;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
  }
  // Waits up to `ms` for the end: its exit code (~0u when it had not ended) and the rest of its output, both streams.
  std::pair<DWORD, std::string> Finish(DWORD ms = 30000) {
    std::pair<DWORD, std::string> result{~0u, ""};
    if (!started_ || WaitForSingleObject(process_.hProcess, ms) != WAIT_OBJECT_0) return result;
    GetExitCodeProcess(process_.hProcess, &result.first);
    for (HANDLE h : {out_, err_}) {
      char buffer[4096];
      DWORD n = 0;
      while (ReadFile(h, buffer, sizeof buffer, &n, nullptr) && n > 0) result.second.append(buffer, n);
    }
    return result;
  }

 private:
  BOOL started_ = FALSE;
  PROCESS_INFORMATION process_{};
  HANDLE out_ = nullptr;
  HANDLE err_ = nullptr;
};

// Runs loadpost-cli.exe to its end: exit code and output.
std::pair<DWORD, std::string> RunCli(const std::wstring& arguments) {
  Cli cli(arguments);
  // Reading both pipes only at the end: the commands here write little.
  return cli.Finish();
}

// The simulated world of the programs started while it is in scope.
class SimSetting {
 public:
  SimSetting(const wchar_t* name, const std::wstring& value) : name_(name) {
    SetEnvironmentVariableW(name, value.c_str());
  }
  ~SimSetting() { SetEnvironmentVariableW(name_, nullptr); }

 private:
  const wchar_t* name_;
};

// One SCPI message to the instrument on 127.0.0.1:port and its reply line.
std::string Ask(SOCKET s, const std::string& message) {
  const std::string text = message + "\n";
  if (send(s, text.data(), static_cast<int>(text.size()), 0) != static_cast<int>(text.size())) return "(not sent)";
  std::string reply;
  char c = 0;
  while (recv(s, &c, 1, 0) == 1 && c != '\n') reply += c;
  return reply;
}

SOCKET Connect(unsigned port) {
  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  const DWORD timeoutMs = 20000;
  setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeoutMs), sizeof timeoutMs);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<u_short>(port));
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(s, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
    closesocket(s);
    return INVALID_SOCKET;
  }
  return s;
}

// The load last sent to the tester in a frame record (command 0x10), in mA; -1 for none.
int LastLoad(const std::wstring& record) {
  std::ifstream in(record.c_str(), std::ios::binary);
  const std::string text((std::istreambuf_iterator<char>(in)), {});
  const size_t at = text.rfind(" RX 02 03 10 ");
  if (at == std::string::npos) return -1;
  return std::stoi(text.substr(at + 16, 2) + text.substr(at + 13, 2), nullptr, 16);
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

TEST(CliConsole, TwoTestersAtOnceEachWithItsOwnLink) {
  const SimSetting scenario(L"LOADPOST_SIM_SCENARIO", Folder() + L"\\scenarios\\two-testers.sim");
  // One JSON object per tester, each with its own charger's reading.
  const auto [code, status] = RunCli(L"--all --json status");
  EXPECT_EQ(code, 0u) << status;
  EXPECT_NE(status.find("\"serial\":\"VXPD0001\""), std::string::npos) << status;
  EXPECT_NE(status.find("\"serial\":\"VXPD0002\""), std::string::npos) << status;
  EXPECT_EQ(status.find("FT7QX2LB"), std::string::npos) << status;
  // serve: both testers at once, each on its port; a client that leaves while its load is on leaves the tester at 0 mA.
  const std::wstring record = Folder() + L"\\cli-console-serve-record.txt";
  DeleteFileW(record.c_str());
  const SimSetting recording(L"LOADPOST_SIM_RECORD", record);
  WSADATA wsa;
  ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &wsa), 0);
  Cli serve(L"serve --port-base 0");
  std::map<std::string, unsigned> ports;
  for (int i = 0; i < 2; ++i) {
    const std::string line = serve.Line();  // "VXPD0001 TCPIP::127.0.0.1::50123::SOCKET"
    const size_t end = line.rfind("::SOCKET"), start = line.rfind("::", end - 1);
    ASSERT_TRUE(end != std::string::npos && start != std::string::npos) << line;
    ports[line.substr(0, line.find(' '))] = static_cast<unsigned>(std::stoul(line.substr(start + 2, end - start - 2)));
  }
  ASSERT_EQ(ports.size(), 2u);
  SOCKET first = Connect(ports["VXPD0001"]), second = Connect(ports["VXPD0002"]);
  EXPECT_EQ(Ask(first, "*IDN?"), "Trevane,KT-60,VXPD0001,3.0");
  EXPECT_EQ(Ask(second, "*IDN?"), "Trevane,KT-60,VXPD0002,3.0");
  EXPECT_EQ(Ask(second, "CURR 1.5;INP ON;*OPC?"), "1");
  EXPECT_EQ(LastLoad(record), 1500);
  EXPECT_EQ(Ask(first, "INP?"), "0");  // the other tester's load is its own
  closesocket(second);
  for (int wait = 0; wait < 100 && LastLoad(record) != 0; ++wait) Sleep(50);
  EXPECT_EQ(LastLoad(record), 0);
  EXPECT_EQ(Ask(first, "*IDN?"), "Trevane,KT-60,VXPD0001,3.0");
  closesocket(first);
  serve.Kill();
  const std::string served = serve.Finish().second;
  const size_t ended = served.find("the client closed the connection; load 0 mA, limits enforced");
  EXPECT_TRUE(ended != std::string::npos && served.rfind("VXPD0002: client 127.0.0.1:", ended) != std::string::npos)
      << served;
  WSACleanup();
}

}  // namespace
