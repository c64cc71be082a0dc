#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "core/report/safe_file.h"

namespace {

std::string SystemReason() { return std::strerror(errno); }

bool WriteAll(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

NewFile WriteNewFile(const std::filesystem::path& path, const std::string& bytes, std::string* why) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) {
    *why = SystemReason();
    return errno == EEXIST ? NewFile::Exists : NewFile::Failed;
  }
  bool ok = WriteAll(fd, bytes) && fsync(fd) == 0;
  if (!ok) *why = SystemReason();
  if (close(fd) != 0 && ok) {
    *why = SystemReason();
    ok = false;
  }
  if (!ok) unlink(path.c_str());
  return ok ? NewFile::Made : NewFile::Failed;
}

bool MoveIntoPlace(const std::filesystem::path& from, const std::filesystem::path& to, std::string* why) {
  if (std::rename(from.c_str(), to.c_str()) != 0) {
    *why = SystemReason();
    return false;
  }
  // The rename is an entry of the folder: on the disk once the folder is.
  std::filesystem::path folder = to.parent_path();
  if (folder.empty()) folder = ".";
  const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd >= 0) {
    fsync(fd);
    close(fd);
  }
  return true;
}
