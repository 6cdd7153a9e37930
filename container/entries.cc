#include "container/entries.h"

#include "container/body.h"
#include "messages/messages.h"
#include "platform/names.h"
#include "platform/os.h"
#include "state/run_state.h"

namespace tw {
namespace {

uint32_t U32(const unsigned char* p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

uint16_t U16(const unsigned char* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

// Sizes, lengths and offsets are signed 32-bit; a negative one can only come
// from a damaged or hostile patch.
int32_t NonNegative(uint32_t raw) {
  auto v = static_cast<int32_t>(raw);
  if (v < 0) RaisePatchDamaged();
  return v;
}

ExcludedRegion ReadRegion() {
  unsigned char raw[8];
  ReadBodyBytes(raw, 8);
  return {NonNegative(U32(raw)), NonNegative(U32(raw + 4))};
}

// A version's name may be empty: it then stands for the entry's name.
std::string ReadName(bool may_be_empty = false) {
  std::string name = NativeFromPatchText(ReadBodyString());
  if (!(may_be_empty && name.empty()) && IsUnsafeName(name)) RaisePatchDamaged();
  return name;
}

// Windows reads a device in the part before the first dot, ignoring the
// blanks that end it ("nul .txt" is NUL), and reserves COM0 and LPT0 too.
// Neither a dot nor a blank is ever the second byte of a double-byte
// character, so only the case folding needs to know where characters begin.
bool IsReservedDeviceName(std::string component, LeadByteRule lead) {
  size_t dot = component.find('.');
  if (dot != std::string::npos) component.resize(dot);
  while (!component.empty() && component.back() == ' ') component.pop_back();
  component = AsciiUpper(component, lead);
  static const char* const kNames[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
  for (const char* n : kNames) {
    if (component == n) return true;
  }
  return component.size() == 4 && (component.compare(0, 3, "COM") == 0 ||
                                   component.compare(0, 3, "LPT") == 0) &&
         component[3] >= '0' && component[3] <= '9';
}

void ReadPatchedEntry() {
  FileEntry& e = g_run.Entry;
  e.InstalledPath = g_run.TargetBase;
  unsigned char fixed[16];
  ReadBodyBytes(fixed, sizeof fixed);
  e.NewCrc = U32(fixed);
  e.NewSize = NonNegative(U32(fixed + 4));
  e.NewFileTime = U32(fixed + 8);
  e.VersionCount = U16(fixed + 12);
  e.EntryFlags = U16(fixed + 14);
  // The run state holds 20 versions; an entry claiming more is refused
  // rather than stored past the slots.
  if (e.VersionCount > kMaxVersions) RaisePatchDamaged();
  bool regions = e.EntryFlags & kEntryHasExcludedRegions;
  e.Excluded = regions ? ReadRegion() : ExcludedRegion{};
  e.OptionalFile = (e.EntryFlags & kEntryOptionalFile) != 0;
  if (g_run.MultiFileMode) {
    g_run.EntryName = ReadName();
    e.InstalledPath = g_run.TargetBase + "\\" + g_run.EntryName;
  } else {
    g_run.EntryName = g_run.TargetPath;
  }
  // The streams must lie inside the body, before the trailer.
  int64_t body_end = g_run.BodyTempFile.Size() - kTrailerSize;
  for (int k = 1; k <= e.VersionCount; ++k) {
    if (g_run.MultiFileMode) {
      e.VersionName[k] = ReadName(true);
      if (e.VersionName[k].empty()) e.VersionName[k] = g_run.EntryName;
    }
    unsigned char raw[32];
    ReadBodyBytes(raw, sizeof raw);
    SourceVersion& v = e.Version[k];
    v.SourceCrc = U32(raw);
    v.SourceSize = NonNegative(U32(raw + 4));
    int64_t total = 0;
    for (int i = 0; i < kStreamCount; ++i) {
      v.StreamLength[i] = NonNegative(U32(raw + 8 + 4 * i));
      total += v.StreamLength[i];
    }
    v.FixupPeriod = U16(raw + 28);
    v.VersionFlags = raw[30];
    v.InsertBlockSize = raw[31];
    e.VersionExcluded[k] = regions ? ReadRegion() : ExcludedRegion{};
    e.StreamStart[k] = static_cast<int32_t>(g_run.BodyTempFile.Tell());
    if (e.StreamStart[k] + total > body_end) RaisePatchDamaged();
    g_run.BodyTempFile.SeekRelative(total);
  }
}

}  // namespace

bool IsUnsafeName(const std::string& name, LeadByteRule lead) {
  if (name.empty() || name[0] == '\\' || name[0] == '/') return true;
  for (unsigned char c : name) {
    // Drive letters and alternate data streams both need a colon; control
    // bytes and wildcards never name a plain file. These are all below 0x40,
    // so no trail byte of a double-byte character is mistaken for one.
    if (c < 0x20 || c == ':' || c == '*' || c == '?' || c == '<' || c == '>' || c == '"') {
      return true;
    }
  }
  std::vector<std::string> parts = SplitName(name, lead);
  for (size_t k = 0; k < parts.size(); ++k) {
    const std::string& component = parts[k];
    if (component.empty()) {
      if (k + 1 == parts.size()) return true;  // a trailing separator names a folder
      continue;
    }
    // Windows drops trailing dots and blanks, so "..." or ". " could reach
    // the parent; "." and ".." end in a dot too. No trail byte is either.
    char last = component.back();
    if (last == '.' || last == ' ') return true;
    if (IsReservedDeviceName(component, lead)) return true;
  }
  return false;
}

int ReadNextEntry() {
  ClearIoError();
  unsigned char kind = kEntryPatched;
  if (g_run.MultiFileMode) ReadBodyBytes(&kind, 1);
  switch (kind) {
    case kEntryPatched:
      ReadPatchedEntry();
      break;
    case kEntryIncluded:
      g_run.EntryName = ReadName();
      g_run.Entry.IncludedPath = g_run.TargetBase + "\\" + g_run.EntryName;
      break;
    case kEntryEnd:
      break;
    default:
      RaisePatchDamaged();
  }
  return kind;
}

}  // namespace tw
