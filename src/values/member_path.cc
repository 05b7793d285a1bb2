#include "values/member_path.h"

#include <iterator>

namespace moxal {

bool FindMember(ObjectRef doc, const std::vector<std::string>& fields, uint32_t* hints,
                MemberPath* path) {
  if (fields.size() > std::size(path->objects)) return false;
  path->count = 0;
  path->objects[path->count++] = 0;
  auto enter = [&](ObjectRef object) {
    path->objects[path->count++] = static_cast<uint32_t>(object.data() - doc.data());
  };
  ObjectRef holder = doc;
  path->member = FollowPath(doc, fields, hints, &holder, enter);
  return path->member >= 0;
}

}  // namespace moxal
