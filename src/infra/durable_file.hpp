#pragma once

// Files that survive a crash: whole-file reads, atomic replacement, and a lock held for as long as a process lives.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace vok {

// What a file operation that failed says: the path, the step and the
// system's reason. Nothing here throws.
struct FileFailure {
  std::string message;
};

// Replaces `path` with `bytes` so that a reader, or the file after a crash
// at any instant, has either the old contents or the new ones, never a mix:
// the bytes go to `path` + ".tmp", which is flushed to the disk (fsync) and
// renamed over `path`; the folder is then flushed so that the rename
// persists. On failure the temporary file is removed and `path` is as it
// was. Thread safety: two writers of one path must not overlap (the
// temporary file is shared); FileLock keeps processes apart.
[[nodiscard]] std::optional<FileFailure> replace_file(const std::string& path, std::string_view bytes);

// Writes `bytes` into `path` at `offset`, after cutting the file to
// `offset` (what lay past it was never committed), and flushes it to the
// disk: once it returns success, the file's first offset + size bytes
// survive a crash. A new file's folder is flushed too. On failure the
// file is cut back to `offset` where that can still be done. The caller
// commits the bytes elsewhere (a file replaced after this returns) and
// ignores any tail past what it committed.
[[nodiscard]] std::optional<FileFailure> write_file_at(const std::string& path, std::size_t offset,
                                                       std::string_view bytes);

// Removes `path` if it is there; a failure is ignored (what is left is a
// file no checkpoint refers to).
void remove_file(const std::string& path);

// The whole file; nullopt (with `missing` set when it does not exist) on
// failure.
struct ReadFile {
  std::optional<std::string> bytes;
  bool missing = false;
  std::string failure;
};
[[nodiscard]] ReadFile read_file(const std::string& path);

// An exclusive advisory lock (flock) on `path` + ".lock", taken without
// waiting and released on destruction, or by the system when the process
// dies, however it dies: a lock held says that a live process uses the file.
// The lock file stays (removing it would let two processes lock two
// different files of one name). Thread safety: one owner.
class FileLock {
 public:
  FileLock() = default;
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;
  FileLock(FileLock&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  FileLock& operator=(FileLock&& other) noexcept;
  ~FileLock();

  // The lock, or why it was not taken (`busy`: another holder has it).
  struct Attempt;
  [[nodiscard]] static Attempt take(const std::string& path);
  bool held() const { return fd_ >= 0; }

 private:
  explicit FileLock(int fd) : fd_(fd) {}
  int fd_ = -1;
};

struct FileLock::Attempt {
  FileLock lock;
  bool busy = false;
  std::string failure;  // empty when the lock is held
};

}  // namespace vok
