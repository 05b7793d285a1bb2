// Helpers shared by the C++ tests.

#ifndef MOXAL_TESTS_CPP_TEST_UTIL_H_
#define MOXAL_TESTS_CPP_TEST_UTIL_H_

#include <ftw.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "../fuzz/json_text.h"

namespace moxal::testing {

// The value of a JSON text the test knows to be valid.
inline Value Parse(const std::string& text) {
  Value v;
  if (!ParseJson(text, &v)) {
    std::cerr << "cannot parse " << text << "\n";
    std::abort();
  }
  return v;
}

using Files = std::vector<std::pair<std::string, std::string>>;

// A fresh directory holding the given files (names relative to it, one
// level of subdirectories made as needed), removed with everything in it at
// the end. It is made in `base`, or in /tmp when that does not exist.
class TempDir {
 public:
  explicit TempDir(const Files& files, const std::string& base = "/tmp") {
    struct stat st;
    std::string pattern =
        (::stat(base.c_str(), &st) == 0 ? base : std::string("/tmp")) + "/moxal-test-XXXXXX";
    path_ = ::mkdtemp(pattern.data());
    for (const auto& [name, text] : files) {
      size_t slash = name.rfind('/');
      if (slash != std::string::npos) ::mkdir((path_ + "/" + name.substr(0, slash)).c_str(), 0777);
      std::ofstream(path_ + "/" + name) << text;
    }
  }
  ~TempDir() {
    ::nftw(
        path_.c_str(),
        [](const char* path, const struct stat*, int, struct FTW*) { return ::remove(path); }, 16,
        FTW_DEPTH | FTW_PHYS);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// Every file under `dir` (its path relative to `dir`, "/" after a
// directory) with its content; a file over 64 KiB is told by its inode,
// size and modification time instead, which any change of it renews. The
// journal's lock file holds the state its objects share while they run,
// not data: only that it is there counts.
inline std::map<std::string, std::string> DirectoryContents(const std::string& dir) {
  static std::map<std::string, std::string>* out;
  static size_t prefix;
  std::map<std::string, std::string> files;
  out = &files;
  prefix = dir.size();
  ::nftw(
      dir.c_str(),
      [](const char* path, const struct stat* st, int type, struct FTW*) {
        std::string name = std::string(path).substr(prefix);
        if (type == FTW_D) {
          (*out)[name + "/"] = "";
        } else if (name.ends_with(".moxal-journal.lock")) {
          (*out)[name] = "<the journal's shared state>";
        } else if (st->st_size > (64 << 10)) {
          (*out)[name] = "<" + std::to_string(st->st_size) + " bytes, inode " +
                         std::to_string(st->st_ino) + ", modified " +
                         std::to_string(st->st_mtim.tv_sec) + "." +
                         std::to_string(st->st_mtim.tv_nsec) + ">";
        } else {
          std::ostringstream text;
          text << std::ifstream(path).rdbuf();
          (*out)[name] = text.str();
        }
        return 0;
      },
      16, FTW_PHYS);
  return files;
}

}  // namespace moxal::testing

#endif  // MOXAL_TESTS_CPP_TEST_UTIL_H_
