// A private folder under /tmp for a test's files, removed with them when the
// test ends.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace ovix::test {

class TempDir {
 public:
  explicit TempDir(const std::string& prefix) {
    std::string templ = "/tmp/" + prefix + "_XXXXXX";
    if (mkdtemp(templ.data())) dir_ = templ;
    EXPECT_FALSE(dir_.empty()) << "no temporary folder";
  }
  ~TempDir() {
    for (const std::string& f : files_) std::remove(f.c_str());
    if (!dir_.empty()) rmdir(dir_.c_str());
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& Path() const { return dir_; }
  // The path of a file in the folder, removed with it.
  std::string File(const std::string& name) {
    files_.push_back(dir_ + "/" + name);
    return files_.back();
  }
  std::string Write(const std::string& name, const std::string& text) {
    const std::string path = File(name);
    FILE* f = std::fopen(path.c_str(), "wb");
    EXPECT_NE(f, nullptr);
    if (f) {
      std::fwrite(text.data(), 1, text.size(), f);
      std::fclose(f);
    }
    return path;
  }

 private:
  std::string dir_;
  std::vector<std::string> files_;
};

}  // namespace ovix::test
