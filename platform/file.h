// Byte-granular files with the pending I/O error convention: a failing open,
// create, seek, read or write does not raise; it parks one error code that
// TakeIoError() returns and clears. A read or write that moves fewer bytes than
// asked is a failure. A seek to a negative position fails silently and leaves
// its code pending for the next chunked transfer to report.
//
// The core asks for a byte or a few hundred bytes at a time, so File keeps one
// buffer and goes to the OS only when the buffer cannot serve the request.
// A write that the OS refuses may therefore fail only when the buffer is
// flushed: by a later read, Size(), SetTimeFromDos() or Close(). Whoever
// writes a file must check the result of Close().
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/os.h"

namespace tw {

void SetIoError(int code);
// Returns the pending code (0 when none) and clears it.
int TakeIoError();
inline void ClearIoError() { TakeIoError(); }

class File {
 public:
  File() = default;
  ~File();
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  // Existing files are opened read-only with read and write sharing.
  bool OpenRead(const std::string& path);
  // New files are created by truncation, open for reading and writing.
  bool Create(const std::string& path);
  // The same, for a name that must not exist yet (see OsCreateNew).
  bool CreateNew(const std::string& path);
  // Flushes what is buffered and releases the handle. False when any write
  // since the file was opened, or the close itself, failed.
  bool Close();
  bool IsOpen() const { return handle_ != kNoOsFile; }
  const std::string& path() const { return path_; }

  bool Read(void* dst, int64_t n);
  bool Write(const void* src, int64_t n);
  // Absolute position; a negative one fails and leaves its error pending.
  void Seek(int64_t pos);
  void SeekRelative(int64_t delta) { Seek(pos_ + delta); }
  int64_t Tell() const { return pos_; }
  // Size as the file would have after flushing; -1 with the error pending on
  // failure.
  int64_t Size();
  bool SetTimeFromDos(uint32_t dos_date_time);

 private:
  bool Make(const std::string& path, bool must_be_new);
  bool Flush();
  void DropReadBuffer();

  static constexpr int64_t kBufferSize = 64 * 1024;
  OsFile handle_ = kNoOsFile;
  std::string path_;
  std::unique_ptr<unsigned char[]> buf_;
  int64_t pos_ = 0;       // logical position
  int64_t os_pos_ = 0;    // where the OS handle stands
  int64_t buf_start_ = 0; // file offset of buf_[0]
  int64_t buf_len_ = 0;   // valid bytes (read mode) or pending bytes (write mode)
  bool writing_ = false;  // buffer holds unwritten data
  bool read_only_ = false;
  // A buffered write that failed; Close() reports it even when the failure
  // surfaced earlier and its error code was taken by someone else.
  bool write_failed_ = false;
  bool os_pos_known_ = false;
  int64_t size_hint_ = -1;  // OS size after the last flush, -1 when unknown
};

}  // namespace tw
