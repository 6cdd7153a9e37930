// The name check on raw names. A name it accepts, taken either as stored or
// as converted from the patch's code page, must name a plain file below the
// target folder under Windows' rules: joined to a base folder and normalised
// it stays below it, and no component is one that Windows would strip, read
// as a device, or open as a stream. Its clash key ignores case and separators.
#include <cctype>
#include <string>
#include <vector>

#include "container/entries.h"
#include "fuzz/fuzz_env.h"
#include "platform/os.h"

using namespace tw;

namespace {

std::vector<std::string> Components(const std::string& name) {
  std::vector<std::string> parts;
  std::string part;
  for (char c : name) {
    if (c == '\\' || c == '/') {
      parts.push_back(part);
      part.clear();
    } else {
      part += c;
    }
  }
  parts.push_back(part);
  return parts;
}

// Windows' reading of a device name: the part before the first dot, without
// trailing blanks, compared ignoring case.
bool NamesADevice(const std::string& component) {
  std::string base = component.substr(0, component.find('.'));
  while (!base.empty() && base.back() == ' ') base.pop_back();
  for (char& c : base) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  for (const char* d : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"}) {
    if (base == d) return true;
  }
  return base.size() == 4 && (base.compare(0, 3, "COM") == 0 || base.compare(0, 3, "LPT") == 0) &&
         isdigit(static_cast<unsigned char>(base[3]));
}

// Lexical normalisation of base + "/" + name, as a path API would do it.
std::string Normalised(const std::string& base, const std::string& name) {
  std::vector<std::string> stack;
  for (const std::string& part : Components(base + "/" + name)) {
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      if (!stack.empty()) stack.pop_back();
      continue;
    }
    stack.push_back(part);
  }
  std::string out;
  for (const std::string& part : stack) out += "/" + part;
  return out;
}

void CheckAccepted(const std::string& name) {
  if (IsUnsafeName(name)) return;
  fuzz::Check(!name.empty(), "empty name accepted");
  const std::string base = "/base/target";
  fuzz::Check(Normalised(base, name).rfind(base + "/", 0) == 0, "name leaves the base folder");
  std::vector<std::string> parts = Components(name);
  fuzz::Check(!parts.front().empty() && !parts.back().empty(), "name names a folder or a root");
  for (const std::string& part : parts) {
    // Windows reads doubled separators as one.
    if (part.empty()) continue;
    fuzz::Check(part.back() != '.' && part.back() != ' ', "component Windows would cut");
    fuzz::Check(!NamesADevice(part), "device name accepted");
    for (unsigned char c : part) {
      fuzz::Check(c >= 0x20 && c != ':' && c != '*' && c != '?' && c != '"' && c != '<' && c != '>',
                  "byte that names no plain file accepted");
    }
  }
}

// Two spellings of one Windows name share their clash key: ASCII case and
// either separator do not tell names apart.
void CheckKey(const std::string& name) {
  std::string other = name;
  for (char& c : other) {
    if (c == '\\') {
      c = '/';
    } else if (isalpha(static_cast<unsigned char>(c))) {
      c = static_cast<char>(isupper(static_cast<unsigned char>(c)) ? tolower(c) : toupper(c));
    }
  }
  fuzz::Check(OsNameKey(name) == OsNameKey(other), "case or separator changes the clash key");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Names in a patch are at most 255 bytes long.
  if (size > 255) return 0;
  std::string raw(reinterpret_cast<const char*>(data), size);
  CheckAccepted(raw);
  CheckAccepted(NativeFromPatchText(raw));
  CheckKey(NativeFromPatchText(raw));
  return 0;
}
