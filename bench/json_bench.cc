// Reader and writer throughput of the value layer, without Python.
//
//   moxal_bench FILE...
//
// For each file: the median of several runs (15, or MOXAL_BENCH_RUNS) of reading the whole text from
// memory (as one value, and split into one value per array element, as a
// collection file is loaded), and of writing the value back as compact text
// through an OutBuffer in front of a sink that discards it. MB/s count
// the bytes of the input text for reading and of the written text for
// writing (1 MB = 10^6 bytes). With MOXAL_BENCH_WRITE_ONLY set, only the
// writing is timed (the read columns show 0), for profiling the writer.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "values/json_reader.h"
#include "values/json_writer.h"

using namespace moxal;

namespace {

struct NullSink : ByteSink {
  size_t bytes = 0;
  bool WriteAll(const uint8_t*, size_t n) override {
    bytes += n;
    return true;
  }
};

template <class F>
double MedianSeconds(int runs, F&& f) {
  std::vector<double> t;
  for (int i = 0; i < runs; ++i) {
    auto a = std::chrono::steady_clock::now();
    f();
    auto b = std::chrono::steady_clock::now();
    t.push_back(std::chrono::duration<double>(b - a).count());
  }
  std::sort(t.begin(), t.end());
  return t[t.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  std::printf("%-28s %10s %12s %12s %12s\n", "file", "MB", "read MB/s", "split MB/s", "write MB/s");
  for (int i = 1; i < argc; ++i) {
    std::ifstream in(argv[i], std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    Value v;
    if (!ParseJson(text, &v)) {
      std::fprintf(stderr, "%s: not readable JSON\n", argv[i]);
      return 1;
    }
    const char* runs_env = std::getenv("MOXAL_BENCH_RUNS");  // e.g. 1 under callgrind
    const int runs = runs_env ? std::atoi(runs_env) : 15;
    const bool write_only = std::getenv("MOXAL_BENCH_WRITE_ONLY") != nullptr;
    double read = 0, split = 0;
    if (!write_only) {
      read = MedianSeconds(runs, [&] {
        Value x;
        ParseJson(text, &x);
      });
      split = MedianSeconds(runs, [&] {
        MemorySource src(text.data(), text.size());
        Value x;
        std::vector<Value> elements;
        ReadJsonElements(src, &x, &elements);
      });
    }
    size_t written = 0;
    double write = MedianSeconds(runs, [&] {
      NullSink sink;
      OutBuffer out(&sink);
      WriteJson(v.ref(), out);
      out.Flush();
      written = sink.bytes;
    });
    std::string name = argv[i];
    name = name.substr(name.find_last_of('/') + 1);
    double mb = text.size() / 1e6;
    std::printf("%-28s %10.2f %12.0f %12.0f %12.0f\n", name.c_str(), mb, read > 0 ? mb / read : 0.0,
                split > 0 ? mb / split : 0.0, written / 1e6 / write);
  }
  return 0;
}
