// Files written whole or not at all: the data goes to a temporary file in the
// target's directory, which is renamed to the target once it is complete, so
// that a failure or an interruption never leaves a partial file under the
// target's name.
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>

#include "exporter.h"

namespace {

// Temporary names of this process are told apart by a counter.
std::atomic<unsigned long> temporaries{0};

// A temporary name beside `target`: ".NAME.PID-N.tmp" in its directory, the
// name cut short so that the whole stays within a file name's limit.
std::string TemporaryName(const std::string &target) {
  const size_t slash = target.rfind('/');
  const std::string dir = slash == std::string::npos ? "" : target.substr(0, slash + 1);
  std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
  if (base.size() > 200) base.resize(200);
  return dir + "." + base + "." + std::to_string((long)getpid()) + "-" + std::to_string(++temporaries) + ".tmp";
}

}  // namespace

int CreatePendingFile(const std::string &target, PendingFile *file) {
  file->target = target;
  for (int attempt = 0; attempt < 100; attempt++) {
    const std::string temp = TemporaryName(target);
    const int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) {
      file->temp = temp;
      file->fd = fd;
      return 0;
    }
    if (errno != EEXIST) return -1;
  }
  return -1;  // errno EEXIST: every name tried was taken
}

int WriteWhole(int fd, const void *data, size_t size) {
  const unsigned char *p = static_cast<const unsigned char *>(data);
  while (size > 0) {
    const ssize_t n = write(fd, p, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (n == 0) {  // nothing taken and no reason given: treat as a full device
      errno = ENOSPC;
      return -1;
    }
    p += n;
    size -= (size_t)n;
  }
  return 0;
}

int ClosePendingFile(PendingFile *file) {
  if (file->fd < 0) return 0;
  const int fd = file->fd;
  file->fd = -1;
  // A failed close can be the first report of a write that did not reach
  // the device (a full disk on a network file system).
  return close(fd) == 0 ? 0 : -1;
}

int CommitPendingFile(PendingFile *file) {
  if (rename(file->temp.c_str(), file->target.c_str()) != 0) return -1;
  file->temp.clear();
  return 0;
}

int CommitPendingFileNoReplace(PendingFile *file, const std::string &target) {
  // Renaming without replacing is one step where the file system offers it;
  // elsewhere a second link is made (which fails on an existing name) and
  // the temporary name removed.
  if (renameat2(AT_FDCWD, file->temp.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0) {
    file->temp.clear();
    file->target = target;
    return 0;
  }
  if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) return -1;
  if (link(file->temp.c_str(), target.c_str()) != 0) return -1;
  unlink(file->temp.c_str());
  file->temp.clear();
  file->target = target;
  return 0;
}

void DiscardPendingFile(PendingFile *file) {
  if (file->fd >= 0) close(file->fd);
  file->fd = -1;
  if (!file->temp.empty()) unlink(file->temp.c_str());
  file->temp.clear();
}
