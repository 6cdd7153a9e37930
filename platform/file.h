// Byte-granular files with the pending I/O error convention: a failing open,
// create, seek, read or write does not raise; it parks one error code that
// TakeIoError() returns and clears. A read or write that moves fewer bytes than
// asked is a failure. A seek to a negative position fails silently and leaves
// its code pending for the next chunked transfer to report.
//
// The core asks for a byte or a few hundred bytes at a time and reads back
// just behind where it writes, so File keeps two buffers and goes to the OS
// only when neither can serve the request: a read window over the file, which
// a seek inside it leaves in place, and a write buffer that still holds the
// most recently written bytes after they have gone to the OS. Transfers with
// the OS are positional and large; a seek costs nothing.
// A write that the OS refuses may therefore fail only when the buffer is
// flushed: by a later write, Size(), SetTimeFromDos() or Close(). Whoever
// writes a file must check the result of Close().
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/os.h"

namespace tw {

namespace internal {
inline thread_local int pending_io_error = 0;
}  // namespace internal

void SetIoError(int code);
// Returns the pending code (0 when none) and clears it.
inline int TakeIoError() {
  int code = internal::pending_io_error;
  internal::pending_io_error = 0;
  return code;
}
inline void ClearIoError() { TakeIoError(); }
inline bool IoErrorPending() { return internal::pending_io_error != 0; }
// Plain-English text of a pending I/O error code.
std::string IoErrorText(int code);

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
  // Flushes what is buffered and releases the handle and the buffers. False
  // when any write since the file was opened, or the close itself, failed.
  bool Close();
  bool IsOpen() const { return handle_ != kNoOsFile; }
  const std::string& path() const { return path_; }

  // A read that comes up short moves the position as far as it got.
  bool Read(void* dst, int64_t n) { return ReadBuffered(dst, n) || ReadAtPosition(dst, n); }
  // Reads n bytes at pos and leaves the position where it was.
  bool ReadAt(int64_t pos, void* dst, int64_t n) {
    return CopyOut(pos, dst, n) || FetchAt(pos, dst, n);
  }
  // For a caller that keeps a buffer of its own: n bytes at pos straight
  // into dst, past the read window, which stays as it is.
  bool ReadThrough(int64_t pos, void* dst, int64_t n);
  bool Write(const void* src, int64_t n) { return WriteBuffered(src, n) || WriteAtPosition(src, n); }
  // Writes n bytes of `from`, starting at from_pos, at the position: inside
  // the system where it can, else through a buffer of its own. A failure is
  // kept by the file that failed.
  bool CopyFrom(File& from, int64_t from_pos, int64_t n);

  // The common cases, small enough to inline: the whole request served by the
  // buffers, or nothing done and false.
  bool ReadBuffered(void* dst, int64_t n) {
    if (!CopyOut(pos_, dst, n)) return false;
    pos_ += n;
    return true;
  }
  // The same from a kept block (KeepBlocks) that holds the whole request,
  // which the window then shows; never a call to the system.
  bool ReadKept(void* dst, int64_t n);
  bool WriteBuffered(const void* src, int64_t n) {
    // Appending to the write buffer, clear of the read window.
    if (n <= 0 || n >= kDirectWrite || write_len_ == 0 || pos_ != write_start_ + write_len_ ||
        n > kWriteBuffer - write_len_ ||
        (pos_ < read_start_ + read_len_ && pos_ + n > read_start_)) {
      return false;
    }
    std::memcpy(write_buf_.get() + write_len_, src, static_cast<size_t>(n));
    if (dirty_from_ == dirty_to_) dirty_from_ = write_len_;
    write_len_ += n;
    dirty_to_ = write_len_;
    pos_ += n;
    return true;
  }
  // Absolute position; a negative one fails and leaves its error pending.
  // Inline: the decoder seeks before nearly every copy and reference read.
  void Seek(int64_t pos) {
    if (pos < 0) {
      FailBadPosition();
      return;
    }
    pos_ = pos;
  }
  void SeekRelative(int64_t delta) { Seek(pos_ + delta); }
  int64_t Tell() const { return pos_; }
  // Size as the file would have after flushing; -1 with the error pending on
  // failure.
  int64_t Size();
  bool SetTimeFromDos(uint32_t dos_date_time);
  // Flushes what is buffered first: a write after the rights are set could
  // take setuid and setgid away again.
  bool GiveRights(const OsFileRights& rights);
  // For a file opened to read whose bytes are asked for all over, not in
  // order (a delta's source): up to `budget` bytes of it are kept in blocks,
  // the least recently used given up first, so that coming back to a region
  // costs no system call. Until Close().
  void KeepBlocks(int64_t budget);
  // For a first pass over such a file, read once from end to end (its
  // checksum): n bytes at pos, from a block's start, read into free blocks
  // and kept for the reads that follow, so that the first budget's worth is
  // not read twice. Where they are, or nullptr when the blocks are not all
  // free or the read falls short; the caller then reads them another way,
  // which meets any failure again and reports it.
  const unsigned char* ReadIntoKept(int64_t pos, int64_t n);
  // For a file written to be renamed over an installed one: its bytes are
  // handed to the disk as they are written. Some file systems (ext4) write a
  // file out before renaming it over another, so that a crash cannot leave
  // the name empty; started at the rename, that is a wait for all of it, and
  // freeing the replaced file then queues behind those writes.
  void WriteBackEarly() { writeback_ = true; }
  // Which file this is (OsFileNumberOf); empty when not open or unknown.
  std::string Number() const;
  // True once a write to this file has failed, whether or not its error code
  // has been taken since: a read that fails after it tells of the write.
  bool WriteFailed() const { return write_failed_; }
  // The file's name and the system's words for the last failure of this file
  // (its open included); empty when none has failed.
  std::string LastFailure() const;

  static constexpr int64_t kReadWindow = 256 * 1024;
  // What the read window keeps in front of a fill that reads on.
  static constexpr int64_t kReadKept = 16 * 1024;
  // What a read window fill brings after a jump.
  static constexpr int64_t kJumpFill = 16 * 1024;
  static constexpr int64_t kWriteBuffer = 1024 * 1024;
  // What the write buffer keeps of the bytes it has flushed, for reads just
  // behind the write position.
  static constexpr int64_t kKeptOutput = 256 * 1024;
  // A write this large goes to the OS as it is, and only its tail is kept:
  // copying it into the buffer first would cost a pass over its bytes and
  // the first touch of the buffer's pages.
  static constexpr int64_t kDirectWrite = kKeptOutput;
  static constexpr int64_t kBlock = 16 * 1024;

 private:
  bool CopyOut(int64_t pos, void* dst, int64_t n) const {
    if (n <= 0) return false;
    if (pos >= read_start_ && n <= read_start_ + read_len_ - pos) {
      std::memcpy(dst, window_ + (pos - read_start_), static_cast<size_t>(n));
      return true;
    }
    if (pos >= write_start_ && n <= write_start_ + write_len_ - pos) {
      std::memcpy(dst, write_buf_.get() + (pos - write_start_), static_cast<size_t>(n));
      return true;
    }
    return false;
  }
  bool ReadAtPosition(void* dst, int64_t n);
  bool FetchAt(int64_t pos, void* dst, int64_t n);
  bool WriteAtPosition(const void* src, int64_t n);
  // Serves [pos, pos + n) into dst; *got receives how far it got.
  bool Fetch(int64_t pos, unsigned char* dst, int64_t n, int64_t* got);
  // The same from the kept blocks; the window then shows the last block used.
  bool FetchBlocks(int64_t pos, unsigned char* dst, int64_t n, int64_t* got);
  // One OS read of up to n bytes at pos; a read of nothing is a short one.
  bool ReadSome(int64_t pos, unsigned char* dst, int64_t n, int64_t* got);
  // The same into several places in order.
  bool ReadSome(int64_t pos, const OsPiece* pieces, int count, int64_t* got);
  // The slot holding block b, read in when it is not there; -1 on failure.
  int32_t BlockSlot(int64_t b);
  // Makes the window show slot s, which holds block b.
  void ShowSlot(int32_t s, int64_t b);
  // A slot given up by the clock, emptied, for a block to be read into.
  int32_t TakeSlot();
  bool Flush();
  bool Opened(OsFile handle, int err, const std::string& path, bool read_only);
  void ReleaseBuffers();
  // Parks code as the pending I/O error and keeps it as this file's last failure.
  void Fail(int code);
  void FailBadPosition();

  OsFile handle_ = kNoOsFile;
  std::string path_;
  int64_t pos_ = 0;  // logical position
  // Bytes [read_start_, read_start_ + read_len_) of the file as it is now,
  // at window_: writes over them are copied in. The window is read_buf_, or
  // with kept blocks the block used last.
  std::unique_ptr<unsigned char[]> read_buf_;
  unsigned char* window_ = nullptr;
  int64_t read_start_ = 0;
  int64_t read_len_ = 0;
  int64_t fill_size_ = kJumpFill;
  // Bytes [write_start_, write_start_ + write_len_) of the file as it is now;
  // [dirty_from_, dirty_to_) of them (buffer offsets) have not reached the OS.
  std::unique_ptr<unsigned char[]> write_buf_;
  int64_t write_start_ = 0;
  int64_t write_len_ = 0;
  int64_t dirty_from_ = 0;
  int64_t dirty_to_ = 0;
  // The size the OS gives the file, for files this one created and so is the
  // only writer of; -1 for files opened to read, which others may extend.
  int64_t os_size_ = -1;
  bool read_only_ = false;
  // A buffered write that failed; Close() reports it even when the failure
  // surfaced earlier and its error code was taken by someone else.
  bool write_failed_ = false;
  int last_error_ = 0;
  // With WriteBackEarly: [wb_from_, wb_to_) were written but not yet handed
  // to the disk.
  bool writeback_ = false;
  int64_t wb_from_ = 0;
  int64_t wb_to_ = 0;
  static constexpr int64_t kWritebackPiece = 512 * 1024;
  // Notes a successful OS write of [at, at + n); hands a piece to the disk
  // once enough has gathered, or all of it when `all`.
  void Wrote(int64_t at, int64_t n, bool all = false);
  // Kept blocks: slot s holds block block_of_[s] (-1: none), slot_len_[s]
  // bytes of it (short only at the end of the file), at blocks_ + s * kBlock.
  // slot_of_[b] is the slot of block b or -1. Replacement is the clock: a
  // used slot gets a second chance before it is given up.
  std::unique_ptr<unsigned char[]> blocks_;
  std::vector<int32_t> slot_of_;
  std::vector<int64_t> block_of_;
  std::vector<int32_t> slot_len_;
  std::vector<unsigned char> used_;
  int32_t hand_ = 0;
  // The block after the last one a miss read: a miss there reads on.
  int64_t next_miss_ = -1;
  static constexpr int kReadAhead = 4;
};

// Moves count bytes in pieces of at most 60,000, attempting every piece even
// after one failed; true exactly when no I/O error is pending afterwards (which
// also reports, and clears, a failure left by an earlier seek).
bool ReadPieces(File& file, void* dst, int64_t count);
bool WritePieces(File& file, const void* src, int64_t count);
inline bool ReadChunked(File& file, void* dst, int64_t count) {
  return file.ReadBuffered(dst, count) ? TakeIoError() == 0 : ReadPieces(file, dst, count);
}
inline bool WriteChunked(File& file, const void* src, int64_t count) {
  return file.WriteBuffered(src, count) ? TakeIoError() == 0 : WritePieces(file, src, count);
}
// The same for count bytes at pos, leaving the position where it was.
bool ReadChunkedAt(File& file, int64_t pos, void* dst, int64_t count);

}  // namespace tw
