// Runs the C++ unit tests, one result line each:
//
//   moxal_tests            every test, in the order they were registered
//   moxal_tests NAME...    the tests with these exact names, in that order
//   moxal_tests --list     the names of the tests, one a line
//
// The last line is "N passed, M failed". Exit status 0 when every test that
// ran passed, 1 when one failed, 2 for a name no test has (or no test).

#include <cstring>
#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include "check.h"

namespace {

// Runs one test and says how it went; true when it passed. A test that
// throws has failed, and the tests after it still run.
bool Run(const check::Case& c) {
  std::cout << c.name << " ... " << std::flush;
  check::FailuresBeforeTest() = check::Failures();
  const int checks_before = check::Checks();
  try {
    c.fn();
  } catch (const std::exception& e) {
    check::Fail(__FILE__, __LINE__, std::string(c.name) + " threw: " + e.what());
  } catch (...) {
    check::Fail(__FILE__, __LINE__, std::string(c.name) + " threw a non-standard exception");
  }
  const int failed = check::Failures() - check::FailuresBeforeTest();
  const int checks = check::Checks() - checks_before;
  if (failed == 0) {
    std::cout << "ok (" << checks << (checks == 1 ? " check)" : " checks)") << std::endl;
  } else {
    std::cout << c.name << " ... FAILED (" << failed << " of " << checks << " checks)" << std::endl;
  }
  return failed == 0;
}

// The tests that argv names, or every test when it names none; false (with
// the reason printed) when a name is unknown.
bool Select(int argc, char** argv, std::vector<const check::Case*>* out) {
  for (const check::Case& c : check::Registry()) {
    if (argc <= 1) out->push_back(&c);
  }
  for (int i = 1; i < argc; ++i) {
    const check::Case* found = nullptr;
    for (const check::Case& c : check::Registry()) {
      if (std::strcmp(c.name, argv[i]) == 0) found = &c;
    }
    if (found == nullptr) {
      std::cerr << "no test is named " << argv[i] << " (--list names them)\n";
      return false;
    }
    out->push_back(found);
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "--list") == 0) {
    for (const check::Case& c : check::Registry()) std::cout << c.name << "\n";
    return 0;
  }
  std::vector<const check::Case*> cases;
  if (!Select(argc, argv, &cases) || cases.empty()) return 2;
  int passed = 0;
  for (const check::Case* c : cases) passed += Run(*c) ? 1 : 0;
  const int failed = static_cast<int>(cases.size()) - passed;
  std::cout << check::Checks() << " checks\n" << passed << " passed, " << failed << " failed\n";
  return failed == 0 ? 0 : 1;
}
