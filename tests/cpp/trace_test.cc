// The trace lines of update queries go to file descriptor 1 with plain
// writes; an output that cannot take them (full, or a pipe nobody reads)
// must neither fail nor hang the update.

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <string>

#include "check.h"
#include "query/query.h"

using namespace moxal;

namespace {

// Runs `fn` with file descriptor 1 pointing at `fd`, then puts it back.
template <class Fn>
void WithStdout(int fd, Fn fn) {
  int saved = dup(1);
  dup2(fd, 1);
  fn();
  dup2(saved, 1);
  close(saved);
}

}  // namespace

TEST(TraceToAnUnwritableStdoutReturns) {
  int full = open("/dev/full", O_WRONLY);
  CHECK(full >= 0);
  bool returned = false;
  if (full >= 0) {
    WithStdout(full, [&] {
      WriteTraceToStdout("Update operator found Increment\n");
      returned = true;
    });
    close(full);
  }
  CHECK(returned);

  int ends[2];
  CHECK(pipe(ends) == 0);
  close(ends[0]);  // nobody reads: writes fail with EPIPE
  struct sigaction ignore = {}, old = {};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGPIPE, &ignore, &old);
  returned = false;
  WithStdout(ends[1], [&] {
    WriteTraceToStdout(std::string(100000, 'x'));
    returned = true;
  });
  sigaction(SIGPIPE, &old, nullptr);
  close(ends[1]);
  CHECK(returned);
}
