#include "container/patch_loader.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "container/body.h"
#include "container/entries.h"
#include "messages/catalogue.h"
#include "messages/messages.h"
#include "platform/names.h"
#include "platform/os.h"
#include "state/front_end.h"
#include "state/run_state.h"

namespace tw {

const unsigned char kOemToAnsiTable[256] = {
    0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F,
    0x10, 0x11, 0x12, 0x13, 0xB6, 0xA7, 0x16, 0x17, 0x18, 0x19, 0x1A, 0x1B, 0x1C, 0x1D, 0x1E, 0x1F,
    0x20, 0x21, 0x22, 0x23, 0x24, 0x25, 0x26, 0x27, 0x28, 0x29, 0x2A, 0x2B, 0x2C, 0x2D, 0x2E, 0x2F,
    0x30, 0x31, 0x32, 0x33, 0x34, 0x35, 0x36, 0x37, 0x38, 0x39, 0x3A, 0x3B, 0x3C, 0x3D, 0x3E, 0x3F,
    0x40, 0x41, 0x42, 0x43, 0x44, 0x45, 0x46, 0x47, 0x48, 0x49, 0x4A, 0x4B, 0x4C, 0x4D, 0x4E, 0x4F,
    0x50, 0x51, 0x52, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58, 0x59, 0x5A, 0x5B, 0x5C, 0x5D, 0x5E, 0x5F,
    0x60, 0x61, 0x62, 0x63, 0x64, 0x65, 0x66, 0x67, 0x68, 0x69, 0x6A, 0x6B, 0x6C, 0x6D, 0x6E, 0x6F,
    0x70, 0x71, 0x72, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7A, 0x7B, 0x7C, 0x7D, 0x7E, 0x7F,
    0xC7, 0xFC, 0xE9, 0xE2, 0xE4, 0xE0, 0xE5, 0xE7, 0xEA, 0xEB, 0xE8, 0xEF, 0xEE, 0xEC, 0xC4, 0xC5,
    0xC9, 0xE6, 0xC6, 0xF4, 0xF6, 0xF2, 0xFB, 0xF9, 0xFF, 0xD6, 0xDC, 0xA2, 0xA3, 0xA5, 0x9E, 0x9F,
    0xE1, 0xED, 0xF3, 0xFA, 0xF1, 0xD1, 0xAA, 0xBA, 0xBF, 0xA9, 0xAC, 0xBD, 0xBC, 0xA1, 0xAB, 0xBB,
    0xF8, 0xA4, 0xFD, 0xB3, 0xB4, 0x91, 0x14, 0x9C, 0xB8, 0xB9, 0x15, 0xAF, 0xA6, 0xAE, 0xBE, 0xA8,
    0xC0, 0xC1, 0xC2, 0xC3, 0x8E, 0x8F, 0x92, 0x80, 0xC8, 0x90, 0xCA, 0xCB, 0xCC, 0xCD, 0xCE, 0xCF,
    0xD0, 0x9D, 0xD2, 0xD3, 0xD4, 0xD5, 0x99, 0xD7, 0xD8, 0xD9, 0xDA, 0xDB, 0x9A, 0xDD, 0xDE, 0x98,
    0x85, 0xDF, 0x83, 0xE3, 0x84, 0x86, 0xB5, 0x87, 0x8A, 0x82, 0x88, 0x89, 0x8D, 0xAD, 0x8C, 0x8B,
    0xF0, 0xB1, 0x95, 0x9B, 0x93, 0xF5, 0xF7, 0x94, 0xB0, 0x97, 0xB7, 0x96, 0x81, 0xB2, 0xFE, 0xA0,
};

namespace {

uint32_t U32(const unsigned char* p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

void ParseHeader(const unsigned char* raw, PatchHeader* h) {
  h->Magic = U32(raw);
  h->FormatVersion = U32(raw + 4);
  h->HeaderMode = raw[8];
  h->HeaderFlags = raw[9];
  std::memcpy(h->Reserved, raw + 10, sizeof h->Reserved);
  h->DescriptionLength = static_cast<uint16_t>(raw[74] | (raw[75] << 8));
}

}  // namespace

void ConvertDescription(const std::string& raw, char* out) {
  // A description longer than the box's buffer is cut to fit.
  size_t len = std::min(raw.size(), static_cast<size_t>(kDescriptionCapacity));
  std::memcpy(out, raw.data(), len);
  for (size_t i = 0; i < len; ++i) {
    if (raw[i] == '#' && i + 1 < raw.size() && raw[i + 1] == '%') {
      out[i] = '\0';
      break;
    }
    unsigned char c = kOemToAnsiTable[static_cast<unsigned char>(raw[i])];
    out[i] = static_cast<char>(c == 0 ? 1 : c);
  }
  out[len] = '\0';
}

void DeleteBodyCopy() {
  if (g_run.BodyTempPath.empty()) return;
  g_run.BodyTempFile.Close();
  OsDeleteFile(g_run.BodyTempPath);
  g_run.BodyTempPath.clear();
  g_run.BodyTempOpen = false;
  g_run.BodyCarrierIdentity.clear();
  g_run.BodyCopyIdentity.clear();
  g_run.BodyCarrierStart = -1;
}

void CopyPatchBody() {
  // A run loads the patch the window showed a moment before: when neither
  // the carrier nor the copy has changed since, the copy serves again.
  const int64_t start = g_run.Carrier.Tell();
  const std::string carrier = OsFileIdentity(g_run.PatchFilePath);
  if (g_run.BodyTempOpen && g_run.BodyTempFile.IsOpen() && !carrier.empty() &&
      carrier == g_run.BodyCarrierIdentity && start == g_run.BodyCarrierStart &&
      OsFileIdentity(g_run.BodyTempPath) == g_run.BodyCopyIdentity) {
    g_run.BodyTempFile.Seek(0);
    return;
  }
  // Only the newest body copy is kept: the one before it is not needed again.
  DeleteBodyCopy();
  CreateTempFile(g_run.BodyTempFile, &g_run.BodyTempPath);
  g_run.BodyTempOpen = true;
  int64_t remaining = g_run.Carrier.Size() - g_run.Carrier.Tell();
  if (g_run.Header.HeaderFlags & kFlagCompressedBody) {
    RaiseErrorTextBecause(NativeText(kCompressedBodyText),
                          "the patch body is compressed, which this program does not read");
  }
  // A copy that cannot fit is refused before it fills the volume.
  int64_t free_bytes = OsFreeSpace(g_run.TempFolder);
  if (free_bytes >= 0 && remaining > free_bytes) {
    RaiseErrorBecause(kMsgBodyBufferFailed, "needs " + DecimalText(remaining) +
                                                " bytes in the temp folder " + g_run.TempFolder +
                                                ", " + DecimalText(free_bytes) + " free");
  }
  // The system copies the body where it can: no pass through memory here.
  const int64_t body_start = g_run.Carrier.Tell();
  if (remaining > 0 && !g_run.BodyTempFile.CopyFrom(g_run.Carrier, body_start, remaining)) {
    if (g_run.BodyTempFile.WriteFailed()) {
      ClearIoError();
      RaiseErrorBecause(kMsgBodyBufferFailed, g_run.BodyTempFile.LastFailure());
    }
    ClearIoError();
    RaiseReadPatchFailed();
  }
  g_run.Carrier.Seek(body_start + std::max<int64_t>(remaining, 0));
  // Buffered data reach the disk at the close; a failure there is a failed write.
  if (!g_run.BodyTempFile.Close() || !g_run.BodyTempFile.OpenRead(g_run.BodyTempPath)) {
    ClearIoError();
    RaiseErrorBecause(kMsgBodyBufferFailed, g_run.BodyTempFile.LastFailure());
  }
  // A carrier written just now could be written again within the same clock
  // tick without its identity showing it; such a copy is not used twice.
  if (OsSettledFor(g_run.PatchFilePath, 1)) {
    g_run.BodyCarrierIdentity = carrier;
    g_run.BodyCopyIdentity = OsFileIdentity(g_run.BodyTempPath);
    g_run.BodyCarrierStart = start;
  }
}

void LoadPatch() {
  ClearIoError();
  g_run.Carrier.Close();
  if (!g_run.Carrier.OpenRead(g_run.PatchFilePath)) {
    ClearIoError();
    RaiseErrorBecause(kMsgCarrierOpenFailed, g_run.Carrier.LastFailure());
  }
  int64_t size = g_run.Carrier.Size();
  unsigned char trailer[8];
  g_run.Carrier.Seek(size - 8);
  if (!ReadChunked(g_run.Carrier, trailer, 4) || !ReadChunked(g_run.Carrier, trailer + 4, 4)) {
    RaiseCarrierUnreadable();
  }
  uint32_t container_length = U32(trailer);
  uint32_t trailer_magic = U32(trailer + 4);
  unsigned char raw_header[kHeaderSize];
  g_run.Carrier.Seek(size - static_cast<int64_t>(container_length));
  if (!ReadChunked(g_run.Carrier, raw_header, kHeaderSize)) RaiseCarrierUnreadable();
  ParseHeader(raw_header, &g_run.Header);
  if (trailer_magic != kPatchMagic || g_run.Header.Magic != kPatchMagic) RaiseError(kMsgNotAPatch);

  CopyPatchBody();

  std::string description(g_run.Header.DescriptionLength, '\0');
  ReadBodyBytes(description.data(), static_cast<int64_t>(description.size()));
  g_run.BackupFolderName = NativeFromPatchText(ReadBodyString());
  // "backup\" names the same folder as "backup"; a name that is nothing but
  // separators names none, and backups go below the target like every other
  // file the patch writes.
  if (!g_run.BackupFolderName.empty()) {
    std::string& name = g_run.BackupFolderName;
    while (!name.empty() && (EndsWithBackslash(name) || name.back() == '/')) name.pop_back();
    if (name.empty() || IsUnsafeName(name)) RaisePatchDamaged();
  }
  if (g_run.Header.HeaderFlags & kFlagHasRegistryLocation) {
    g_run.RegistryKeyPath = NativeFromPatchText(ReadBodyString());
    g_run.RegistryValueName = NativeFromPatchText(ReadBodyString());
  } else {
    g_run.RegistryKeyPath.clear();
    g_run.RegistryValueName.clear();
  }
  if (g_run.Header.FormatVersion != kPatchFormatVersion) {
    g_run.TargetPath = DecimalText(static_cast<int32_t>(g_run.Header.FormatVersion));
    RaiseError(kMsgWrongFormatVersion);
  }
  g_run.MultiFileMode = g_run.Header.HeaderMode == 2;
  ConvertDescription(description, g_run.DescriptionText);
  if (g_run.ShownCarrierSize != static_cast<int32_t>(size)) ShowDescription(g_run.DescriptionText);
  g_run.PatchBodyStart = static_cast<int32_t>(g_run.BodyTempFile.Tell());
  g_run.ShownCarrierSize = static_cast<int32_t>(size);
}

}  // namespace tw
