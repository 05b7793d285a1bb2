// The value model: key order, equality, the hash feed and SipHash-1-3.

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "check.h"
#include "test_util.h"
#include "values/blob_arena.h"
#include "values/builder.h"
#include "values/edit.h"
#include "values/equality.h"
#include "values/hash_feed.h"
#include "values/json_reader.h"
#include "values/json_writer.h"
#include "values/member_path.h"
#include "values/siphash.h"
#include "values/utf8.h"

using namespace moxal;
using moxal::testing::Parse;

namespace {

// Captures the hash feed as bytes.
struct ByteFeed {
  std::string bytes;
  void Update(const void* p, size_t n) { bytes.append(static_cast<const char*>(p), n); }
  void UpdateU32(uint32_t v) { Update(&v, 4); }
  void UpdateU64(uint64_t v) { Update(&v, 8); }
  void UpdateByte(uint8_t b) { Update(&b, 1); }
};

std::string Feed(const char* text) {
  ByteFeed f;
  Value v = Parse(text);
  FeedValue(v.ref(), f);
  return f.bytes;
}

std::string Hex(const std::string& s) {
  static const char* d = "0123456789abcdef";
  std::string out;
  for (unsigned char c : s) {
    out += d[c >> 4];
    out += d[c & 15];
  }
  return out;
}

}  // namespace

TEST(EqualityTable) {
  struct Case {
    const char* a;
    const char* b;
    bool equal;
  };
  const Case cases[] = {
      {"1", "1", true},
      {"1", "1.0", false},
      {"0.0", "-0.0", true},
      {"-1", "-1.0", false},
      {"null", "false", false},
      {"0", "false", false},
      {"\"\"", "[]", false},
      {"[]", "{}", false},
      {"[1,2]", "[1,2]", true},
      {"[1,2]", "[2,1]", false},
      {"[1,2]", "[1,2,3]", false},
      {"{\"a\":1,\"b\":2}", "{\"b\":2,\"a\":1}", true},
      {"{\"a\":1}", "{\"a\":1,\"b\":2}", false},
      {"{\"a\":1}", "{\"b\":1}", false},
      {"{\"a\":[1,{\"x\":null}]}", "{\"a\":[1,{\"x\":null}]}", true},
      {"\"A\"", "\"a\"", false},
      {"18446744073709551615", "18446744073709551615", true},
      {"-9223372036854775808", "-9223372036854775808", true},
      {"true", "true", true},
      {"true", "false", false},
  };
  for (const Case& c : cases) {
    Value a = Parse(c.a);
    Value b = Parse(c.b);
    CHECK_EQ(Equal(a.ref(), b.ref()), c.equal);
    CHECK_EQ(Equal(b.ref(), a.ref()), c.equal);
    // Equal values always feed the same bytes.
    if (c.equal) CHECK_EQ(Feed(c.a), Feed(c.b));
  }
}

TEST(HashFeedBytes) {
  struct Case {
    const char* text;
    const char* hex;
  };
  const Case cases[] = {
      {"null", "00000000"},
      {"true", "0100000001"},
      {"false", "0100000000"},
      {"1", "020000000100000000000000"},
      {"-1", "02000000ffffffffffffffff"},
      {"1.0", "02000000000000000000f03f"},
      {"-0.0", "020000000000000000000000"},
      {"0.0", "020000000000000000000000"},
      {"\"ab\"", "030000006162ff"},
      {"[]", "0400000000000000"},
      {"[null,\"\"]", "04000000020000000000000003000000ff"},
      {"{\"b\":true,\"a\":null}",
       "0500000002000000"
       "61ff00000000"
       "62ff0100000001"},
  };
  for (const Case& c : cases) CHECK_EQ(Hex(Feed(c.text)), std::string(c.hex));
  // The number kind is not fed: these pairs feed the same bytes.
  CHECK_EQ(Feed("0"), Feed("0.0"));
  CHECK_EQ(Feed("1"), Feed("5e-324"));
  CHECK_EQ(Feed("-1"), Feed("18446744073709551615"));
}

TEST(KeyOrderAndRepeats) {
  Builder b;
  b.BeginObject();
  b.Key("b");
  b.Unsigned(1);
  b.Key("a");
  b.BeginArray();
  b.Bool(true);
  b.Null();
  b.EndArray();
  b.Key("B");
  b.Unsigned(3);
  b.Key("b");
  b.Unsigned(4);  // replaces the first b, which keeps its place
  b.Key("ab");
  b.String("x");
  b.EndObject();
  Value v = b.Finish();
  CHECK_EQ(ToJson(v.ref()), std::string("{\"B\":3,\"a\":[true,null],\"ab\":\"x\",\"b\":4}"));
  ObjectRef o = v.ref().as_object();
  CHECK_EQ(o.count(), 4u);
  CHECK(o.Find("ab"));
  CHECK(!o.Find("c"));
  CHECK(!o.Find(""));
  CHECK(!o.Find("abc"));
  CHECK_EQ(o.Find("b").as_unsigned(), 4u);
  CHECK_EQ(o.FindIndex("B"), 0);
  CHECK_EQ(o.FindIndex("b"), 3);
}

TEST(LongKeysAndStrings) {
  // Keys and strings on both sides of the short-length encodings.
  for (size_t len : {size_t{0}, size_t{254}, size_t{255}, size_t{256}, size_t{70000}}) {
    std::string key(len, 'k');
    std::string text = "{\"" + key + "\":\"" + key + "\",\"z\":1}";
    Value v;
    CHECK(ParseJson(text, &v));
    if (v.empty()) continue;
    CHECK_EQ(ToJson(v.ref()), text);
    ObjectRef o = v.ref().as_object();
    CHECK(o.Find(key) && o.Find(key).as_string() == key);
    CHECK(o.Find("z"));
  }
}

TEST(ManyMembersBinarySearch) {
  // Members arrive in reverse order, so the builder sorts them.
  Builder b;
  b.BeginObject();
  for (int i = 999; i >= 0; --i) {
    char key[16];
    std::snprintf(key, sizeof key, "k%04d", i);
    b.Key(key);
    b.Unsigned(static_cast<uint64_t>(i));
  }
  b.EndObject();
  Value v = b.Finish();
  ObjectRef o = v.ref().as_object();
  CHECK_EQ(o.count(), 1000u);
  int found = 0;
  for (int i = 0; i < 1000; ++i) {
    char key[16];
    std::snprintf(key, sizeof key, "k%04d", i);
    ValueRef m = o.Find(key);
    if (m && m.as_unsigned() == static_cast<uint64_t>(i)) ++found;
  }
  CHECK_EQ(found, 1000);
  uint64_t expect = 0;
  bool in_order = true;
  for (Member m : o) in_order &= (m.value.as_unsigned() == expect++);
  CHECK(in_order);
}

TEST(CopiesAreIndependent) {
  Value a = Parse("{\"a\":[1,2]}");
  Value b = a;
  CHECK(!a.unique());
  CHECK(a.SameBlob(b));
  Value c = Value::CopyOf(a.ref());
  CHECK(c.unique());
  CHECK(Equal(a.ref(), c.ref()));
  b = Value();
  CHECK(a.unique());
}

TEST(CarvedBlobsAreValuesLikeOthers) {
  // Past its first kCarveAfter bytes, a BlobArena carves blobs out of shared
  // blocks. Each must live exactly as long as its last value, whatever the
  // order of release and after the arena is gone, and be shared, unshared
  // and written in place as any blob. (The sanitizer build catches a block
  // freed too early or never.)
  std::vector<Value> docs;
  std::vector<std::string> texts;
  {
    BlobArena arena;
    for (size_t i = 0, bytes = 0; bytes < 3 * BlobArena::kCarveAfter; ++i) {
      Value v =
          Parse("{\"i\":" + std::to_string(i) + ",\"s\":\"" + std::string(i % 300, 'x') + "\"}");
      docs.push_back(arena.CopyOf(v.data(), v.size()));
      texts.push_back(ToJson(v.ref()));
      bytes += v.size();
    }
    Value big = Parse("\"" + std::string(BlobArena::kMaxCarved, 'y') + "\"");
    docs.push_back(arena.CopyOf(big.data(), big.size()));  // too large to carve
    texts.push_back(ToJson(big.ref()));
  }
  Value& carved = docs[docs.size() - 2];
  Value copy = carved;
  CHECK(!carved.unique() && copy.SameBlob(carved));
  copy = Value();
  CHECK(carved.unique());
  MemberPath path;
  uint32_t hints[1] = {0};
  CHECK(FindMember(carved.ref().as_object(), {"i"}, hints, &path));
  const uint8_t* before = carved.data();
  ReplaceMemberValue(&carved, path, Parse("7").ref());
  CHECK(carved.data() == before);
  texts[docs.size() - 2] = ToJson(carved.ref());
  // Release in a scrambled order, checking what is left now and then.
  std::vector<size_t> order(docs.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::shuffle(order.begin(), order.end(), std::mt19937(7));
  int wrong = 0;
  for (size_t k = 0; k < order.size(); ++k) {
    if (k % 512 == 0) {
      for (size_t j = k; j < order.size(); ++j)
        wrong += ToJson(docs[order[j]].ref()) != texts[order[j]];
    }
    docs[order[k]] = Value();
  }
  CHECK_EQ(wrong, 0);
}

TEST(SipHashVectors) {
  // Reference values: CPython hashes bytes with SipHash-1-3 and, under
  // PYTHONHASHSEED=0, an all-zero key (printed as signed 64-bit numbers).
  struct Case {
    std::string input;
    uint64_t hash;
  };
  std::string r64, r15;
  for (int i = 0; i < 64; ++i) r64 += static_cast<char>(i);
  r15 = r64.substr(0, 15);
  const Case cases[] = {
      {"a", 4644417185603328019ULL},        {"abcdefg", 7904145750247929094ULL},
      {"abcdefgh", 4574395652268504554ULL}, {"hello world, this is moxal", 17134241399472632159ULL},
      {r64, 8493894268803903686ULL},        {r15, 17514137373579004394ULL},
  };
  for (const Case& c : cases) {
    // Fed whole, and in pieces of every size, the hash is the same.
    for (size_t step : {size_t{1}, size_t{2}, size_t{3}, size_t{4}, size_t{5}, size_t{6}, size_t{7},
                        size_t{8}, size_t{9}, c.input.size()}) {
      SipHash13 h;
      for (size_t i = 0; i < c.input.size(); i += step) {
        h.Update(c.input.data() + i, std::min(step, c.input.size() - i));
      }
      CHECK_EQ(h.Finish(), c.hash);
    }
  }
}

// This build checks the preconditions the library states: breaking one ends
// the process (in a child here) instead of reading or writing garbage.
TEST(BrokenPreconditionsAbort) {
  auto aborts = [](void (*broken)()) {
    std::fflush(nullptr);
    pid_t pid = ::fork();
    if (pid == 0) {
      ::dup2(::open("/dev/null", O_WRONLY), 2);  // keep the assertion's report out
      broken();
      ::_exit(0);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFSIGNALED(status) && WTERMSIG(status) == SIGABRT;
  };
  void (*const cases[])() = {
      [] { Builder().Negative(0); },
      [] { Builder().Finish(); },
      [] { Value().data(); },
      [] { Parse("[1]").ref().as_object(); },
      [] { Parse("1.5").ref().as_unsigned(); },
      [] {
        uint8_t out[4];
        EncodeUtf8(0xD800, out);
      },
  };
  for (auto broken : cases) CHECK(aborts(broken));
}
