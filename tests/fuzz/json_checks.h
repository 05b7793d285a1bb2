// The properties the JSON fuzz harness checks on every input, shared with
// the unit test that replays the seed corpus and the saved regressions.
//
// Any byte string either fails to read or reads into a well-formed value;
// the text written from that value is the reference writer's, reads back
// equal, and writing it again gives the same text. The reader pulls its input in chunks and has its own
// code for tokens that cross a chunk boundary, so the same bytes are also
// read through sources that cut them into chunks of many sizes (empty ones
// included), each chunk in its own allocation that is freed when the next
// one is handed out: reading past a chunk, or keeping a pointer into an old
// one, is then an AddressSanitizer report. The chunked reads must accept
// exactly what the one-block read accepts and give the same value, and the
// per-element read of a collection file must give the array's elements.

#ifndef MOXAL_TESTS_FUZZ_JSON_CHECKS_H_
#define MOXAL_TESTS_FUZZ_JSON_CHECKS_H_

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "blob_check.h"
#include "json_model.h"
#include "json_text.h"
#include "values/byte_io.h"
#include "values/equality.h"
#include "values/json_reader.h"
#include "values/json_writer.h"

namespace moxal::fuzz {

// Hands the input out in chunks whose sizes cycle through `pattern` (a 0 is
// an empty chunk), each copied into a buffer of exactly its size.
class ChunkedSource : public ByteSource {
 public:
  ChunkedSource(std::string_view text, std::vector<size_t> pattern)
      : text_(text), pattern_(std::move(pattern)) {}

  bool Next(const uint8_t** data, size_t* size) override {
    if (pos_ == text_.size()) return false;
    size_t n = std::min(pattern_[turn_++ % pattern_.size()], text_.size() - pos_);
    chunk_.reset(new uint8_t[n]);  // frees the previous chunk
    std::memcpy(chunk_.get(), text_.data() + pos_, n);
    pos_ += n;
    *data = chunk_.get();
    *size = n;
    return true;
  }

 private:
  std::string_view text_;
  std::vector<size_t> pattern_;
  size_t turn_ = 0;
  size_t pos_ = 0;
  std::unique_ptr<uint8_t[]> chunk_;
};

// Chunk size patterns for `text`: single bytes (short inputs only, as it
// costs an allocation per byte), sizes around the reader's 8-byte word scan
// in an order that depends on the input, and one large chunk after a few
// tiny ones.
inline std::vector<std::vector<size_t>> ChunkPatterns(std::string_view text) {
  static const size_t kSizes[] = {0, 1, 2, 3, 5, 7, 8, 9, 15, 16, 17, 63};
  uint64_t h = 1469598103934665603u;  // FNV-1a: a different cut per input
  for (char c : text) h = (h ^ static_cast<uint8_t>(c)) * 1099511628211u;
  std::vector<size_t> mixed;
  for (int i = 0; i < 12; ++i, h = h * 6364136223846793005u + 1442695040888963407u) {
    mixed.push_back(kSizes[(h >> 33) % std::size(kSizes)]);
  }
  mixed.push_back(1);  // never all empty
  std::vector<std::vector<size_t>> patterns = {mixed, {0, 1, 2, 4096}};
  if (text.size() <= 2048) patterns.push_back({1});
  return patterns;
}

// "" when `whole` (the one-block read of the same text: `ok`, `v`) agrees
// with the reads through `pattern`, else what differs.
inline std::string CheckChunkedReads(std::string_view text, bool ok, const Value& v,
                                     const std::string& written,
                                     const std::vector<size_t>& pattern) {
  ChunkedSource one(text, pattern);
  Value c;
  bool c_ok = ReadJson(one, &c);
  if (c_ok != ok) return ok ? "chunked read rejects" : "chunked read accepts";
  if (ok && (!Equal(c.ref(), v.ref()) || ToJson(c.ref()) != written)) {
    return "chunked read gives another value";
  }
  ChunkedSource many(text, pattern);
  Value single;
  std::vector<Value> elements;
  bool e_ok = ReadJsonElements(many, &single, &elements);
  if (e_ok != ok) return ok ? "element read rejects" : "element read accepts";
  if (!ok) return "";
  if (!v.ref().is_array()) {
    if (!elements.empty() || single.empty() || !Equal(single.ref(), v.ref())) {
      return "element read of a non-array gives another value";
    }
    return "";
  }
  if (!single.empty() || elements.size() != v.ref().as_array().count()) {
    return "element read gives another number of elements";
  }
  size_t i = 0;
  for (ValueRef e : v.ref().as_array()) {
    const Value& got = elements[i++];
    if (std::string bad = CheckBlob(got); !bad.empty()) return "element blob: " + bad;
    if (!Equal(got.ref(), e) || ToJson(got.ref()) != ToJson(e)) {
      return "element " + std::to_string(i - 1) + " differs from the array's";
    }
  }
  return "";
}

// "" when the text `text` passes every check, else the first failure.
inline std::string CheckJsonText(std::string_view text) {
  Value v;
  bool ok = ParseJson(text, &v);
  std::string written;
  if (ok) {
    if (std::string bad = CheckBlob(v); !bad.empty()) return "read blob: " + bad;
    if (Depth(v.ref()) > kMaxNesting) return "read a value nested too deeply";
    written = ToJson(v.ref());
    if (written != ModelJson(v.ref())) return "written text differs from the model's: " + written;
    Value back;
    if (!ParseJson(written, &back)) return "written text does not read back: " + written;
    if (std::string bad = CheckBlob(back); !bad.empty()) return "reread blob: " + bad;
    if (!Equal(v.ref(), back.ref()) || !Equal(back.ref(), v.ref())) {
      return "written text reads back unequal: " + written;
    }
    if (std::string again = ToJson(back.ref()); again != written) {
      return "writing is not a fixed point: " + written + " then " + again;
    }
  }
  for (const std::vector<size_t>& pattern : ChunkPatterns(text)) {
    if (std::string bad = CheckChunkedReads(text, ok, v, written, pattern); !bad.empty()) {
      return bad;
    }
  }
  return "";
}

}  // namespace moxal::fuzz

#endif  // MOXAL_TESTS_FUZZ_JSON_CHECKS_H_
