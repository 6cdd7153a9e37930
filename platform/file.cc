#include "platform/file.h"

#include <algorithm>
#include <cstring>

namespace tw {
namespace {

// Codes of our own, beside the OS codes: a transfer that moved fewer bytes than
// asked, and a seek to a negative position.
constexpr int kShortTransfer = 0x7fff0001;
constexpr int kBadPosition = 0x7fff0002;
constexpr int kNotOpen = 0x7fff0003;
constexpr int kReadOnly = 0x7fff0004;
// The logical piece of a chunked transfer; buffering decides the OS calls.
constexpr int64_t kPieceSize = 60000;

}  // namespace

void SetIoError(int code) { internal::pending_io_error = code != 0 ? code : kShortTransfer; }

std::string IoErrorText(int code) {
  switch (code) {
    case kShortTransfer:
      return "the file ended early";
    case kBadPosition:
      return "a position outside the file";
    case kNotOpen:
      return "the file is not open";
    case kReadOnly:
      return "the file is open only for reading";
    default:
      return OsErrorText(code);
  }
}

File::~File() { Close(); }

void File::Fail(int code) {
  SetIoError(code);
  last_error_ = internal::pending_io_error;
}

std::string File::LastFailure() const {
  if (last_error_ == 0) return std::string();
  return path_ + ": " + IoErrorText(last_error_);
}

bool File::Opened(OsFile handle, int err, const std::string& path, bool read_only) {
  handle_ = handle;
  path_ = path;
  last_error_ = 0;
  if (handle_ == kNoOsFile) {
    Fail(err);
    return false;
  }
  pos_ = 0;
  read_start_ = read_len_ = 0;
  write_start_ = write_len_ = dirty_from_ = dirty_to_ = 0;
  os_size_ = read_only ? -1 : 0;
  read_only_ = read_only;
  return true;
}

bool File::OpenRead(const std::string& path) {
  Close();
  int err = 0;
  OsFile h = OsOpenRead(path, &err);
  return Opened(h, err, path, true);
}

bool File::Create(const std::string& path) {
  Close();
  int err = 0;
  OsFile h = OsCreate(path, &err);
  return Opened(h, err, path, false);
}

bool File::CreateNew(const std::string& path) {
  Close();
  int err = 0;
  OsFile h = OsCreateNew(path, &err);
  return Opened(h, err, path, false);
}

void File::ReleaseBuffers() {
  // A run keeps many files open one after another; holding a buffer for each
  // closed one would make memory grow with the number of files.
  read_buf_.reset();
  write_buf_.reset();
  window_ = nullptr;
  blocks_.reset();
  slot_of_ = {};
  block_of_ = {};
  slot_len_ = {};
  used_ = {};
  read_len_ = write_len_ = dirty_from_ = dirty_to_ = 0;
}

bool File::Close() {
  if (handle_ == kNoOsFile) return true;
  bool ok = Flush() && !write_failed_;
  write_failed_ = false;
  if (ok) Wrote(wb_to_, 0, true);
  writeback_ = false;
  wb_from_ = wb_to_ = 0;
  int err = 0;
  if (!OsClose(handle_, &err)) {
    Fail(err);
    ok = false;
  }
  handle_ = kNoOsFile;
  ReleaseBuffers();
  return ok;
}

bool File::Flush() {
  if (dirty_from_ == dirty_to_) return true;
  int err = 0;
  int64_t at = write_start_ + dirty_from_;
  bool ok = OsWriteAt(handle_, at, write_buf_.get() + dirty_from_,
                      static_cast<size_t>(dirty_to_ - dirty_from_), &err);
  if (ok) {
    os_size_ = std::max(os_size_, write_start_ + dirty_to_);
    Wrote(at, dirty_to_ - dirty_from_);
  } else {
    // What the file holds is unknown now; nothing buffered may stand for it.
    write_failed_ = true;
    Fail(err);
    write_len_ = 0;
    read_len_ = 0;
  }
  dirty_from_ = dirty_to_ = 0;
  return ok;
}

void File::Wrote(int64_t at, int64_t n, bool all) {
  if (!writeback_) return;
  // Only a run of writes, each where the last ended, is gathered; the file
  // system sends the rest out at the rename as before.
  if (at != wb_to_) wb_from_ = at;
  wb_to_ = at + n;
  if (wb_to_ - wb_from_ >= kWritebackPiece || (all && wb_to_ > wb_from_)) {
    OsStartWriteback(handle_, wb_from_, wb_to_ - wb_from_);
    wb_from_ = wb_to_;
  }
}

void File::FailBadPosition() { Fail(kBadPosition); }

bool File::ReadAtPosition(void* dst, int64_t n) {
  int64_t got = 0;
  bool ok = Fetch(pos_, static_cast<unsigned char*>(dst), n, &got);
  pos_ += got;
  return ok;
}

bool File::ReadThrough(int64_t pos, void* dst, int64_t n) {
  if (n <= 0) return true;
  if (handle_ == kNoOsFile || pos < 0) {
    Fail(handle_ == kNoOsFile ? kNotOpen : kBadPosition);
    return false;
  }
  // Bytes still in the write buffer are newer than what the OS holds.
  if (dirty_from_ != dirty_to_ && !Flush()) return false;
  auto* out = static_cast<unsigned char*>(dst);
  while (n > 0) {
    int64_t r = 0;
    if (!ReadSome(pos, out, n, &r)) return false;
    out += r, pos += r, n -= r;
  }
  return true;
}

bool File::CopyFrom(File& from, int64_t from_pos, int64_t n) {
  if (n <= 0) return true;
  if (handle_ == kNoOsFile || read_only_) {
    Fail(handle_ == kNoOsFile ? kNotOpen : kReadOnly);
    return false;
  }
  if (from.handle_ == kNoOsFile || from_pos < 0) {
    from.Fail(from.handle_ == kNoOsFile ? kNotOpen : kBadPosition);
    return false;
  }
  // The system's copy sees only what it holds: neither file may keep
  // unwritten bytes, nor this one a buffered copy of what is replaced.
  if (!from.Flush() || !Flush()) return false;
  read_len_ = write_len_ = 0;
  int64_t copied = 0;
  int err = 0;
  bool reading = false;
  if (!OsCopyAt(from.handle_, from_pos, handle_, pos_, n, &copied, &err, &reading)) {
    if (reading) {
      from.Fail(err);
    } else {
      write_failed_ = true;
      Fail(err);
    }
    return false;
  }
  auto done = [&](int64_t k) {
    Wrote(pos_, k);
    pos_ += k;
    os_size_ = std::max(os_size_, pos_);
  };
  done(copied);
  n -= copied;
  from_pos += copied;
  if (n == 0) return true;
  const int64_t size = std::min<int64_t>(n, kWriteBuffer);
  std::unique_ptr<unsigned char[]> buf(new unsigned char[static_cast<size_t>(size)]);
  while (n > 0) {
    int64_t got = 0;
    if (!from.ReadSome(from_pos, buf.get(), std::min(n, size), &got)) return false;
    if (!OsWriteAt(handle_, pos_, buf.get(), static_cast<size_t>(got), &err)) {
      write_failed_ = true;
      Fail(err);
      return false;
    }
    done(got);
    n -= got;
    from_pos += got;
  }
  return true;
}

bool File::ReadSome(int64_t pos, unsigned char* dst, int64_t n, int64_t* got) {
  const OsPiece piece{dst, static_cast<size_t>(n)};
  return ReadSome(pos, &piece, 1, got);
}

bool File::ReadSome(int64_t pos, const OsPiece* pieces, int count, int64_t* got) {
  int err = 0;
  size_t read = 0;
  if (!OsReadAtPieces(handle_, pos, pieces, count, &read, &err)) {
    Fail(err);
    return false;
  }
  if (read == 0) {
    Fail(kShortTransfer);
    return false;
  }
  *got = static_cast<int64_t>(read);
  return true;
}

bool File::FetchAt(int64_t pos, void* dst, int64_t n) {
  int64_t got = 0;
  return Fetch(pos, static_cast<unsigned char*>(dst), n, &got);
}

bool File::Fetch(int64_t pos, unsigned char* dst, int64_t n, int64_t* got) {
  *got = 0;
  if (n <= 0) return true;
  if (handle_ == kNoOsFile) {
    Fail(kNotOpen);
    return false;
  }
  if (pos < 0) {
    Fail(kBadPosition);
    return false;
  }
  if (blocks_) return FetchBlocks(pos, dst, n, got);
  while (n > 0) {
    const int64_t write_end = write_start_ + write_len_;
    if (write_len_ > 0 && pos >= write_start_ && pos < write_end) {
      int64_t take = std::min(n, write_end - pos);
      std::memcpy(dst, write_buf_.get() + (pos - write_start_), static_cast<size_t>(take));
      dst += take, pos += take, n -= take, *got += take;
      continue;
    }
    if (read_len_ > 0 && pos >= read_start_ && pos < read_start_ + read_len_) {
      int64_t take = std::min(n, read_start_ + read_len_ - pos);
      std::memcpy(dst, window_ + (pos - read_start_), static_cast<size_t>(take));
      dst += take, pos += take, n -= take, *got += take;
      continue;
    }
    // The OS holds the bytes from here up to the write buffer, whose unwritten
    // bytes it has not seen, and, for a file of ours, up to what was flushed.
    int64_t limit = INT64_MAX;
    if (write_len_ > 0 && write_start_ > pos) limit = write_start_;
    if (os_size_ >= 0) limit = std::min(limit, os_size_);
    if (pos >= limit) {
      // Past what the OS holds and outside the buffer: a gap before the
      // buffered bytes (zeros once written) or the end of the file.
      if (dirty_from_ != dirty_to_) {
        if (!Flush()) return false;
        continue;
      }
      Fail(kShortTransfer);
      return false;
    }
    if (n >= kReadWindow) {
      // A large request goes straight into the caller's buffer.
      int64_t r = 0;
      if (!ReadSome(pos, dst, std::min(n, limit - pos), &r)) return false;
      dst += r, pos += r, n -= r, *got += r;
      continue;
    }
    int err = 0;
    size_t read = 0;
    // Reading on from the window doubles what the next fill brings, up to the
    // whole window, and keeps the window's last bytes in front of it, so that
    // a step back across the seam finds them. A jump brings little: the
    // decoder's references land all over a source, and filling the window
    // for each would move far more bytes than it uses. A jump lands a little
    // before the byte asked for, so that reads stepping back from it hit.
    const bool onward = read_len_ > 0 && pos == read_start_ + read_len_;
    fill_size_ = onward ? std::min(kReadWindow, 2 * fill_size_) : kJumpFill;
    int64_t start = onward ? pos : std::max<int64_t>(0, pos - kJumpFill / 4);
    if (write_len_ > 0 && write_end <= pos) start = std::max(start, write_end);
    if (!read_buf_) read_buf_.reset(new unsigned char[kReadKept + kReadWindow]);
    window_ = read_buf_.get();
    int64_t kept = onward ? std::min(read_len_, kReadKept) : 0;
    std::memmove(read_buf_.get(), read_buf_.get() + (read_len_ - kept), static_cast<size_t>(kept));
    size_t want = static_cast<size_t>(std::min(fill_size_, limit - start));
    read_len_ = 0;
    if (!OsReadAt(handle_, start, read_buf_.get() + kept, want, &read, &err)) {
      Fail(err);
      return false;
    }
    read_start_ = start - kept;
    read_len_ = kept + static_cast<int64_t>(read);
    if (read_start_ + read_len_ <= pos) {
      Fail(kShortTransfer);
      return false;
    }
  }
  return true;
}

bool File::WriteAtPosition(const void* src, int64_t n) {
  if (n <= 0) return true;
  if (handle_ == kNoOsFile || read_only_) {
    Fail(handle_ == kNoOsFile ? kNotOpen : kReadOnly);
    return false;
  }
  const auto* in = static_cast<const unsigned char*>(src);
  // The read window stays a true copy of the file.
  int64_t lo = std::max(pos_, read_start_), hi = std::min(pos_ + n, read_start_ + read_len_);
  if (lo < hi) {
    std::memcpy(window_ + (lo - read_start_), in + (lo - pos_), static_cast<size_t>(hi - lo));
  }
  if (!write_buf_) write_buf_.reset(new unsigned char[kWriteBuffer]);
  if (write_len_ == 0) write_start_ = pos_;
  int64_t offset = pos_ - write_start_;
  if (offset < 0 || offset > write_len_) {
    // Not next to what the buffer holds: start it afresh here.
    if (!Flush()) return false;
    write_start_ = pos_;
    write_len_ = offset = 0;
  }
  const bool direct = n >= kDirectWrite;
  if (offset + n > kWriteBuffer || direct) {
    if (!Flush()) return false;
    const int64_t write_end = write_start_ + write_len_;
    if (direct) {
      int err = 0;
      if (!OsWriteAt(handle_, pos_, in, static_cast<size_t>(n), &err)) {
        write_failed_ = true;
        write_len_ = read_len_ = 0;
        Fail(err);
        return false;
      }
      Wrote(pos_, n);
      pos_ += n;
      os_size_ = std::max(os_size_, pos_);
      // Its tail is what a read just behind the position wants.
      write_start_ = pos_ - kKeptOutput;
      write_len_ = kKeptOutput;
      std::memcpy(write_buf_.get(), in + (n - kKeptOutput), static_cast<size_t>(kKeptOutput));
      return true;
    }
    // Slide: keep the last bytes before the position, drop the rest.
    int64_t keep_from = std::max(write_start_, std::min(pos_, write_end - kKeptOutput));
    std::memmove(write_buf_.get(), write_buf_.get() + (keep_from - write_start_),
                 static_cast<size_t>(write_end - keep_from));
    write_start_ = keep_from;
    write_len_ = write_end - keep_from;
    offset = pos_ - write_start_;
  }
  std::memcpy(write_buf_.get() + offset, in, static_cast<size_t>(n));
  if (dirty_from_ == dirty_to_) {
    dirty_from_ = offset;
    dirty_to_ = offset + n;
  } else {
    dirty_from_ = std::min(dirty_from_, offset);
    dirty_to_ = std::max(dirty_to_, offset + n);
  }
  write_len_ = std::max(write_len_, offset + n);
  pos_ += n;
  return true;
}

int64_t File::Size() {
  if (handle_ == kNoOsFile) {
    Fail(kNotOpen);
    return -1;
  }
  if (!Flush()) return -1;
  int err = 0;
  int64_t size = OsSize(handle_, &err);
  if (size < 0) Fail(err);
  return size;
}

bool File::SetTimeFromDos(uint32_t dos_date_time) {
  if (handle_ == kNoOsFile || !Flush()) return false;
  return OsSetFileTimeDos(handle_, dos_date_time);
}

void File::KeepBlocks(int64_t budget) {
  if (handle_ == kNoOsFile || !read_only_ || blocks_) return;
  int err = 0;
  int64_t size = OsSize(handle_, &err);
  if (size < 0) return;  // the plain window still serves
  int64_t count = std::min(budget / kBlock, size / kBlock + 1);
  if (count < 2) return;
  blocks_.reset(new unsigned char[static_cast<size_t>(count * kBlock)]);
  OsPrepareMemory(blocks_.get(), static_cast<size_t>(count * kBlock));
  slot_of_.assign(static_cast<size_t>(size / kBlock + 1), -1);
  block_of_.assign(static_cast<size_t>(count), -1);
  slot_len_.assign(static_cast<size_t>(count), 0);
  used_.assign(static_cast<size_t>(count), 0);
  hand_ = 0;
  next_miss_ = -1;
  read_buf_.reset();
  window_ = nullptr;
  read_len_ = 0;
}

const unsigned char* File::ReadIntoKept(int64_t pos, int64_t n) {
  if (!blocks_ || n <= 0 || pos < 0 || pos % kBlock != 0) return nullptr;
  const auto count = static_cast<int64_t>(block_of_.size());
  const int64_t first = pos / kBlock, blocks = (n + kBlock - 1) / kBlock;
  // Free slots in a row from the clock's hand, as a fresh set has them.
  if (hand_ + blocks > count || first + blocks > static_cast<int64_t>(slot_of_.size())) {
    return nullptr;
  }
  for (int64_t i = 0; i < blocks; ++i) {
    if (block_of_[static_cast<size_t>(hand_ + i)] >= 0 ||
        slot_of_[static_cast<size_t>(first + i)] >= 0) {
      return nullptr;
    }
  }
  unsigned char* at = blocks_.get() + hand_ * kBlock;
  for (int64_t done = 0; done < n;) {
    int err = 0;
    size_t got = 0;
    const OsPiece piece{at + done, static_cast<size_t>(n - done)};
    if (!OsReadAtPieces(handle_, pos + done, &piece, 1, &got, &err) || got == 0) return nullptr;
    done += static_cast<int64_t>(got);
  }
  // Whole blocks only: a piece may end inside a block that holds more.
  const int64_t whole = n / kBlock;
  for (int64_t i = 0; i < whole; ++i) {
    const auto slot = static_cast<size_t>(hand_ + i);
    block_of_[slot] = first + i;
    slot_of_[static_cast<size_t>(first + i)] = static_cast<int32_t>(slot);
    slot_len_[slot] = static_cast<int32_t>(kBlock);
    used_[slot] = 0;  // not wanted yet: the first to go if it never is
  }
  hand_ = static_cast<int32_t>((hand_ + whole) % count);
  return at;
}

int32_t File::TakeSlot() {
  const auto count = static_cast<int32_t>(block_of_.size());
  while (used_[static_cast<size_t>(hand_)] != 0) {
    used_[static_cast<size_t>(hand_)] = 0;
    hand_ = (hand_ + 1) % count;
  }
  const int32_t s = hand_;
  hand_ = (hand_ + 1) % count;
  const auto slot = static_cast<size_t>(s);
  if (block_of_[slot] >= 0) slot_of_[static_cast<size_t>(block_of_[slot])] = -1;
  block_of_[slot] = -1;
  slot_len_[slot] = 0;
  // Passed over once by the next take, so that a take never gets it again.
  used_[slot] = 1;
  // The window may show this slot; it must not show what is read in next.
  if (window_ == blocks_.get() + static_cast<int64_t>(s) * kBlock) read_len_ = 0;
  return s;
}

int32_t File::BlockSlot(int64_t b) {
  const auto known = static_cast<int64_t>(slot_of_.size());
  if (b < known && slot_of_[static_cast<size_t>(b)] >= 0) {
    int32_t s = slot_of_[static_cast<size_t>(b)];
    used_[static_cast<size_t>(s)] = 1;
    return s;
  }
  // A miss on the block after the last one a miss read reads on: copies walk
  // the source mostly in order, and one call for several blocks costs less
  // than one each (far less under Wine, where every call is a round trip).
  int n = 1;
  const int most = std::min<int>(kReadAhead, static_cast<int>(block_of_.size() / 2));
  if (b == next_miss_) {
    while (n < most && b + n < known && slot_of_[static_cast<size_t>(b + n)] < 0) ++n;
  }
  next_miss_ = b + n;
  int32_t slots[kReadAhead];
  OsPiece pieces[kReadAhead];
  for (int i = 0; i < n; ++i) {
    slots[i] = TakeSlot();
    pieces[i] = {blocks_.get() + static_cast<int64_t>(slots[i]) * kBlock, kBlock};
  }
  int64_t read = 0;
  if (!ReadSome(b * kBlock, pieces, n, &read)) return -1;
  for (int i = 0; i < n && read > i * kBlock; ++i) {
    const auto slot = static_cast<size_t>(slots[i]);
    const int64_t len = std::min(kBlock, read - i * kBlock);
    // A block read ahead is kept only whole, or as the file's last.
    if (i > 0 && len < kBlock && b + i != known - 1) break;
    slot_len_[slot] = static_cast<int32_t>(len);
    // A block of a file that has grown since is served, but not kept.
    if (b + i >= known) break;
    block_of_[slot] = b + i;
    slot_of_[static_cast<size_t>(b + i)] = slots[i];
    // Read ahead and not used yet: the first to go if it never is.
    used_[slot] = i == 0;
  }
  for (int i = 1; i < n; ++i) {
    if (block_of_[static_cast<size_t>(slots[i])] < 0) used_[static_cast<size_t>(slots[i])] = 0;
  }
  return slots[0];
}

void File::ShowSlot(int32_t s, int64_t b) {
  window_ = blocks_.get() + static_cast<int64_t>(s) * kBlock;
  read_start_ = b * kBlock;
  // A block served but not kept (past the size the file had) shows nothing.
  read_len_ = block_of_[static_cast<size_t>(s)] == b ? slot_len_[static_cast<size_t>(s)] : 0;
}

bool File::ReadKept(void* dst, int64_t n) {
  if (!blocks_ || n <= 0 || pos_ < 0) return false;
  const int64_t b = pos_ / kBlock;
  const int64_t at = pos_ - b * kBlock;
  if (b >= static_cast<int64_t>(slot_of_.size()) || at + n > kBlock) return false;
  const int32_t s = slot_of_[static_cast<size_t>(b)];
  if (s < 0 || at + n > slot_len_[static_cast<size_t>(s)]) return false;
  used_[static_cast<size_t>(s)] = 1;
  ShowSlot(s, b);
  std::memcpy(dst, window_ + at, static_cast<size_t>(n));
  pos_ += n;
  return true;
}

bool File::FetchBlocks(int64_t pos, unsigned char* dst, int64_t n, int64_t* got) {
  while (n > 0) {
    const int64_t b = pos / kBlock;
    const int32_t s = BlockSlot(b);
    if (s < 0) return false;
    const int64_t at = pos - b * kBlock;
    const int64_t len = slot_len_[static_cast<size_t>(s)];
    if (at >= len) {
      Fail(kShortTransfer);
      return false;
    }
    ShowSlot(s, b);
    const int64_t take = std::min(n, len - at);
    std::memcpy(dst, window_ + at, static_cast<size_t>(take));
    dst += take, pos += take, n -= take, *got += take;
  }
  return true;
}

std::string File::Number() const {
  return handle_ == kNoOsFile ? std::string() : OsFileNumberOf(handle_);
}

bool File::GiveRights(const OsFileRights& rights) {
  if (handle_ == kNoOsFile || !Flush()) return false;
  return OsGiveFileRights(handle_, rights);
}

bool ReadPieces(File& file, void* dst, int64_t count) {
  auto* out = static_cast<unsigned char*>(dst);
  for (int64_t remaining = count; remaining > 0;) {
    int64_t piece = std::min(remaining, kPieceSize);
    file.Read(out + (count - remaining), piece);
    remaining -= piece;
  }
  return TakeIoError() == 0;
}

bool WritePieces(File& file, const void* src, int64_t count) {
  const auto* in = static_cast<const unsigned char*>(src);
  for (int64_t remaining = count; remaining > 0;) {
    int64_t piece = std::min(remaining, kPieceSize);
    file.Write(in + (count - remaining), piece);
    remaining -= piece;
  }
  return TakeIoError() == 0;
}

bool ReadChunkedAt(File& file, int64_t pos, void* dst, int64_t count) {
  auto* out = static_cast<unsigned char*>(dst);
  for (int64_t done = 0; done < count;) {
    int64_t piece = std::min(count - done, kPieceSize);
    file.ReadAt(pos + done, out + done, piece);
    done += piece;
  }
  return TakeIoError() == 0;
}

}  // namespace tw
