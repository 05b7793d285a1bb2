#include "db/collection_names.h"

#include <cstdio>
#include <cstdlib>

#include "storage/fs.h"
#include "storage/journal_file.h"

namespace moxal {

std::string CollectionFilePath(std::string_view dir, std::string_view name) {
  std::string path =
      (!name.empty() && name.front() == '/') ? std::string(name) : JoinPath(dir, name);
  std::string joined = path;
  if (path.size() > 1 && path.back() == '/') path.pop_back();
  size_t slash = path.rfind('/');
  std::string_view last = std::string_view(path).substr(slash == std::string::npos ? 0 : slash + 1);
  if (last == "..") return joined;
  size_t dot = last.rfind('.');
  if (dot != std::string_view::npos && dot != 0) {
    path.resize(path.size() - (last.size() - dot - 1));
    path += "json";
  } else {
    path += ".json";
  }
  return path;
}

std::string CollectionFileKey(std::string_view name) {
  std::string path = CollectionFilePath("", name);
  std::string key;
  key.reserve(path.size());
  for (size_t start = 0; start <= path.size();) {
    size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    std::string_view part = std::string_view(path).substr(start, end - start);
    if (!part.empty() && part != ".") {
      if (!key.empty()) key += '/';
      key += part;
    }
    start = end + 1;
  }
  return key;
}

std::string_view Stem(std::string_view file_name) {
  if (file_name == "..") return file_name;
  size_t dot = file_name.rfind('.');
  if (dot == std::string_view::npos || dot == 0) return file_name;
  return file_name.substr(0, dot);
}

bool HasJsonExtension(std::string_view file_name) {
  size_t dot = file_name.rfind('.');
  return dot != std::string_view::npos && dot != 0 && file_name.substr(dot + 1) == "json";
}

Status CheckCollectionName(std::string_view name) {
  bool bad = name.empty() || name.front() == '/' || HasNul(name);
  for (size_t start = 0; !bad && start <= name.size();) {
    size_t end = name.find('/', start);
    if (end == std::string_view::npos) end = name.size();
    bad = name.substr(start, end - start) == "..";
    start = end + 1;
  }
  if (!bad) return Status();
  return Status::InvalidArgument("Invalid collection name '" + std::string(name) + "'");
}

Status FileTaken(std::string_view name, std::string_view owner, std::string_view path) {
  return Status::InvalidArgument("Collection '" + std::string(name) +
                                 "' has the file of the collection '" + std::string(owner) + "' (" +
                                 std::string(path) + ")");
}

namespace {
constexpr std::string_view kAsideSuffix = ".moxal-drop";
constexpr size_t kTokenDigits = 16;
}  // namespace

std::string AsidePath(const std::string& path, uint64_t token) {
  char suffix[40];
  std::snprintf(suffix, sizeof suffix, ".%016llx", static_cast<unsigned long long>(token));
  return path + suffix + std::string(kAsideSuffix);
}

bool ParseAsidePath(std::string_view aside, std::string* path, uint64_t* token) {
  if (!aside.ends_with(kAsideSuffix)) return false;
  aside.remove_suffix(kAsideSuffix.size());
  if (aside.size() < kTokenDigits + 2 || aside[aside.size() - kTokenDigits - 1] != '.') {
    return false;
  }
  std::string digits(aside.substr(aside.size() - kTokenDigits));
  if (digits.find_first_not_of("0123456789abcdef") != std::string::npos) return false;
  *token = std::strtoull(digits.c_str(), nullptr, 16);
  *path = std::string(aside.substr(0, aside.size() - kTokenDigits - 1));
  return true;
}

bool IsJournalFileName(std::string_view file_name) {
  std::string path;
  uint64_t token;
  return file_name == kJournalFileName || file_name == kJournalLockName ||
         (file_name.starts_with(kJournalFileName) && file_name.ends_with(".moxal-tmp")) ||
         ParseAsidePath(file_name, &path, &token);
}

}  // namespace moxal
