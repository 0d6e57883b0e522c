// Writes S-record files for tests: CR LF line ends, an S0 header, data
// records of the chosen type and the matching end record.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace porten::testing {

struct Segment {
  uint32_t address;
  std::vector<uint8_t> bytes;
};

// type 1, 2 or 3 (S1/S2/S3); perRecord data bytes a record.
std::string MakeSRecords(const std::vector<Segment>& segments, int type = 3, size_t perRecord = 16);
bool WriteTextFile(const std::string& path, const std::string& text);

// A fresh temporary directory, removed with its files on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

}  // namespace porten::testing
