// Replays the fuzz harnesses' seed corpus and every saved regression input
// through the same checks the harnesses make, so the suite guards them
// without clang or libFuzzer; and makes sure the blob validator those
// checks rely on does catch broken encodings.

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "../fuzz/json_checks.h"
#include "../fuzz/update_checks.h"
#include "check.h"
#include "test_util.h"

using namespace moxal;
using moxal::testing::Parse;

namespace {

namespace fs = std::filesystem;

// The files of tests/fuzz/<kind>/<harness>, in name order (none when the
// directory does not exist).
std::vector<fs::path> CaseFiles(const char* kind, const char* harness) {
  std::vector<fs::path> files;
  fs::path dir = fs::path(MOXAL_FUZZ_DIR) / kind / harness;
  if (!fs::is_directory(dir)) return files;
  for (const auto& e : fs::directory_iterator(dir)) {
    if (e.is_regular_file()) files.push_back(e.path());
  }
  std::sort(files.begin(), files.end());
  return files;
}

std::string Slurp(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

template <class Check>
size_t Replay(const char* kind, const char* harness, Check check) {
  size_t n = 0;
  for (const fs::path& p : CaseFiles(kind, harness)) {
    std::string failure = check(Slurp(p));
    if (!failure.empty()) check::Fail(p.c_str(), 0, failure);
    ++check::Checks();
    ++n;
  }
  return n;
}

}  // namespace

TEST(FuzzCorpusAndRegressionsHold) {
  CHECK(Replay("corpus", "json", fuzz::CheckJsonText) > 50);
  CHECK(Replay("corpus", "update", fuzz::CheckUpdateInput) > 20);
  Replay("regressions", "json", fuzz::CheckJsonText);
  Replay("regressions", "update", fuzz::CheckUpdateInput);
}

TEST(BlobCheckerCatchesBrokenEncodings) {
  Value v = Parse(R"({"b":[1,"x"],"a":{"k":true}})");
  CHECK_EQ(fuzz::CheckBlob(v), "");
  // Each mutation breaks one invariant; the checker must name some fault.
  auto broken = [&](auto mutate) {
    Value copy = Value::CopyOf(v.ref());
    mutate(copy.mutable_data());
    return !fuzz::CheckBlob(copy).empty();
  };
  CHECK(broken([](uint8_t* p) { StoreU32(p + 5, LoadU32(p + 5) - 1); }));  // body size
  CHECK(broken([](uint8_t* p) { StoreU32(p + 1, 3); }));                   // member count
  CHECK(broken([&](uint8_t* p) {  // swap the two table slots: keys out of order
    size_t t = v.size() - 8;
    uint32_t a = LoadU32(p + t), b = LoadU32(p + t + 4);
    StoreU32(p + t, b);
    StoreU32(p + t + 4, a);
  }));
  CHECK(broken([&](uint8_t* p) { StoreU32(p + v.size() - 4, 1); }));       // slot off a member
  CHECK(broken([](uint8_t* p) { p[kContainerHeader] = 0xFE; }));           // key length
  CHECK(!fuzz::CheckBlob(Value::CopyOf(v.data(), v.size() - 1)).empty());  // truncated
}
