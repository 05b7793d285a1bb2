/* A fault-injection shim, preloaded with LD_PRELOAD, that makes one chosen
 * file-system call of the process fail.
 *
 * It interposes the libc calls the extension uses to write and remove files
 * (open and its variants, write, fsync, fdatasync, close, rename and
 * renameat2, unlink, link and linkat) and
 * counts the calls that touch a file under one directory: a call taking a
 * path counts when the path is the directory or lies under it; a call taking
 * a descriptor counts when the descriptor was opened on such a path. Calls on
 * anything else (the interpreter's imports, its standard streams) pass
 * through untouched and uncounted.
 *
 * Environment:
 *   MOXAL_FAULT_DIR    the directory (required; nothing is counted without it)
 *   MOXAL_FAULT_CALL   which call fails: open, write, fsync, close, rename,
 *                      unlink, link
 *   MOXAL_FAULT_NTH    the 1-based counted call of that kind that fails (0: none)
 *   MOXAL_FAULT_ERRNO  the error number it fails with (default EIO)
 *   MOXAL_FAULT_MODE   fail (default): return -1 with the error number;
 *                      sticky: fail the Nth call and every later one;
 *                      short: write only half the bytes (at least one) and
 *                      return that count; zero: write nothing and return 0;
 *                      vanish: remove the file the Nth open names, as another
 *                      process might just then, and open it (which fails)
 *   MOXAL_FAULT_ARMED  1: count from the start of the process; otherwise
 *                      counting starts at moxal_fault_arm()
 *
 * Functions for the process itself (through ctypes): moxal_fault_arm() resets
 * the counts and starts counting, moxal_fault_disarm() stops it (nothing
 * fails afterwards), moxal_fault_calls("write") is the number of counted
 * calls of a kind since arming, moxal_fault_fired() the number of calls made
 * to fail.
 *
 * A failing call does what the kernel does for that error: open, write,
 * fsync, rename, unlink and link have no effect; close still closes the
 * descriptor, as Linux does even when it reports an error.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>
#include <unistd.h>

enum { kOpen, kWrite, kFsync, kClose, kRename, kUnlink, kLink, kKinds };
static const char* const kNames[kKinds] = {"open",   "write",  "fsync", "close",
                                           "rename", "unlink", "link"};

enum { kMaxTrackedFd = 65536 };

static struct {
  int ready;
  const char* dir;
  size_t dir_len;
  int call; /* the kind that fails, or -1 */
  long nth;
  int err;
  enum { kFail, kSticky, kShort, kZero, kVanish } mode;
  int armed;
  long calls[kKinds];
  long fired;
  unsigned char tracked[kMaxTrackedFd]; /* fds opened under dir */
} S;

static void init(void) {
  if (S.ready) return;
  S.ready = 1;
  S.call = -1;
  S.err = EIO;
  const char* dir = getenv("MOXAL_FAULT_DIR");
  if (dir != NULL && *dir != '\0') {
    S.dir = dir;
    S.dir_len = strlen(dir);
    while (S.dir_len > 1 && dir[S.dir_len - 1] == '/') S.dir_len--;
  }
  const char* call = getenv("MOXAL_FAULT_CALL");
  for (int k = 0; call != NULL && k < kKinds; k++) {
    if (strcmp(call, kNames[k]) == 0) S.call = k;
  }
  const char* nth = getenv("MOXAL_FAULT_NTH");
  if (nth != NULL) S.nth = strtol(nth, NULL, 10);
  const char* err = getenv("MOXAL_FAULT_ERRNO");
  if (err != NULL) S.err = (int)strtol(err, NULL, 10);
  const char* mode = getenv("MOXAL_FAULT_MODE");
  if (mode != NULL && strcmp(mode, "sticky") == 0) S.mode = kSticky;
  if (mode != NULL && strcmp(mode, "short") == 0) S.mode = kShort;
  if (mode != NULL && strcmp(mode, "zero") == 0) S.mode = kZero;
  if (mode != NULL && strcmp(mode, "vanish") == 0) S.mode = kVanish;
  const char* armed = getenv("MOXAL_FAULT_ARMED");
  S.armed = armed != NULL && strcmp(armed, "1") == 0;
}

__attribute__((constructor)) static void shim_load(void) { init(); }

/* The next definition of `name` after this library: libc's, or that of a
 * library preloaded before this one that wraps it in turn. */
static void* next(const char* name) {
  void* f = dlsym(RTLD_NEXT, name);
  if (f == NULL) abort();
  return f;
}
#define NEXT(type, name)          \
  static type real_##name = NULL; \
  if (real_##name == NULL) real_##name = (type)next(#name)

static int under_dir(const char* path) {
  init();
  if (S.dir == NULL || path == NULL) return 0;
  if (strncmp(path, S.dir, S.dir_len) != 0) return 0;
  return path[S.dir_len] == '\0' || path[S.dir_len] == '/';
}

static int tracked(int fd) { return fd >= 0 && fd < kMaxTrackedFd && S.tracked[fd]; }

static void track(int fd, int on) {
  if (fd >= 0 && fd < kMaxTrackedFd) S.tracked[fd] = (unsigned char)on;
}

/* Counts one call of kind `k` that touches the directory; returns whether it
 * is to fail. */
static int should_fail(int k) {
  init();
  if (!S.armed) return 0;
  long n = ++S.calls[k];
  if (k != S.call || S.nth <= 0) return 0;
  int fail = S.mode == kSticky ? n >= S.nth : n == S.nth;
  if (fail) S.fired++;
  return fail;
}

void moxal_fault_arm(void) {
  init();
  memset(S.calls, 0, sizeof S.calls);
  S.fired = 0;
  S.armed = 1;
}

void moxal_fault_disarm(void) { S.armed = 0; }

long moxal_fault_calls(const char* name) {
  for (int k = 0; k < kKinds; k++) {
    if (strcmp(name, kNames[k]) == 0) return S.calls[k];
  }
  return -1;
}

long moxal_fault_fired(void) { return S.fired; }

/* ---- open and its variants ---- */

static mode_t mode_arg(int flags, va_list ap) {
  return (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE ? va_arg(ap, mode_t) : 0;
}

typedef int (*unlink_fn)(const char*);

/* Whether the open chosen to fail makes its real call after all: in vanish
 * mode, with the file removed first. */
static int opens_anyway(const char* path) {
  if (S.mode != kVanish) return 0;
  NEXT(unlink_fn, unlink);
  real_unlink(path);
  return 1;
}

/* The common part of every open: counting, failing, tracking. `call` makes
 * the real call. */
#define OPEN_BODY(path, real_call)                           \
  do {                                                       \
    int mine = under_dir(path);                              \
    if (mine && should_fail(kOpen) && !opens_anyway(path)) { \
      errno = S.err;                                         \
      return -1;                                             \
    }                                                        \
    int fd = (real_call);                                    \
    if (fd >= 0) track(fd, mine);                            \
    return fd;                                               \
  } while (0)

typedef int (*open_fn)(const char*, int, ...);
typedef int (*openat_fn)(int, const char*, int, ...);
typedef int (*open2_fn)(const char*, int);

int open(const char* path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  mode_t mode = mode_arg(flags, ap);
  va_end(ap);
  NEXT(open_fn, open);
  OPEN_BODY(path, real_open(path, flags, mode));
}

int open64(const char* path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  mode_t mode = mode_arg(flags, ap);
  va_end(ap);
  NEXT(open_fn, open64);
  OPEN_BODY(path, real_open64(path, flags, mode));
}

/* Relative paths against a directory descriptor are not resolved: the
 * extension opens by absolute or working-directory-relative path. */
int openat(int dirfd, const char* path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  mode_t mode = mode_arg(flags, ap);
  va_end(ap);
  NEXT(openat_fn, openat);
  OPEN_BODY(path, real_openat(dirfd, path, flags, mode));
}

int openat64(int dirfd, const char* path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  mode_t mode = mode_arg(flags, ap);
  va_end(ap);
  NEXT(openat_fn, openat64);
  OPEN_BODY(path, real_openat64(dirfd, path, flags, mode));
}

/* What _FORTIFY_SOURCE turns open(path, flags) without a mode into. */
int __open_2(const char* path, int flags) {
  NEXT(open2_fn, __open_2);
  OPEN_BODY(path, real___open_2(path, flags));
}

int __open64_2(const char* path, int flags) {
  NEXT(open2_fn, __open64_2);
  OPEN_BODY(path, real___open64_2(path, flags));
}

/* ---- calls on descriptors ---- */

typedef ssize_t (*write_fn)(int, const void*, size_t);
typedef int (*fd_fn)(int);

ssize_t write(int fd, const void* buf, size_t n) {
  NEXT(write_fn, write);
  if (tracked(fd) && should_fail(kWrite)) {
    if (S.mode == kZero) return 0;
    if (S.mode == kShort && n > 1) return real_write(fd, buf, n / 2);
    if (S.mode != kShort) {
      errno = S.err;
      return -1;
    }
  }
  return real_write(fd, buf, n);
}

int fsync(int fd) {
  NEXT(fd_fn, fsync);
  if (tracked(fd) && should_fail(kFsync)) {
    errno = S.err;
    return -1;
  }
  return real_fsync(fd);
}

/* Counted as fsync: both ask for the data on the device. */
int fdatasync(int fd) {
  NEXT(fd_fn, fdatasync);
  if (tracked(fd) && should_fail(kFsync)) {
    errno = S.err;
    return -1;
  }
  return real_fdatasync(fd);
}

int close(int fd) {
  NEXT(fd_fn, close);
  int mine = tracked(fd);
  track(fd, 0);
  int fail = mine && should_fail(kClose);
  int r = real_close(fd);
  if (fail) {
    errno = S.err;
    return -1;
  }
  return r;
}

/* ---- calls on paths ---- */

typedef int (*rename_fn)(const char*, const char*);
typedef int (*renameat2_fn)(int, const char*, int, const char*, unsigned int);
typedef int (*link_fn)(const char*, const char*);
typedef int (*linkat_fn)(int, const char*, int, const char*, int);

int rename(const char* from, const char* to) {
  NEXT(rename_fn, rename);
  if ((under_dir(from) || under_dir(to)) && should_fail(kRename)) {
    errno = S.err;
    return -1;
  }
  return real_rename(from, to);
}

int unlink(const char* path) {
  NEXT(unlink_fn, unlink);
  if (under_dir(path) && should_fail(kUnlink)) {
    errno = S.err;
    return -1;
  }
  return real_unlink(path);
}

/* Counted as rename. Relative paths are not resolved against the directory
 * descriptors, as for openat. */
int renameat2(int olddirfd, const char* from, int newdirfd, const char* to, unsigned int flags) {
  NEXT(renameat2_fn, renameat2);
  if ((under_dir(from) || under_dir(to)) && should_fail(kRename)) {
    errno = S.err;
    return -1;
  }
  return real_renameat2(olddirfd, from, newdirfd, to, flags);
}

/* A new name for a file: it counts when the new name lies under the
 * directory (the old one may be /proc/self/fd/N). */
int link(const char* from, const char* to) {
  NEXT(link_fn, link);
  if (under_dir(to) && should_fail(kLink)) {
    errno = S.err;
    return -1;
  }
  return real_link(from, to);
}

int linkat(int olddirfd, const char* from, int newdirfd, const char* to, int flags) {
  NEXT(linkat_fn, linkat);
  if (under_dir(to) && should_fail(kLink)) {
    errno = S.err;
    return -1;
  }
  return real_linkat(olddirfd, from, newdirfd, to, flags);
}
