// A minimal test harness: TEST registers a function, CHECK records a failure
// and goes on, so one run reports every broken case of a table. main.cc runs
// the registered tests (all, or those named on its command line) and prints
// one result line per test.

#ifndef MOXAL_TESTS_CPP_CHECK_H_
#define MOXAL_TESTS_CPP_CHECK_H_

#include <iostream>
#include <sstream>
#include <string>
#include <vector>

namespace check {

struct Case {
  const char* name;
  void (*fn)();
};

inline std::vector<Case>& Registry() {
  static std::vector<Case> cases;
  return cases;
}
inline int& Failures() {
  static int n = 0;
  return n;
}
inline int& Checks() {
  static int n = 0;
  return n;
}
// The failure count when the running test started: its first failure
// breaks the runner's "Name ... " line, so the details start on a line of
// their own.
inline int& FailuresBeforeTest() {
  static int n = 0;
  return n;
}

struct Register {
  Register(const char* name, void (*fn)()) { Registry().push_back({name, fn}); }
};

inline void Fail(const char* file, int line, const std::string& what) {
  if (++Failures() == FailuresBeforeTest() + 1) std::cout << std::endl;
  std::cerr << file << ":" << line << ": FAILED " << what << "\n";
}

}  // namespace check

#define TEST(name)                                      \
  static void name();                                   \
  static check::Register name##_register(#name, &name); \
  static void name()

#define CHECK(cond)                                      \
  do {                                                   \
    ++check::Checks();                                   \
    if (!(cond)) check::Fail(__FILE__, __LINE__, #cond); \
  } while (0)

#define CHECK_EQ(a, b)                                                         \
  do {                                                                         \
    ++check::Checks();                                                         \
    auto&& check_a_ = (a);                                                     \
    auto&& check_b_ = (b);                                                     \
    if (!(check_a_ == check_b_)) {                                             \
      std::ostringstream check_os_;                                            \
      check_os_ << #a " == " #b " (" << check_a_ << " vs " << check_b_ << ")"; \
      check::Fail(__FILE__, __LINE__, check_os_.str());                        \
    }                                                                          \
  } while (0)

#endif  // MOXAL_TESTS_CPP_CHECK_H_
