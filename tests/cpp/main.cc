#include <cstring>

#include "check.h"

int main(int argc, char** argv) {
  int run = 0;
  for (const check::Case& c : check::Registry()) {
    if (argc > 1 && std::strstr(c.name, argv[1]) == nullptr) continue;
    c.fn();
    ++run;
  }
  std::cout << run << " tests, " << check::Checks() << " checks, "
            << check::Failures() << " failures\n";
  if (run == 0) return 2;
  return check::Failures() == 0 ? 0 : 1;
}
