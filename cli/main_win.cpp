// loadpost-cli.exe, the Windows console build: the arguments arrive as UTF-16
// and are handed on as UTF-8.
#include <windows.h>

#include <string>
#include <vector>

#include "cli/cli_app.h"
#include "cli/cli_platform.h"

int wmain(int argc, wchar_t** argv) {
  SetConsoleOutputCP(CP_UTF8);
  std::vector<std::string> args;
  for (int i = 0; i < argc; ++i) {
    const int n = WideCharToMultiByte(CP_UTF8, 0, argv[i], -1, nullptr, 0, nullptr, nullptr);
    std::string arg(n > 0 ? static_cast<size_t>(n) : 1, '\0');
    if (n > 0) WideCharToMultiByte(CP_UTF8, 0, argv[i], -1, arg.data(), n, nullptr, nullptr);
    arg.resize(arg.size() - 1);  // the terminator
    args.push_back(arg);
  }
  std::vector<char*> pointers;
  for (std::string& a : args) pointers.push_back(a.data());
  InstallStopHandlers();
  const int code = RunCli(argc, pointers.data());
  StopHandled();
  return code;
}
