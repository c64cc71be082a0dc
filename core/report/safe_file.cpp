#include "core/report/safe_file.h"

#include <chrono>
#include <cstdio>
#include <random>

namespace {

constexpr int kNameAttempts = 16;

std::string Utf8Path(const std::filesystem::path& p) {
  const std::u8string text = p.u8string();
  return std::string(text.begin(), text.end());
}

}  // namespace

std::filesystem::path TempPathBeside(const std::filesystem::path& path) {
  // Seeded once from the system's randomness and the clock (a MinGW
  // random_device may be deterministic); the exclusive creation is what
  // guarantees no other file is touched, the name only makes a clash rare.
  static std::mt19937_64 random = [] {
    std::random_device device;
    const auto now = static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    std::seed_seq seed{device(), device(), static_cast<unsigned>(now), static_cast<unsigned>(now >> 32)};
    return std::mt19937_64(seed);
  }();
  char tail[32];
  std::snprintf(tail, sizeof tail, ".%08llx.tmp", static_cast<unsigned long long>(random() & 0xFFFFFFFFull));
  std::filesystem::path temp = path;
  temp += tail;
  return temp;
}

bool WriteWholeFile(const std::filesystem::path& path, const std::string& bytes, std::string* error) {
  std::string why = "no free temporary name";
  // The rename would put a file where a device node or a pipe was.
  std::error_code ec;
  if (std::filesystem::exists(path, ec) && !std::filesystem::is_regular_file(path, ec)) {
    *error = "cannot write " + Utf8Path(path) + ": it is not a regular file";
    return false;
  }
  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    const std::filesystem::path temp = TempPathBeside(path);
    const NewFile made = WriteNewFile(temp, bytes, &why);
    if (made == NewFile::Exists) continue;
    if (made == NewFile::Made && MoveIntoPlace(temp, path, &why)) return true;
    if (made == NewFile::Made) {  // ours, not renamed
      std::error_code ignored;
      std::filesystem::remove(temp, ignored);
    }
    break;
  }
  *error = "cannot write " + Utf8Path(path) + ": " + why;
  return false;
}

std::string ProbeNewFile(const std::filesystem::path& path) {
  std::string why = "no free temporary name";
  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    const std::filesystem::path temp = TempPathBeside(path);
    const NewFile made = WriteNewFile(temp, "", &why);
    if (made == NewFile::Exists) continue;
    if (made == NewFile::Made) {
      std::error_code ignored;
      std::filesystem::remove(temp, ignored);
      return "";
    }
    break;
  }
  return why;
}
