// Helpers shared by the C++ tests.

#ifndef MOXAL_TESTS_CPP_TEST_UTIL_H_
#define MOXAL_TESTS_CPP_TEST_UTIL_H_

#include <cstdlib>
#include <iostream>
#include <string>

#include "values/json_reader.h"

namespace moxal::testing {

// The value of a JSON text the test knows to be valid.
inline Value Parse(const std::string& text) {
  Value v;
  if (!ParseJson(text, &v)) {
    std::cerr << "cannot parse " << text << "\n";
    std::abort();
  }
  return v;
}

}  // namespace moxal::testing

#endif  // MOXAL_TESTS_CPP_TEST_UTIL_H_
