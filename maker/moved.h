// Where a new file that has no old file at its own path can be made from:
// releases move and rename files, and a file sent whole when an old copy of
// it is installed elsewhere makes patches several times larger.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

namespace tw {

using Bytes = std::vector<unsigned char>;

// Content-defined samples of data: hashes of the 64 bytes before positions
// that the content itself picks, about one in 256, each once. Shared
// samples between two files mean shared runs of bytes wherever they sit.
std::vector<uint64_t> ContentSamples(const Bytes& data);

class MovedSourceFinder {
 public:
  // files: name -> path of one old release ("/" separated names);
  // usable tells whether an old file may serve as a source;
  // read gives a file's bytes.
  MovedSourceFinder(const std::map<std::string, std::string>& files,
                    std::function<bool(const std::string&)> usable,
                    std::function<Bytes(const std::string&)> read);
  // The old file new_name is best made from: a file of the same name in
  // another folder first, else the one sharing the most content, if it
  // shares enough to help; "" when none does.
  std::string Find(const std::string& new_name, const Bytes& new_data);

 private:
  void BuildIndex();
  std::vector<uint32_t> Votes(const Bytes& new_data, size_t* samples);

  const std::map<std::string, std::string>& files_;
  std::function<bool(const std::string&)> usable_;
  std::function<Bytes(const std::string&)> read_;
  bool indexed_ = false;
  std::vector<std::string> names_;                 // the files indexed
  std::unordered_map<uint64_t, uint32_t> owner_;   // sample -> file, kShared when several
};

}  // namespace tw
