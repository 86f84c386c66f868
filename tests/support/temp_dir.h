#pragma once
// A private directory under $TMPDIR (or /tmp), removed with its contents.

#include <string>
#include <string_view>

namespace tessvane::testing {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string file(std::string_view name) const { return path_ + "/" + std::string(name); }
  // Writes content to a file in the directory and returns its path.
  std::string write(std::string_view name, std::string_view content) const;

 private:
  std::string path_;
};

}  // namespace tessvane::testing
