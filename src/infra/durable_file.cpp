// Crash-safe file replacement and appends, whole-file reads and process locks on POSIX systems.
#include "infra/durable_file.hpp"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vok {

namespace {

std::string failure(const std::string& what, const std::string& path, int error) {
  return what + " '" + path + "': " + std::strerror(error);
}

// write(2) until every byte is out; false with errno set.
bool write_all(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

std::string folder_of(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// Flushes the folder holding `path`, so that a new entry in it persists; a
// folder that cannot be opened or flushed (some file systems) is left as
// it is.
void flush_folder(const std::string& path) {
  const int dir = ::open(folder_of(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    ::fsync(dir);
    ::close(dir);
  }
}

}  // namespace

std::optional<FileFailure> replace_file(const std::string& path, std::string_view bytes) {
  const std::string temp = path + ".tmp";
  const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return FileFailure{failure("cannot create", temp, errno)};
  const auto give_up = [&](const std::string& what) {
    const int error = errno;
    ::close(fd);
    ::unlink(temp.c_str());
    return FileFailure{failure(what, temp, error)};
  };
  if (!write_all(fd, bytes)) return give_up("cannot write");
  if (::fsync(fd) != 0) return give_up("cannot flush");
  if (::close(fd) != 0) {
    const int error = errno;
    ::unlink(temp.c_str());
    return FileFailure{failure("cannot close", temp, error)};
  }
  if (::rename(temp.c_str(), path.c_str()) != 0) {
    const int error = errno;
    ::unlink(temp.c_str());
    return FileFailure{failure("cannot rename over", path, error)};
  }
  // The rename is durable once the folder is.
  flush_folder(path);
  return std::nullopt;
}

std::optional<FileFailure> write_file_at(const std::string& path, std::size_t offset, std::string_view bytes) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return FileFailure{failure("cannot open", path, errno)};
  const auto give_up = [&](const std::string& what) {
    const int error = errno;
    // A tail left by a failed write is never committed; cutting it keeps
    // a full disk from holding it.
    (void)::ftruncate(fd, static_cast<off_t>(offset));
    ::close(fd);
    return FileFailure{failure(what, path, error)};
  };
  if (::ftruncate(fd, static_cast<off_t>(offset)) != 0) return give_up("cannot cut");
  if (::lseek(fd, static_cast<off_t>(offset), SEEK_SET) < 0) return give_up("cannot seek in");
  if (!write_all(fd, bytes)) return give_up("cannot write");
  if (::fsync(fd) != 0) return give_up("cannot flush");
  if (::close(fd) != 0) return FileFailure{failure("cannot close", path, errno)};
  // A file created here persists once its folder does.
  if (offset == 0) flush_folder(path);
  return std::nullopt;
}

void remove_file(const std::string& path) { (void)::unlink(path.c_str()); }

ReadFile read_file(const std::string& path) {
  ReadFile out;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    out.missing = errno == ENOENT;
    out.failure = failure("cannot open", path, errno);
    return out;
  }
  std::string bytes;
  char buffer[1 << 16];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      out.failure = failure("cannot read", path, errno);
      ::close(fd);
      return out;
    }
    if (n == 0) break;
    bytes.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fd);
  out.bytes = std::move(bytes);
  return out;
}

FileLock& FileLock::operator=(FileLock&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

FileLock::~FileLock() {
  if (fd_ >= 0) ::close(fd_);
}

FileLock::Attempt FileLock::take(const std::string& path) {
  Attempt attempt;
  const std::string lock_path = path + ".lock";
  const int fd = ::open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) {
    attempt.failure = failure("cannot open", lock_path, errno);
    return attempt;
  }
  // flock locks belong to the open file description: a second FileLock in
  // this very process is refused as well, as another process's would be.
  while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno == EINTR) continue;
    const int error = errno;
    ::close(fd);
    attempt.busy = error == EWOULDBLOCK;
    attempt.failure = attempt.busy ? "'" + path + "' is in use by another running fit (locked through '" +
                                         lock_path + "')"
                                   : failure("cannot lock", lock_path, error);
    return attempt;
  }
  attempt.lock = FileLock(fd);
  return attempt;
}

}  // namespace vok
