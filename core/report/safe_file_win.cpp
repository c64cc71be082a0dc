#include <windows.h>

#include <algorithm>
#include <system_error>

#include "core/report/safe_file.h"

namespace {

std::string SystemReason() { return std::system_category().message(static_cast<int>(GetLastError())); }

}  // namespace

NewFile WriteNewFile(const std::filesystem::path& path, const std::string& bytes, std::string* why) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    *why = SystemReason();
    return error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS ? NewFile::Exists : NewFile::Failed;
  }
  bool ok = true;
  size_t done = 0;
  while (ok && done < bytes.size()) {
    const DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 1u << 30));
    DWORD written = 0;
    ok = WriteFile(file, bytes.data() + done, chunk, &written, nullptr) && written > 0;
    done += written;
  }
  ok = ok && FlushFileBuffers(file);
  if (!ok) *why = SystemReason();
  CloseHandle(file);
  if (!ok) DeleteFileW(path.c_str());
  return ok ? NewFile::Made : NewFile::Failed;
}

bool MoveIntoPlace(const std::filesystem::path& from, const std::filesystem::path& to, std::string* why) {
  // Write-through: the call returns once the rename is on the disk.
  if (MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return true;
  *why = SystemReason();
  return false;
}
