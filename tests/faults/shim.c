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
 *   MOXAL_FAULT_CALL   which call fails: open, write, pwrite (and pwritev:
 *                      the journal's appends), fsync, close, rename,
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
 *
 * Power cuts. With MOXAL_POWER_DIR set, the shim also records, under that
 * directory, what a power cut would leave of the directory it watches. The
 * model: a file's durable content is what it held when an fsync or
 * fdatasync of any descriptor of it (the same inode) was called, last
 * before the call returned; a directory's durable listing (names and the
 * inodes they lead to) is what it held when its last fsync was called;
 * whatever is there when recording starts is durable. After the process
 * dies (SIGKILL at any moment), tests/faults/power.py rebuilds the image:
 * each name of each durable listing, with the durable content of its inode
 * (empty for one never synced).
 *
 * The shadow state, under MOXAL_POWER_DIR (which must be on the file system
 * of the watched directory):
 *   root            "DEV INO" of the watched directory; written last when
 *                   recording starts, so without it nothing was recorded
 *   inodes/DEV-INO  a hard link to every file seen under the directory:
 *                   its inode, and so its number and latest content, outlive
 *                   the names the process removes (and no number is reused)
 *   durable/DEV-INO "MTIME_SEC MTIME_NSEC SIZE" and a newline, then the file's
 *                   durable content
 *   listings/DEV-INO the durable listing of a directory, a line an entry:
 *                   "f DEV INO NAME" (a file), "d DEV INO NAME" (a
 *                   directory), "l NAME TARGET" (a symbolic link), names and
 *                   targets in hexadecimal
 *   error           why recording stopped, when it did
 * Each file is written whole under a temporary name (".cap-N") and renamed
 * into place, so the state is whole whenever the process dies. A sync
 * copies what is to be durable before the real call and puts the copy in
 * place once the call has succeeded; of two syncs of one inode that
 * overlap, the copy taken later wins.
 *
 * Threads: one mutex orders the copies against every write to a file under
 * the directory (write, pwrite, pwritev and their variants, ftruncate) and
 * every change of its names (creating opens, rename, link, unlink), so a
 * copy sees each of those whole or not at all.
 *
 *   MOXAL_POWER_DIR    where the shadow state goes; recording starts when
 *                      the shim is loaded (the watched directory must exist
 *                      then), or at moxal_power_arm()
 *   MOXAL_POWER_ARMED  0: start only at moxal_power_arm()
 *   MOXAL_POWER_KILL_AT  N: the process kills itself (SIGKILL) at the Nth
 *                      sync it records since arming, before making it: a
 *                      power cut at a chosen point, for sweeps over them
 *
 * moxal_power_arm() takes everything under the directory as durable and
 * (re)starts recording; moxal_power_disarm() stops it;
 * moxal_power_syncs() is the number of syncs recorded since arming.
 */
#define _GNU_SOURCE
#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <unistd.h>

enum { kOpen, kWrite, kFsync, kClose, kRename, kUnlink, kLink, kPwrite, kKinds };
static const char* const kNames[kKinds] = {"open",   "write",  "fsync", "close",
                                           "rename", "unlink", "link",  "pwrite"};

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
 * is to fail. Calls of no kind (kKinds) are neither counted nor failed. */
static int should_fail(int k) {
  init();
  if (!S.armed || k >= kKinds) return 0;
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

/* ---- the power-cut recorder ---- */

enum { kSlots = 1 << 16, kCopyBuf = 1 << 16 };

/* The copy of an inode's durable state last put in place. */
struct slot {
  int used;
  dev_t dev;
  ino_t ino;
  unsigned long seq;
};

static struct {
  int on;
  char dir[PATH_MAX]; /* MOXAL_POWER_DIR; empty: no recording */
  pthread_mutex_t mu;
  unsigned long seq; /* of the last copy taken */
  long syncs;        /* syncs recorded since arming */
  long kill_at;      /* MOXAL_POWER_KILL_AT, or 0 */
  struct slot slots[kSlots];
  char buf[kCopyBuf];
} P = {.mu = PTHREAD_MUTEX_INITIALIZER};

/* The calls the recorder makes itself go straight to the next definition,
 * so that they are neither counted, failed nor recorded. */
static int sys_openat(int dirfd, const char* path, int flags, mode_t mode) {
  static int (*f)(int, const char*, int, ...) = NULL;
  if (f == NULL) f = (int (*)(int, const char*, int, ...))next("openat");
  return f(dirfd, path, flags, mode);
}

static ssize_t sys_write(int fd, const void* buf, size_t n) {
  static ssize_t (*f)(int, const void*, size_t) = NULL;
  if (f == NULL) f = (ssize_t (*)(int, const void*, size_t))next("write");
  return f(fd, buf, n);
}

static int sys_close(int fd) {
  static int (*f)(int) = NULL;
  if (f == NULL) f = (int (*)(int))next("close");
  return f(fd);
}

static int sys_rename(const char* from, const char* to) {
  static int (*f)(const char*, const char*) = NULL;
  if (f == NULL) f = (int (*)(const char*, const char*))next("rename");
  return f(from, to);
}

static int sys_unlink(const char* path) {
  static int (*f)(const char*) = NULL;
  if (f == NULL) f = (int (*)(const char*))next("unlink");
  return f(path);
}

static int sys_linkat(int olddirfd, const char* from, int newdirfd, const char* to, int flags) {
  static int (*f)(int, const char*, int, const char*, int) = NULL;
  if (f == NULL) f = (int (*)(int, const char*, int, const char*, int))next("linkat");
  return f(olddirfd, from, newdirfd, to, flags);
}

static int put_all(int fd, const void* data, size_t n) {
  const char* p = data;
  while (n > 0) {
    ssize_t w = sys_write(fd, p, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return -1;
    p += w;
    n -= (size_t)w;
  }
  return 0;
}

/* Recording stops for good, and the reason is left for the reader: an
 * image built from a partial record would prove nothing. */
static void power_fail(const char* what, int err) {
  P.on = 0;
  char path[PATH_MAX + 16], msg[512];
  snprintf(path, sizeof path, "%s/error", P.dir);
  int n = snprintf(msg, sizeof msg, "%s: %s\n", what, strerror(err));
  int fd = sys_openat(AT_FDCWD, path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return;
  put_all(fd, msg, (size_t)n);
  sys_close(fd);
}

static void shadow_path(char* out, size_t size, const char* sub, dev_t dev, ino_t ino) {
  snprintf(out, size, "%s/%s/%llu-%llu", P.dir, sub, (unsigned long long)dev,
           (unsigned long long)ino);
}

static void capture_path(char* out, size_t size, const char* sub, unsigned long seq) {
  snprintf(out, size, "%s/%s/.cap-%lu", P.dir, sub, seq);
}

static struct slot* slot_of(dev_t dev, ino_t ino) {
  size_t h = (size_t)dev * 0x9E3779B97F4A7C15ull ^ (size_t)ino * 0xC2B2AE3D27D4EB4Full;
  for (size_t i = 0; i < kSlots; i++) {
    struct slot* s = &P.slots[(h + i) & (kSlots - 1)];
    if (!s->used) {
      *s = (struct slot){1, dev, ino, 0};
      return s;
    }
    if (s->dev == dev && s->ino == ino) return s;
  }
  return NULL;
}

/* Keeps the inode of `name` (relative to `dirfd`, followed when `flags`
 * says so) alive under inodes/, so that its number is never reused and its
 * content can be read after the process has removed every name of it. */
static int keep_inode(int dirfd, const char* name, int flags, dev_t dev, ino_t ino) {
  char path[PATH_MAX + 64];
  shadow_path(path, sizeof path, "inodes", dev, ino);
  if (sys_linkat(dirfd, name, AT_FDCWD, path, flags) == 0 || errno == EEXIST) return 0;
  power_fail("keeping an inode under MOXAL_POWER_DIR/inodes (same file system?)", errno);
  return -1;
}

static int keep_inode_of_fd(int fd, dev_t dev, ino_t ino) {
  char src[64];
  snprintf(src, sizeof src, "/proc/self/fd/%d", fd);
  return keep_inode(AT_FDCWD, src, AT_SYMLINK_FOLLOW, dev, ino);
}

static void hex(char* out, const char* s, size_t n) {
  static const char digits[] = "0123456789abcdef";
  for (size_t i = 0; i < n; i++) {
    out[2 * i] = digits[(unsigned char)s[i] >> 4];
    out[2 * i + 1] = digits[(unsigned char)s[i] & 15];
  }
  out[2 * n] = '\0';
}

/* Copies the content of the file open as `fd` (in any access mode: it is
 * read through /proc/self/fd) to durable/.cap-SEQ, after a line of its
 * modification time and size. Returns SEQ, or 0 when it fails. */
static unsigned long copy_file(int fd, const struct stat* st) {
  char src[64], tmp[PATH_MAX + 64];
  snprintf(src, sizeof src, "/proc/self/fd/%d", fd);
  int in = sys_openat(AT_FDCWD, src, O_RDONLY | O_CLOEXEC, 0);
  if (in < 0) {
    power_fail("reading a synced file", errno);
    return 0;
  }
  unsigned long seq = ++P.seq;
  capture_path(tmp, sizeof tmp, "durable", seq);
  int out = sys_openat(AT_FDCWD, tmp, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  int ok = out >= 0;
  if (ok) {
    int n = snprintf(P.buf, sizeof P.buf, "%lld %ld %lld\n", (long long)st->st_mtim.tv_sec,
                     (long)st->st_mtim.tv_nsec, (long long)st->st_size);
    ok = put_all(out, P.buf, (size_t)n) == 0;
  }
  long long left = st->st_size;
  while (ok && left > 0) {
    ssize_t r = read(in, P.buf, left < kCopyBuf ? (size_t)left : kCopyBuf);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) {
      if (r == 0) errno = EIO; /* shorter than fstat said: a writer outside the shim */
      ok = 0;
      break;
    }
    ok = put_all(out, P.buf, (size_t)r) == 0;
    left -= r;
  }
  int err = errno;
  if (out >= 0) sys_close(out);
  sys_close(in);
  if (!ok) {
    power_fail("copying a synced file", err);
    return 0;
  }
  return seq;
}

/* Copies the listing of the directory open as `fd` to listings/.cap-SEQ,
 * keeping every file it names under inodes/. Returns SEQ, or 0. */
static unsigned long copy_listing(int fd) {
  char src[64], tmp[PATH_MAX + 64];
  snprintf(src, sizeof src, "/proc/self/fd/%d", fd);
  int dfd = sys_openat(AT_FDCWD, src, O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
  DIR* d = dfd >= 0 ? fdopendir(dfd) : NULL;
  if (d == NULL) {
    power_fail("listing a synced directory", errno);
    if (dfd >= 0) sys_close(dfd);
    return 0;
  }
  unsigned long seq = ++P.seq;
  capture_path(tmp, sizeof tmp, "listings", seq);
  int out = sys_openat(AT_FDCWD, tmp, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  int ok = out >= 0;
  static char line[4 * NAME_MAX + 2 * PATH_MAX + 128];
  static char name_hex[2 * NAME_MAX + 1], target[PATH_MAX], target_hex[2 * PATH_MAX + 1];
  for (struct dirent* e; ok && (e = readdir(d)) != NULL;) {
    if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
    struct stat st;
    if (fstatat(dirfd(d), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
      ok = 0;
      break;
    }
    hex(name_hex, e->d_name, strlen(e->d_name));
    int n = 0;
    if (S_ISREG(st.st_mode) || S_ISDIR(st.st_mode)) {
      if (S_ISREG(st.st_mode) && keep_inode(dirfd(d), e->d_name, 0, st.st_dev, st.st_ino) != 0) {
        ok = 0;
        break;
      }
      n = snprintf(line, sizeof line, "%c %llu %llu %s\n", S_ISREG(st.st_mode) ? 'f' : 'd',
                   (unsigned long long)st.st_dev, (unsigned long long)st.st_ino, name_hex);
    } else if (S_ISLNK(st.st_mode)) {
      ssize_t len = readlinkat(dirfd(d), e->d_name, target, sizeof target);
      if (len < 0 || (size_t)len == sizeof target) {
        ok = 0;
        break;
      }
      hex(target_hex, target, (size_t)len);
      n = snprintf(line, sizeof line, "l %s %s\n", name_hex, target_hex);
    }
    if (n > 0) ok = put_all(out, line, (size_t)n) == 0;
  }
  int err = errno;
  if (out >= 0) sys_close(out);
  closedir(d);
  if (!ok) {
    power_fail("copying the listing of a synced directory", err);
    return 0;
  }
  return seq;
}

/* Puts copy SEQ of the inode in place as its durable state, unless a copy
 * taken later is there already. */
static void put_in_place(int is_dir, dev_t dev, ino_t ino, unsigned long seq) {
  const char* sub = is_dir ? "listings" : "durable";
  char tmp[PATH_MAX + 64], path[PATH_MAX + 64];
  capture_path(tmp, sizeof tmp, sub, seq);
  struct slot* s = slot_of(dev, ino);
  if (s == NULL) {
    power_fail("too many inodes for the recorder", ENOSPC);
  } else if (seq > s->seq) {
    shadow_path(path, sizeof path, sub, dev, ino);
    if (sys_rename(tmp, path) != 0) {
      power_fail("putting a copy in place", errno);
    } else {
      s->seq = seq;
      return;
    }
  }
  sys_unlink(tmp);
}

/* What a sync is to make durable, copied before the sync is made. */
struct capture {
  unsigned long seq; /* 0: nothing copied */
  int is_dir;
  dev_t dev;
  ino_t ino;
};

static struct capture power_capture(int fd) {
  struct capture c = {0, 0, 0, 0};
  if (!P.on || !tracked(fd)) return c;
  int saved = errno;
  pthread_mutex_lock(&P.mu);
  struct stat st;
  if (P.on && ++P.syncs == P.kill_at) kill(getpid(), SIGKILL);
  if (P.on && fstat(fd, &st) == 0) {
    c.dev = st.st_dev;
    c.ino = st.st_ino;
    c.is_dir = S_ISDIR(st.st_mode);
    if (c.is_dir) {
      c.seq = copy_listing(fd);
    } else if (S_ISREG(st.st_mode) && keep_inode_of_fd(fd, st.st_dev, st.st_ino) == 0) {
      c.seq = copy_file(fd, &st);
    }
  }
  pthread_mutex_unlock(&P.mu);
  errno = saved;
  return c;
}

/* After the sync: its copy becomes the durable state if it succeeded. */
static void power_commit(const struct capture* c, int synced) {
  if (c->seq == 0) return;
  int saved = errno;
  pthread_mutex_lock(&P.mu);
  if (synced && P.on) {
    put_in_place(c->is_dir, c->dev, c->ino, c->seq);
  } else {
    char tmp[PATH_MAX + 64];
    capture_path(tmp, sizeof tmp, c->is_dir ? "listings" : "durable", c->seq);
    sys_unlink(tmp);
  }
  pthread_mutex_unlock(&P.mu);
  errno = saved;
}

/* Around a call that writes to a file or changes names under the
 * directory: excludes copies while it runs. */
static int power_begin(void) {
  if (!P.on) return 0;
  pthread_mutex_lock(&P.mu);
  if (P.on) return 1;
  pthread_mutex_unlock(&P.mu);
  return 0;
}

static void power_end(int began) {
  if (!began) return;
  int saved = errno;
  pthread_mutex_unlock(&P.mu);
  errno = saved;
}

/* After an open under the directory: a file it made is kept under
 * inodes/ before anything can name or remove it. */
static void power_end_open(int began, int fd) {
  if (!began) return;
  int saved = errno;
  struct stat st;
  if (fd >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
    keep_inode_of_fd(fd, st.st_dev, st.st_ino);
  }
  pthread_mutex_unlock(&P.mu);
  errno = saved;
}

/* Takes the directory `fd` and everything under it as durable. */
static int arm_directory(int fd) {
  struct stat st;
  if (fstat(fd, &st) != 0) return -1;
  unsigned long seq = copy_listing(fd);
  if (seq == 0) return -1;
  put_in_place(1, st.st_dev, st.st_ino, seq);
  int dfd = dup(fd);
  DIR* d = dfd >= 0 ? fdopendir(dfd) : NULL;
  if (d == NULL) return -1;
  int ok = 1;
  for (struct dirent* e; ok && (e = readdir(d)) != NULL;) {
    if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
    if (fstatat(dirfd(d), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) continue;
    int flags = S_ISDIR(st.st_mode) ? O_RDONLY | O_DIRECTORY : O_RDONLY;
    int child = sys_openat(dirfd(d), e->d_name, flags | O_NOFOLLOW | O_CLOEXEC, 0);
    if (child < 0 || fstat(child, &st) != 0) {
      ok = 0;
    } else if (S_ISDIR(st.st_mode)) {
      ok = arm_directory(child) == 0;
    } else if ((seq = copy_file(child, &st)) == 0) {
      ok = 0;
    } else {
      put_in_place(0, st.st_dev, st.st_ino, seq);
    }
    if (child >= 0) sys_close(child);
  }
  closedir(d);
  return ok ? 0 : -1;
}

void moxal_power_arm(void) {
  init();
  if (P.dir[0] == '\0') return;
  pthread_mutex_lock(&P.mu);
  P.on = 0;
  P.syncs = 0;
  char path[PATH_MAX + 64], tmp[PATH_MAX + 64];
  snprintf(path, sizeof path, "%s/root", P.dir);
  sys_unlink(path);
  snprintf(tmp, sizeof tmp, "%s/error", P.dir);
  sys_unlink(tmp);
  static const char* const subs[] = {"inodes", "durable", "listings"};
  for (int i = 0; i < 3; i++) {
    snprintf(tmp, sizeof tmp, "%s/%s", P.dir, subs[i]);
    if (mkdir(tmp, 0755) != 0 && errno != EEXIST) {
      power_fail("making the shadow state's directories", errno);
      pthread_mutex_unlock(&P.mu);
      return;
    }
  }
  char watched[PATH_MAX];
  if (S.dir == NULL || S.dir_len >= sizeof watched) {
    power_fail("MOXAL_POWER_DIR needs MOXAL_FAULT_DIR", EINVAL);
    pthread_mutex_unlock(&P.mu);
    return;
  }
  memcpy(watched, S.dir, S.dir_len);
  watched[S.dir_len] = '\0';
  int fd = sys_openat(AT_FDCWD, watched, O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
  struct stat st;
  if (fd < 0 || fstat(fd, &st) != 0 || arm_directory(fd) != 0) {
    power_fail("taking the directory as it is (it must exist)", errno);
  } else {
    snprintf(tmp, sizeof tmp, "%s/.cap-root", P.dir);
    int out = sys_openat(AT_FDCWD, tmp, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    int n = snprintf(P.buf, sizeof P.buf, "%llu %llu\n", (unsigned long long)st.st_dev,
                     (unsigned long long)st.st_ino);
    if (out < 0 || put_all(out, P.buf, (size_t)n) != 0 || sys_close(out) != 0 ||
        sys_rename(tmp, path) != 0) {
      power_fail("writing the root of the shadow state", errno);
    } else {
      P.on = 1;
    }
  }
  if (fd >= 0) sys_close(fd);
  pthread_mutex_unlock(&P.mu);
}

void moxal_power_disarm(void) {
  pthread_mutex_lock(&P.mu);
  P.on = 0;
  pthread_mutex_unlock(&P.mu);
}

long moxal_power_syncs(void) { return P.syncs; }

/* A forked child neither records (its parent's record is not its own) nor
 * inherits a mutex held by a thread it does not have. */
static void power_in_child(void) {
  pthread_mutex_t fresh = PTHREAD_MUTEX_INITIALIZER;
  P.mu = fresh;
  P.on = 0;
}

static void power_load(void) {
  const char* dir = getenv("MOXAL_POWER_DIR");
  if (dir == NULL || *dir == '\0' || strlen(dir) >= sizeof P.dir) return;
  strcpy(P.dir, dir);
  pthread_atfork(NULL, NULL, power_in_child);
  const char* kill_at = getenv("MOXAL_POWER_KILL_AT");
  if (kill_at != NULL) P.kill_at = strtol(kill_at, NULL, 10);
  const char* armed = getenv("MOXAL_POWER_ARMED");
  if (armed == NULL || strcmp(armed, "0") != 0) moxal_power_arm();
}

__attribute__((constructor)) static void shim_load(void) {
  init();
  power_load();
}

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
    int began = mine && power_begin();                       \
    int fd = (real_call);                                    \
    if (fd >= 0) track(fd, mine);                            \
    power_end_open(began, fd);                               \
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
typedef ssize_t (*pwrite_fn)(int, const void*, size_t, off_t);
typedef ssize_t (*pwrite64_fn)(int, const void*, size_t, off64_t);
typedef ssize_t (*writev_fn)(int, const struct iovec*, int);
typedef ssize_t (*pwritev_fn)(int, const struct iovec*, int, off_t);
typedef ssize_t (*pwritev64_fn)(int, const struct iovec*, int, off64_t);
typedef ssize_t (*pwritev2_fn)(int, const struct iovec*, int, off_t, int);
typedef ssize_t (*pwritev64v2_fn)(int, const struct iovec*, int, off64_t, int);
typedef int (*ftruncate_fn)(int, off_t);
typedef int (*ftruncate64_fn)(int, off64_t);
typedef int (*fd_fn)(int);

ssize_t write(int fd, const void* buf, size_t n) {
  NEXT(write_fn, write);
  if (tracked(fd) && should_fail(kWrite)) {
    if (S.mode == kZero) return 0;
    if (S.mode != kShort) {
      errno = S.err;
      return -1;
    }
    if (n > 1) n /= 2;
  }
  int began = tracked(fd) && power_begin();
  ssize_t r = real_write(fd, buf, n);
  power_end(began);
  return r;
}

/* The other ways of writing to a file, and of cutting it, are neither
 * counted nor failed: they are only kept apart from the recorder's copies. */
#define RECORDED_WRITE(type, call)            \
  do {                                        \
    int began = tracked(fd) && power_begin(); \
    type r = (call);                          \
    power_end(began);                         \
    return r;                                 \
  } while (0)

/* The writes at an offset (the journal's appends) count as "pwrite": fail
 * mode returns -1 with the error number having written nothing; short
 * writes the first half of the first piece (at least a byte) and returns
 * that count. */
#define FAULTY_PWRITE(first_len)                 \
  do {                                           \
    if (tracked(fd) && should_fail(kPwrite)) {   \
      if (S.mode == kShort && (first_len) > 1) { \
        short_len = (first_len) / 2;             \
      } else if (S.mode == kZero) {              \
        return 0;                                \
      } else {                                   \
        errno = S.err;                           \
        return -1;                               \
      }                                          \
    }                                            \
  } while (0)

ssize_t pwrite(int fd, const void* buf, size_t n, off_t offset) {
  NEXT(pwrite_fn, pwrite);
  size_t short_len = 0;
  FAULTY_PWRITE(n);
  if (short_len != 0) RECORDED_WRITE(ssize_t, real_pwrite(fd, buf, short_len, offset));
  RECORDED_WRITE(ssize_t, real_pwrite(fd, buf, n, offset));
}

ssize_t pwrite64(int fd, const void* buf, size_t n, off64_t offset) {
  NEXT(pwrite64_fn, pwrite64);
  size_t short_len = 0;
  FAULTY_PWRITE(n);
  if (short_len != 0) RECORDED_WRITE(ssize_t, real_pwrite64(fd, buf, short_len, offset));
  RECORDED_WRITE(ssize_t, real_pwrite64(fd, buf, n, offset));
}

ssize_t writev(int fd, const struct iovec* iov, int count) {
  NEXT(writev_fn, writev);
  RECORDED_WRITE(ssize_t, real_writev(fd, iov, count));
}

ssize_t pwritev(int fd, const struct iovec* iov, int count, off_t offset) {
  NEXT(pwritev_fn, pwritev);
  size_t short_len = 0;
  FAULTY_PWRITE((count > 0 ? iov[0].iov_len : 0));
  struct iovec part = {count > 0 ? iov[0].iov_base : NULL, short_len};
  if (short_len != 0) RECORDED_WRITE(ssize_t, real_pwritev(fd, &part, 1, offset));
  RECORDED_WRITE(ssize_t, real_pwritev(fd, iov, count, offset));
}

ssize_t pwritev64(int fd, const struct iovec* iov, int count, off64_t offset) {
  NEXT(pwritev64_fn, pwritev64);
  size_t short_len = 0;
  FAULTY_PWRITE((count > 0 ? iov[0].iov_len : 0));
  struct iovec part = {count > 0 ? iov[0].iov_base : NULL, short_len};
  if (short_len != 0) RECORDED_WRITE(ssize_t, real_pwritev64(fd, &part, 1, offset));
  RECORDED_WRITE(ssize_t, real_pwritev64(fd, iov, count, offset));
}

ssize_t pwritev2(int fd, const struct iovec* iov, int count, off_t offset, int flags) {
  NEXT(pwritev2_fn, pwritev2);
  RECORDED_WRITE(ssize_t, real_pwritev2(fd, iov, count, offset, flags));
}

ssize_t pwritev64v2(int fd, const struct iovec* iov, int count, off64_t offset, int flags) {
  NEXT(pwritev64v2_fn, pwritev64v2);
  RECORDED_WRITE(ssize_t, real_pwritev64v2(fd, iov, count, offset, flags));
}

int ftruncate(int fd, off_t length) {
  NEXT(ftruncate_fn, ftruncate);
  RECORDED_WRITE(int, real_ftruncate(fd, length));
}

int ftruncate64(int fd, off64_t length) {
  NEXT(ftruncate64_fn, ftruncate64);
  RECORDED_WRITE(int, real_ftruncate64(fd, length));
}

/* A sync that is made to fail makes nothing durable; one that runs makes
 * durable what the file held when it was called. */
int fsync(int fd) {
  NEXT(fd_fn, fsync);
  if (tracked(fd) && should_fail(kFsync)) {
    errno = S.err;
    return -1;
  }
  struct capture c = power_capture(fd);
  int r = real_fsync(fd);
  power_commit(&c, r == 0);
  return r;
}

/* Counted as fsync: both ask for the data on the device. */
int fdatasync(int fd) {
  NEXT(fd_fn, fdatasync);
  if (tracked(fd) && should_fail(kFsync)) {
    errno = S.err;
    return -1;
  }
  struct capture c = power_capture(fd);
  int r = real_fdatasync(fd);
  power_commit(&c, r == 0);
  return r;
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
typedef int (*renameat_fn)(int, const char*, int, const char*);
typedef int (*renameat2_fn)(int, const char*, int, const char*, unsigned int);
typedef int (*unlinkat_fn)(int, const char*, int);
typedef int (*link_fn)(const char*, const char*);
typedef int (*linkat_fn)(int, const char*, int, const char*, int);

/* The common part of the calls that change names: counting, failing, and
 * keeping the recorder's copies of listings apart from the change. */
#define NAMES_BODY(mine, kind, real_call) \
  do {                                    \
    int m = (mine);                       \
    if (m && should_fail(kind)) {         \
      errno = S.err;                      \
      return -1;                          \
    }                                     \
    int began = m && power_begin();       \
    int r = (real_call);                  \
    power_end(began);                     \
    return r;                             \
  } while (0)

int rename(const char* from, const char* to) {
  NEXT(rename_fn, rename);
  NAMES_BODY(under_dir(from) || under_dir(to), kRename, real_rename(from, to));
}

int unlink(const char* path) {
  NEXT(unlink_fn, unlink);
  NAMES_BODY(under_dir(path), kUnlink, real_unlink(path));
}

/* Counted as rename. Relative paths are not resolved against the directory
 * descriptors, as for openat. */
int renameat2(int olddirfd, const char* from, int newdirfd, const char* to, unsigned int flags) {
  NEXT(renameat2_fn, renameat2);
  NAMES_BODY(under_dir(from) || under_dir(to), kRename,
             real_renameat2(olddirfd, from, newdirfd, to, flags));
}

/* Neither counted nor failed (the extension does not use them): only kept
 * apart from the recorder's copies. */
int renameat(int olddirfd, const char* from, int newdirfd, const char* to) {
  NEXT(renameat_fn, renameat);
  NAMES_BODY(under_dir(from) || under_dir(to), kKinds, real_renameat(olddirfd, from, newdirfd, to));
}

int unlinkat(int dirfd, const char* path, int flags) {
  NEXT(unlinkat_fn, unlinkat);
  NAMES_BODY(under_dir(path), kKinds, real_unlinkat(dirfd, path, flags));
}

/* A new name for a file: it counts when the new name lies under the
 * directory (the old one may be /proc/self/fd/N). */
int link(const char* from, const char* to) {
  NEXT(link_fn, link);
  NAMES_BODY(under_dir(to), kLink, real_link(from, to));
}

int linkat(int olddirfd, const char* from, int newdirfd, const char* to, int flags) {
  NEXT(linkat_fn, linkat);
  NAMES_BODY(under_dir(to), kLink, real_linkat(olddirfd, from, newdirfd, to, flags));
}
