#include "platform/files.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "platform/posix/private_folder.h"

namespace calendar_mirrow_addin::platform {

namespace {

bool WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = write(fd, bytes.data(), bytes.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<size_t>(written));
  }
  return true;
}

std::string Describe(const char* step, const std::string& path) {
  return std::string(step) + " " + path + ": " + std::strerror(errno);
}

// Makes the rename itself durable: the directory entry is flushed too.
void SyncParentFolder(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
  const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  fsync(fd);
  close(fd);
}

}  // namespace

bool ReplaceFileAtomically(const std::string& path, std::string_view bytes, std::string* error) {
  // A name of its own per call: a fixed one would let two writers truncate and publish each
  // other's half-written bytes.
  std::string temporary = path + ".tmp-XXXXXX";
  const int fd = mkostemp(temporary.data(), O_CLOEXEC);  // mode 0600 whatever the umask
  if (fd < 0) {
    if (error) *error = Describe("cannot create", temporary);
    return false;
  }
  const char* failed_step = nullptr;
  if (!WriteAll(fd, bytes)) {
    failed_step = "cannot write";
  } else if (fsync(fd) != 0) {
    failed_step = "cannot flush";
  }
  if (close(fd) != 0 && failed_step == nullptr) failed_step = "cannot close";
  const std::string* failed_path = &temporary;
  if (failed_step == nullptr && rename(temporary.c_str(), path.c_str()) != 0) {
    failed_step = "cannot rename onto";
    failed_path = &path;
  }
  if (failed_step != nullptr) {
    if (error) *error = Describe(failed_step, *failed_path);
    unlink(temporary.c_str());
    return false;
  }
  SyncParentFolder(path);
  return true;
}

bool AppendToFile(const std::string& path, std::string_view bytes) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  const bool written = WriteAll(fd, bytes);
  return close(fd) == 0 && written;
}

bool CreatePrivateFolder(const std::string& path) {
  if (!posix::MakePrivateFolders(path)) return false;
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) return false;
  // A folder made earlier, or by an older version, under a lax umask.
  if ((info.st_mode & 077) != 0 && info.st_uid == geteuid()) chmod(path.c_str(), 0700);
  return true;
}

}  // namespace calendar_mirrow_addin::platform
