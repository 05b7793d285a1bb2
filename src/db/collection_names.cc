#include "db/collection_names.h"

#include "storage/fs.h"

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

}  // namespace moxal
