#include "values/edit.h"

#include <cassert>
#include <cstring>
#include <vector>

namespace moxal {

namespace {

// After a splice at `pos` that changed the length by `delta`, fixes the
// enclosing objects at `objects` (outermost first, all starting before
// `pos`): their body sizes, and the table offsets of their members that
// start after `pos`.
void FixEnclosing(uint8_t* blob, const uint32_t* objects, int count, size_t pos, int64_t delta) {
  for (int i = 0; i < count; ++i) {
    uint8_t* header = blob + objects[i];
    StoreU32(header + 5, static_cast<uint32_t>(LoadU32(header + 5) + delta));  // body size
    ObjectRef object(header);
    size_t body = static_cast<size_t>(object.body() - blob);
    uint8_t* table = blob + (object.table() - blob);
    for (uint32_t k = 0; k < object.count(); ++k) {
      uint8_t* slot = table + 4 * size_t{k};
      uint32_t off = LoadU32(slot);
      if (body + off > pos) StoreU32(slot, static_cast<uint32_t>(off + delta));
    }
  }
}

// Replaces bytes [pos, pos + old_len) of the document with `bytes`,
// in place when allowed, else in a new blob; `objects` enclose the range.
void Splice(Value* doc, const uint32_t* objects, int count, size_t pos, size_t old_len,
            const uint8_t* bytes, size_t len) {
  if (len == old_len && doc->unique()) {
    std::memcpy(doc->mutable_data() + pos, bytes, len);
    return;
  }
  size_t size = doc->size();
  Value out = Value::Allocate(size - old_len + len);
  uint8_t* dst = out.mutable_data();
  const uint8_t* src = doc->data();
  std::memcpy(dst, src, pos);
  std::memcpy(dst + pos, bytes, len);
  std::memcpy(dst + pos + len, src + pos + old_len, size - pos - old_len);
  FixEnclosing(dst, objects, count, pos, static_cast<int64_t>(len) - static_cast<int64_t>(old_len));
  *doc = std::move(out);
}

// The object at `obj` without member `index`, encoded anew.
std::vector<uint8_t> WithoutMember(ObjectRef obj, uint32_t index) {
  uint32_t n = obj.count();
  Member removed = obj.member(index);
  const uint8_t* entry = obj.body() + obj.offset(index);
  size_t entry_len = static_cast<size_t>(removed.value.data() + removed.value.size() - entry);
  size_t members_len = static_cast<size_t>(obj.table() - obj.body());
  std::vector<uint8_t> out(kContainerHeader + members_len - entry_len + 4 * size_t{n - 1});
  uint8_t* p = out.data();
  p[0] = tag::kObject;
  StoreU32(p + 1, n - 1);
  StoreU32(p + 5, static_cast<uint32_t>(out.size() - kContainerHeader));
  uint8_t* body = p + kContainerHeader;
  size_t cut = static_cast<size_t>(entry - obj.body());
  std::memcpy(body, obj.body(), cut);
  std::memcpy(body + cut, entry + entry_len, members_len - cut - entry_len);
  uint8_t* table = body + members_len - entry_len;
  for (uint32_t k = 0, j = 0; k < n; ++k) {
    if (k == index) continue;
    uint32_t off = obj.offset(k);
    if (off > cut) off -= static_cast<uint32_t>(entry_len);
    StoreU32(table + 4 * size_t{j++}, off);
  }
  return out;
}

}  // namespace

void ReplaceMemberValue(Value* doc, const MemberPath& path, ValueRef replacement) {
  assert(path.count > 0 && path.member >= 0);
  assert(replacement.data() + replacement.size() <= doc->data() ||
         replacement.data() >= doc->data() + doc->size());
  ValueRef old = MemberAtPath(doc->ref().as_object(), path).value;
  size_t pos = static_cast<size_t>(old.data() - doc->data());
  Splice(doc, path.objects, path.count, pos, old.size(), replacement.data(), replacement.size());
}

void RemoveMember(Value* doc, const MemberPath& path) {
  assert(path.count > 0 && path.member >= 0);
  // The object loses a member and a table slot: re-encode it and splice it
  // in whole, as the new value of its own parent (or as the document).
  size_t at = path.objects[path.count - 1];
  ObjectRef obj(doc->data() + at);
  std::vector<uint8_t> smaller = WithoutMember(obj, static_cast<uint32_t>(path.member));
  Splice(doc, path.objects, path.count - 1, at, ValueRef(obj.data()).size(), smaller.data(),
         smaller.size());
}

}  // namespace moxal
