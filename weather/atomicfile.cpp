// atomicfile.cpp - directory creation and whole-file replacement.
#include "atomicfile.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string reason(const std::string &what, const std::string &path) {
  return what + " " + path + ": " + strerror(errno);
}

bool writeAll(int fd, const std::string &bytes) {
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

bool makeDirectories(const std::string &dir, std::string *why) {
  if (dir.empty()) {
    *why = "empty output directory name";
    return false;
  }
  for (size_t slash = dir.find('/', 1);; slash = dir.find('/', slash + 1)) {
    const std::string part = dir.substr(0, slash);
    if (mkdir(part.c_str(), 0777) != 0 && errno != EEXIST) {
      *why = reason("cannot create", part);
      return false;
    }
    if (slash == std::string::npos) break;
  }
  struct stat st;
  if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    errno = ENOTDIR;
    *why = reason("cannot use", dir);
    return false;
  }
  return true;
}

bool writeAtomically(const std::string &dir, const std::string &name, const std::string &bytes,
                     std::string *why) {
  // A hidden name of this process: a web server lists no half file, and a
  // second renderer on the same directory does not share it.
  const std::string temp = dir + "/." + name + "." + std::to_string(getpid()) + ".tmp";
  const std::string path = dir + "/" + name;
  int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0666);
  if (fd < 0) {
    *why = reason("cannot create", temp);
    return false;
  }
  const bool written = writeAll(fd, bytes);
  const int savedErrno = errno;
  if (close(fd) != 0 || !written) {
    if (!written) errno = savedErrno;
    *why = reason("cannot write", temp);
    unlink(temp.c_str());
    return false;
  }
  if (rename(temp.c_str(), path.c_str()) != 0) {
    *why = reason("cannot rename into", path);
    unlink(temp.c_str());
    return false;
  }
  return true;
}
