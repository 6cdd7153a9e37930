#include "platform/file.h"

#include <algorithm>
#include <cstring>

namespace tw {
namespace {

thread_local int g_io_error = 0;
// Codes of our own, beside the OS codes: a transfer that moved fewer bytes than
// asked, and a seek to a negative position.
constexpr int kShortTransfer = 0x7fff0001;
constexpr int kBadPosition = 0x7fff0002;
constexpr int kNotOpen = 0x7fff0003;
constexpr int kReadOnly = 0x7fff0004;

}  // namespace

void SetIoError(int code) { g_io_error = code != 0 ? code : kShortTransfer; }

int TakeIoError() {
  int code = g_io_error;
  g_io_error = 0;
  return code;
}

File::~File() { Close(); }

bool File::OpenRead(const std::string& path) {
  Close();
  int err = 0;
  handle_ = OsOpenRead(path, &err);
  if (handle_ == kNoOsFile) {
    SetIoError(err);
    return false;
  }
  path_ = path;
  pos_ = os_pos_ = buf_start_ = buf_len_ = 0;
  os_pos_known_ = true;
  writing_ = false;
  read_only_ = true;
  if (!buf_) buf_.reset(new unsigned char[kBufferSize]);
  return true;
}

bool File::Create(const std::string& path) { return Make(path, false); }
bool File::CreateNew(const std::string& path) { return Make(path, true); }

bool File::Make(const std::string& path, bool must_be_new) {
  Close();
  int err = 0;
  handle_ = must_be_new ? OsCreateNew(path, &err) : OsCreate(path, &err);
  if (handle_ == kNoOsFile) {
    SetIoError(err);
    return false;
  }
  path_ = path;
  pos_ = os_pos_ = buf_start_ = buf_len_ = 0;
  os_pos_known_ = true;
  writing_ = false;
  read_only_ = false;
  if (!buf_) buf_.reset(new unsigned char[kBufferSize]);
  return true;
}

bool File::Close() {
  if (handle_ == kNoOsFile) return true;
  bool ok = Flush() && !write_failed_;
  write_failed_ = false;
  int err = 0;
  if (!OsClose(handle_, &err)) {
    SetIoError(err);
    ok = false;
  }
  handle_ = kNoOsFile;
  buf_len_ = 0;
  writing_ = false;
  return ok;
}

bool File::Flush() {
  if (!writing_ || buf_len_ == 0) {
    writing_ = false;
    buf_len_ = 0;
    return true;
  }
  int err = 0;
  bool ok = true;
  if (!os_pos_known_ || os_pos_ != buf_start_) {
    ok = OsSeek(handle_, buf_start_, &err);
  }
  if (ok) ok = OsWrite(handle_, buf_.get(), static_cast<size_t>(buf_len_), &err);
  if (ok) {
    os_pos_ = buf_start_ + buf_len_;
    os_pos_known_ = true;
  } else {
    os_pos_known_ = false;
    write_failed_ = true;
    SetIoError(err);
  }
  writing_ = false;
  buf_len_ = 0;
  return ok;
}

void File::DropReadBuffer() {
  if (!writing_) buf_len_ = 0;
}

void File::Seek(int64_t pos) {
  if (pos < 0) {
    SetIoError(kBadPosition);
    return;
  }
  pos_ = pos;
}

bool File::Read(void* dst, int64_t n) {
  if (n <= 0) return true;
  if (handle_ == kNoOsFile) {
    SetIoError(kNotOpen);
    return false;
  }
  if (writing_ && !Flush()) return false;
  auto* out = static_cast<unsigned char*>(dst);
  while (n > 0) {
    if (buf_len_ > 0 && pos_ >= buf_start_ && pos_ < buf_start_ + buf_len_) {
      int64_t take = std::min(n, buf_start_ + buf_len_ - pos_);
      std::memcpy(out, buf_.get() + (pos_ - buf_start_), static_cast<size_t>(take));
      out += take;
      pos_ += take;
      n -= take;
      continue;
    }
    int err = 0;
    if (!os_pos_known_ || os_pos_ != pos_) {
      if (!OsSeek(handle_, pos_, &err)) {
        os_pos_known_ = false;
        SetIoError(err);
        return false;
      }
      os_pos_ = pos_;
      os_pos_known_ = true;
    }
    // A large request goes straight into the caller's buffer.
    bool direct = n >= kBufferSize;
    unsigned char* target = direct ? out : buf_.get();
    size_t want = static_cast<size_t>(direct ? n : kBufferSize);
    size_t got = 0;
    if (!OsRead(handle_, target, want, &got, &err)) {
      os_pos_known_ = false;
      buf_len_ = 0;
      SetIoError(err);
      return false;
    }
    os_pos_ += static_cast<int64_t>(got);
    if (got == 0) {
      buf_len_ = 0;
      SetIoError(kShortTransfer);
      return false;
    }
    if (direct) {
      out += got;
      pos_ += static_cast<int64_t>(got);
      n -= static_cast<int64_t>(got);
    } else {
      buf_start_ = pos_;
      buf_len_ = static_cast<int64_t>(got);
    }
  }
  return true;
}

bool File::Write(const void* src, int64_t n) {
  if (n <= 0) return true;
  if (handle_ == kNoOsFile || read_only_) {
    SetIoError(handle_ == kNoOsFile ? kNotOpen : kReadOnly);
    return false;
  }
  DropReadBuffer();
  if (writing_ && pos_ != buf_start_ + buf_len_ && !Flush()) return false;
  if (!writing_) {
    writing_ = true;
    buf_start_ = pos_;
    buf_len_ = 0;
  }
  const auto* in = static_cast<const unsigned char*>(src);
  if (buf_len_ + n <= kBufferSize) {
    std::memcpy(buf_.get() + buf_len_, in, static_cast<size_t>(n));
    buf_len_ += n;
    pos_ += n;
    if (buf_len_ == kBufferSize) return Flush();
    return true;
  }
  if (!Flush()) return false;
  int err = 0;
  if ((!os_pos_known_ || os_pos_ != pos_) && !OsSeek(handle_, pos_, &err)) {
    os_pos_known_ = false;
    SetIoError(err);
    return false;
  }
  if (!OsWrite(handle_, in, static_cast<size_t>(n), &err)) {
    os_pos_known_ = false;
    write_failed_ = true;
    SetIoError(err);
    return false;
  }
  pos_ += n;
  os_pos_ = pos_;
  os_pos_known_ = true;
  return true;
}

int64_t File::Size() {
  if (handle_ == kNoOsFile) {
    SetIoError(kNotOpen);
    return -1;
  }
  if (writing_ && !Flush()) return -1;
  int err = 0;
  int64_t size = OsSize(handle_, &err);
  if (size < 0) SetIoError(err);
  return size;
}

bool File::SetTimeFromDos(uint32_t dos_date_time) {
  if (handle_ == kNoOsFile || !Flush()) return false;
  return OsSetFileTimeDos(handle_, dos_date_time);
}

}  // namespace tw
