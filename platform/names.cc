#include "platform/names.h"

namespace tw {
namespace {

bool IsSeparator(const std::string& text, size_t i, size_t next) {
  return next == i + 1 && (text[i] == '\\' || text[i] == '/');
}

}  // namespace

size_t NextCharIndex(const std::string& text, size_t i, LeadByteRule lead) {
  return i + 1 < text.size() && lead(static_cast<unsigned char>(text[i])) ? i + 2 : i + 1;
}

size_t LastBackslash(const std::string& text, LeadByteRule lead) {
  // Only a walk from the start knows where characters begin: a byte before
  // 0x5C may be a lead byte or the trail byte of the character before it.
  size_t last = std::string::npos;
  for (size_t i = 0, next; i < text.size(); i = next) {
    next = NextCharIndex(text, i, lead);
    if (next == i + 1 && text[i] == '\\') last = i;
  }
  return last;
}

bool EndsWithBackslash(const std::string& text, LeadByteRule lead) {
  return !text.empty() && LastBackslash(text, lead) == text.size() - 1;
}

std::vector<std::string> SplitName(const std::string& name, LeadByteRule lead) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (size_t i = 0, next; i < name.size(); i = next) {
    next = NextCharIndex(name, i, lead);
    if (!IsSeparator(name, i, next)) continue;
    parts.push_back(name.substr(start, i - start));
    start = next;
  }
  parts.push_back(name.substr(start));
  return parts;
}

std::string AsciiUpper(const std::string& text, LeadByteRule lead) {
  std::string out = text;
  for (size_t i = 0, next; i < out.size(); i = next) {
    next = NextCharIndex(out, i, lead);
    if (next == i + 1 && out[i] >= 'a' && out[i] <= 'z')
      out[i] = static_cast<char>(out[i] - 'a' + 'A');
  }
  return out;
}

}  // namespace tw
