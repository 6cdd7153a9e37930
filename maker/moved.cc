#include "maker/moved.h"

#include <algorithm>

namespace tw {
namespace {

constexpr uint32_t kShared = 0xFFFFFFFF;

// A sample from fewer than this many places, or from less than a tenth of
// the new file, is chance, not a common origin.
constexpr uint32_t kMinVotes = 3;
constexpr uint32_t kMinShareDivisor = 10;

struct GearTable {
  uint64_t v[256];
  GearTable() {
    uint64_t x = 0x243F6A8885A308D3ULL;
    for (uint64_t& g : v) {
      x += 0x9E3779B97F4A7C15ULL;
      uint64_t z = x;
      z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
      z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
      g = z ^ (z >> 31);
    }
  }
};

std::string BaseName(const std::string& name) {
  size_t cut = name.rfind('/');
  return cut == std::string::npos ? name : name.substr(cut + 1);
}

}  // namespace

std::vector<uint64_t> ContentSamples(const Bytes& data) {
  static const GearTable gear;
  std::vector<uint64_t> samples;
  uint64_t h = 0;
  for (size_t i = 0; i < data.size(); ++i) {
    // Each byte shifts out after 64 steps: h depends on the last 64 bytes.
    h = (h << 1) + gear.v[data[i]];
    if (i >= 63 && (h >> 56) == 0) samples.push_back(h);
  }
  std::sort(samples.begin(), samples.end());
  samples.erase(std::unique(samples.begin(), samples.end()), samples.end());
  return samples;
}

MovedSourceFinder::MovedSourceFinder(const std::map<std::string, std::string>& files,
                                     std::function<bool(const std::string&)> usable,
                                     std::function<Bytes(const std::string&)> read)
    : files_(files), usable_(std::move(usable)), read_(std::move(read)) {}

void MovedSourceFinder::BuildIndex() {
  indexed_ = true;
  for (const auto& [name, path] : files_) {
    if (!usable_(name)) continue;
    const uint32_t id = static_cast<uint32_t>(names_.size());
    names_.push_back(name);
    for (uint64_t s : ContentSamples(read_(path))) {
      auto [it, fresh] = owner_.emplace(s, id);
      if (!fresh && it->second != id) it->second = kShared;
    }
  }
}

std::vector<uint32_t> MovedSourceFinder::Votes(const Bytes& new_data, size_t* samples) {
  if (!indexed_) BuildIndex();
  std::vector<uint32_t> votes(names_.size(), 0);
  std::vector<uint64_t> mine = ContentSamples(new_data);
  *samples = mine.size();
  for (uint64_t s : mine) {
    auto it = owner_.find(s);
    if (it != owner_.end() && it->second != kShared) ++votes[it->second];
  }
  return votes;
}

std::string MovedSourceFinder::Find(const std::string& new_name, const Bytes& new_data) {
  std::vector<std::string> same_name;
  const std::string base = BaseName(new_name);
  for (const auto& entry : files_) {
    if (BaseName(entry.first) == base && usable_(entry.first)) same_name.push_back(entry.first);
  }
  if (same_name.size() == 1) return same_name[0];
  size_t samples = 0;
  std::vector<uint32_t> votes = Votes(new_data, &samples);
  auto votes_of = [&](const std::string& name) {
    auto at = std::find(names_.begin(), names_.end(), name);
    return at == names_.end() ? 0u : votes[static_cast<size_t>(at - names_.begin())];
  };
  if (!same_name.empty()) {
    // Several folders hold a file of that name: the one most alike.
    return *std::max_element(same_name.begin(), same_name.end(),
                             [&](const std::string& a, const std::string& b) {
                               return votes_of(a) < votes_of(b);
                             });
  }
  auto best = std::max_element(votes.begin(), votes.end());
  if (best == votes.end() || *best < kMinVotes || *best * kMinShareDivisor < samples) return "";
  return names_[static_cast<size_t>(best - votes.begin())];
}

}  // namespace tw
