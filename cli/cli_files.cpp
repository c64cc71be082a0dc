#include "cli/cli_files.h"

#include "core/report/safe_file.h"

std::filesystem::path PathOf(const std::string& utf8) {
  return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

std::string AbsolutePathText(const std::string& utf8) {
  if (utf8.empty()) return "";
  std::error_code ec;
  const std::filesystem::path p = std::filesystem::absolute(PathOf(utf8), ec);
  if (ec) return utf8;
  const std::u8string text = p.lexically_normal().u8string();
  return std::string(text.begin(), text.end());
}

std::string CheckWritable(const std::string& option, const std::string& path, bool wholeFile) {
  if (path.empty()) return "";
  const std::string refused = "cannot write " + path + " (" + option + "): ";
  namespace fs = std::filesystem;
  const fs::path file = PathOf(path);
  std::error_code ec;
  if (fs::is_directory(file, ec) || path.back() == '/' || path.back() == '\\') {
    return refused + "it is a folder; give a file name";
  }
  if (wholeFile && fs::exists(file, ec) && !fs::is_regular_file(file, ec)) {
    return refused + "it is not a regular file (a device or a pipe is never replaced)";
  }
  const fs::path folder = file.parent_path().empty() ? fs::path(".") : file.parent_path();
  if (!fs::is_directory(folder, ec)) {
    const std::u8string name = folder.u8string();
    return refused + "there is no folder " + std::string(name.begin(), name.end());
  }
  if (const std::string why = ProbeNewFile(file); !why.empty()) return refused + why;
  return "";
}
