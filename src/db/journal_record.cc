#include "db/journal_record.h"

#include "db/database.h"
#include "values/blob_check.h"

namespace moxal {

void RecordBuilder::Varint(uint64_t v) {
  while (v >= 0x80) {
    Byte(static_cast<uint8_t>(v | 0x80));
    v >>= 7;
  }
  Byte(static_cast<uint8_t>(v));
}

void RecordBuilder::Text(std::string_view s) {
  Varint(s.size());
  bytes_.append(s);
}

void RecordBuilder::Document(const uint8_t* data, size_t size) {
  Varint(size);
  if (size < kCopyBelow) {
    bytes_.append(reinterpret_cast<const char*>(data), size);
  } else {
    refs_.push_back(Ref{bytes_.size(), data, size});
    referenced_ += size;
  }
}

void RecordBuilder::OwnedDocument(Value v) {
  Document(v);
  if (v.size() >= kCopyBelow) owned_.push_back(std::move(v));
}

void RecordBuilder::Identity(const FileIdentity& id) {
  Byte(id.regular ? 1 : 0);
  Varint(static_cast<uint64_t>(id.device));
  Varint(static_cast<uint64_t>(id.inode));
  Varint(static_cast<uint64_t>(id.size));
  Varint(static_cast<uint64_t>(id.mtime_sec));
  Varint(static_cast<uint64_t>(id.mtime_nsec));
}

void RecordBuilder::Pieces(std::vector<JournalFile::Piece>* pieces) const {
  pieces->clear();
  pieces->reserve(2 * refs_.size() + 1);
  size_t from = 0;
  for (const Ref& r : refs_) {
    pieces->push_back({bytes_.data() + from, r.after - from});
    pieces->push_back({r.data, r.size});
    from = r.after;
  }
  pieces->push_back({bytes_.data() + from, bytes_.size() - from});
}

void RecordBuilder::Clear() {
  bytes_.clear();
  refs_.clear();
  owned_.clear();
  referenced_ = 0;
}

size_t RecordBuilder::size() const { return bytes_.size() + referenced_; }

void RecordRuns(const std::vector<size_t>& positions, RecordBuilder* r) {
  std::vector<std::pair<uint64_t, uint64_t>> runs;
  uint64_t next = 0;
  for (size_t k = 0; k < positions.size();) {
    size_t start = k;
    while (k + 1 < positions.size() && positions[k + 1] == positions[k] + 1) ++k;
    ++k;
    runs.emplace_back(positions[start] - next, k - start);
    next = positions[k - 1] + 2;
  }
  r->Varint(runs.size());
  for (const auto& [gap, length] : runs) {
    r->Varint(gap);
    r->Varint(length);
  }
}

bool ReadRuns(RecordReader* r, uint64_t limit, std::vector<size_t>* positions) {
  uint64_t runs;
  if (!r->Varint(&runs)) return false;
  uint64_t next = 0;  // the first position the next run may start at
  for (uint64_t i = 0; i < runs; ++i) {
    uint64_t gap, length;
    if (!r->Varint(&gap) || !r->Varint(&length) || length == 0 || gap > limit - next ||
        length > limit - next - gap) {
      return false;
    }
    next += gap;
    if (positions != nullptr) {
      for (uint64_t k = 0; k < length; ++k) positions->push_back(static_cast<size_t>(next + k));
    }
    next += length;
    if (i + 1 < runs) {
      if (next == limit) return false;
      ++next;  // runs are apart
    }
  }
  return true;
}

bool RecordReader::Type(RecordType* type) {
  uint8_t b;
  if (!Byte(&b) || b < static_cast<uint8_t>(RecordType::kInsert) ||
      b > static_cast<uint8_t>(RecordType::kFold)) {
    return false;
  }
  *type = static_cast<RecordType>(b);
  return true;
}

bool RecordReader::Byte(uint8_t* b) {
  if (p_ == end_) return false;
  *b = *p_++;
  return true;
}

bool RecordReader::Varint(uint64_t* v) {
  uint64_t out = 0;
  for (int shift = 0; shift < 64; shift += 7) {
    uint8_t b;
    if (!Byte(&b)) return false;
    out |= uint64_t{b & 0x7Fu} << shift;
    if ((b & 0x80) == 0) {
      *v = out;
      return true;
    }
  }
  return false;
}

bool RecordReader::Text(std::string_view* s) {
  uint64_t n;
  if (!Varint(&n) || n > static_cast<uint64_t>(end_ - p_)) return false;
  *s = std::string_view(reinterpret_cast<const char*>(p_), static_cast<size_t>(n));
  p_ += n;
  return true;
}

bool RecordReader::Document(const uint8_t** data, size_t* size) {
  uint64_t n;
  if (!Varint(&n) || n > static_cast<uint64_t>(end_ - p_)) return false;
  if (!IsWellFormedValue(p_, static_cast<size_t>(n), kMaxDocumentDepth)) return false;
  *data = p_;
  *size = static_cast<size_t>(n);
  p_ += n;
  return true;
}

bool RecordReader::UncheckedDocument(const uint8_t** data, size_t* size) {
  uint64_t n;
  if (!Varint(&n) || n > static_cast<uint64_t>(end_ - p_)) return false;
  *data = p_;
  *size = static_cast<size_t>(n);
  p_ += n;
  return true;
}

bool RecordReader::Identity(FileIdentity* id) {
  uint8_t regular;
  uint64_t device, inode, size, sec, nsec;
  if (!Byte(&regular) || !Varint(&device) || !Varint(&inode) || !Varint(&size) || !Varint(&sec) ||
      !Varint(&nsec)) {
    return false;
  }
  id->regular = regular != 0;
  id->device = static_cast<dev_t>(device);
  id->inode = static_cast<ino_t>(inode);
  id->size = static_cast<off_t>(size);
  id->mtime_sec = static_cast<int64_t>(sec);
  id->mtime_nsec = static_cast<int64_t>(nsec);
  return true;
}

bool NamesMadeAfresh(const uint8_t* data, size_t size, std::vector<std::string>* names) {
  RecordReader r(data, size);
  RecordType type;
  std::string_view name;
  uint8_t created;
  uint64_t n, docs, token;
  if (!r.Type(&type)) return false;
  switch (type) {
    case RecordType::kInsert:
      if (!r.Text(&name) || !r.Byte(&created)) return false;
      if (created != 0) names->emplace_back(name);
      return true;
    case RecordType::kLoad:
      if (!r.Varint(&n)) return false;
      for (uint64_t g = 0; g < n; ++g) {
        if (!r.Text(&name) || !r.Byte(&created) || !r.Varint(&docs)) return false;
        for (uint64_t d = 0; d < docs; ++d) {
          std::string_view doc;
          if (!r.Text(&doc)) return false;
        }
        if (created != 0) names->emplace_back(name);
      }
      return true;
    case RecordType::kCreate:
      if (!r.Text(&name)) return false;
      names->emplace_back(name);
      return true;
    case RecordType::kDrop:
      if (!r.Varint(&n)) return false;
      for (uint64_t i = 0; i < n; ++i) {
        if (!r.Text(&name) || !r.Varint(&token)) return false;
        names->emplace_back(name);
      }
      return true;
    default:
      return true;
  }
}

}  // namespace moxal
