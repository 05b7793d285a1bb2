"""Power-cut images of a directory, from what the fault shim recorded of it.

With MOXAL_POWER_DIR set, tests/faults/shim.c records what was synced under
the directory it watches (MOXAL_FAULT_DIR): the content of each file as of
its last fsync or fdatasync, the listing of each directory as of its last
fsync, and a hard link to every file it saw, so that their inodes outlive the
process's names for them (see the comment at the top of shim.c for the
layout). `Recording` reads that state after the process has died and builds
what a power cut at that moment could have left:

- the strict image: each name of each durable listing, with the durable
  content of its inode (empty for an inode never synced);
- harsher ones: the device may also have written part of what was not
  synced, block by block in any order, so a file whose latest content
  differs from its durable one may hold, past its durable content, a prefix
  of the unsynced tail (`torn`), with some 4 KiB blocks of it still zeros
  (`holes`), and, where it was rewritten in place, the new version of some
  4 KiB blocks;
- with `names="now"`, the names as the process left them (every rename,
  link and unlink reached the device, as a journaling file system may
  commit them before any directory sync) with the same contents.

An image is made of hard links to the recorded inodes, whose content is
rewritten in place and whose modification time is set back to the recorded
one: the files keep their device, inode number, size and time, the identity
a reader may compare with one it noted in a journal. So the shadow state and
the image must be on one file system, and building an image changes the
inodes that every earlier image, and the watched directory itself, share:
build images one at a time, and use each before building the next. The
latest contents are copied aside (latest/ in the shadow state) when the
recording is first read, so any number of images can be built from it.

    python tests/faults/power.py SHADOW_DIR DEST [--torn] [--holes] [--now WATCHED]

builds one image from the command line.
"""

import argparse
import os
import random
import shutil
import subprocess

BLOCK = 4096
HERE = os.path.dirname(os.path.abspath(__file__))


class RecordingError(Exception):
    """The shim recorded nothing usable: it never armed, or stopped."""


def compile_shim(path):
    """Compiles shim.c into the shared library `path`; returns None, or why
    it could not (no compiler, or the compiler's complaint)."""
    cc = os.environ.get("CC") or shutil.which("cc") or shutil.which("gcc")
    if not cc or not shutil.which(cc):
        return "no C compiler to build the fault shim"
    build = subprocess.run([cc, "-shared", "-fPIC", "-O1", "-o", path,
                            os.path.join(HERE, "shim.c"), "-ldl", "-lpthread"],
                           capture_output=True, text=True)
    return None if build.returncode == 0 else build.stderr


def preload_env(shim, watched, shadow, kill_at=None):
    """The environment of a child that records power cuts of `watched` into
    `shadow` (and kills itself at sync `kill_at`, when given). A sanitizer
    runtime already preloaded stays first."""
    env = dict(os.environ)
    for name in ("MOXAL_FAULT_CALL", "MOXAL_FAULT_NTH", "MOXAL_FAULT_MODE",
                 "MOXAL_FAULT_ARMED", "MOXAL_POWER_ARMED", "MOXAL_POWER_KILL_AT"):
        env.pop(name, None)
    env.update(MOXAL_FAULT_DIR=watched, MOXAL_POWER_DIR=shadow)
    if kill_at is not None:
        env["MOXAL_POWER_KILL_AT"] = str(kill_at)
    env["LD_PRELOAD"] = " ".join(p for p in (env.get("LD_PRELOAD"), shim) if p)
    return env


def _key(text):
    dev, ino = text.split("-")
    return int(dev), int(ino)


class Recording:
    """The shadow state of one recording, read once the recorder is done."""

    def __init__(self, shadow):
        self.shadow = shadow
        error = os.path.join(shadow, "error")
        if os.path.exists(error):
            with open(error) as f:
                raise RecordingError("the recorder stopped: " + f.read().strip())
        try:
            with open(os.path.join(shadow, "root")) as f:
                self.root = tuple(int(x) for x in f.read().split())
        except FileNotFoundError:
            raise RecordingError("the recorder never armed (no %s/root)" % shadow) from None
        self.listings = {}
        for name in os.listdir(os.path.join(shadow, "listings")):
            if not name.startswith("."):
                with open(os.path.join(shadow, "listings", name)) as f:
                    self.listings[_key(name)] = [line.split() for line in f]
        self.durable = {}
        for name in os.listdir(os.path.join(shadow, "durable")):
            if not name.startswith("."):
                with open(os.path.join(shadow, "durable", name), "rb") as f:
                    head = f.readline().split()
                    data = f.read()
                sec, nsec, size = (int(x) for x in head)
                if len(data) != size:
                    raise RecordingError("durable copy %s holds %d bytes, not %d"
                                         % (name, len(data), size))
                self.durable[_key(name)] = (sec * 10**9 + nsec, data)
        # Every kept inode's latest content and time. Building an image
        # rewrites the inodes, so the first reading copies them to latest/
        # and every reading after it reads that copy.
        latest = os.path.join(shadow, "latest")
        if not os.path.isdir(latest):
            making = latest + ".new"
            shutil.rmtree(making, ignore_errors=True)
            os.mkdir(making)
            for name in os.listdir(os.path.join(shadow, "inodes")):
                path = os.path.join(shadow, "inodes", name)
                copy = os.path.join(making, name)
                shutil.copyfile(path, copy)
                mtime = os.stat(path).st_mtime_ns
                os.utime(copy, ns=(mtime, mtime))
            os.rename(making, latest)
        self.current = {}
        for name in os.listdir(latest):
            path = os.path.join(latest, name)
            with open(path, "rb") as f:
                self.current[_key(name)] = (os.stat(path).st_mtime_ns, f.read())

    def inode_path(self, key):
        return os.path.join(self.shadow, "inodes", "%d-%d" % key)

    # ---- the names ----

    def durable_tree(self):
        """The durable names from the root: {name: ("f", key) | ("d", tree)
        | ("l", target)}. A directory never listed is empty."""
        return self._tree(self.root, set())

    def _tree(self, key, seen):
        if key in seen:
            raise RecordingError("a directory listed inside itself")
        tree = {}
        for entry in self.listings.get(key, []):
            if entry[0] == "l":
                tree[bytes.fromhex(entry[1]).decode("utf-8", "surrogateescape")] = (
                    "l", bytes.fromhex(entry[2]).decode("utf-8", "surrogateescape"))
                continue
            kind, dev, ino, name = entry
            name = bytes.fromhex(name).decode("utf-8", "surrogateescape")
            sub = (int(dev), int(ino))
            tree[name] = ("f", sub) if kind == "f" else ("d", self._tree(sub, seen | {key}))
        return tree

    def tree_now(self, watched):
        """The names under `watched` as they are now."""
        tree = {}
        with os.scandir(watched) as entries:
            for e in entries:
                st = e.stat(follow_symlinks=False)
                if e.is_symlink():
                    tree[e.name] = ("l", os.readlink(e.path))
                elif e.is_dir(follow_symlinks=False):
                    tree[e.name] = ("d", self.tree_now(e.path))
                elif e.is_file(follow_symlinks=False):
                    key = (st.st_dev, st.st_ino)
                    if key not in self.current:
                        raise RecordingError("%s was never seen by the recorder" % e.path)
                    tree[e.name] = ("f", key)
        return tree

    # ---- the contents ----

    def durable_content(self, key):
        """(modification time in ns, bytes) as of the inode's last sync."""
        if key in self.durable:
            return self.durable[key]
        return self.current[key][0], b""

    def unsynced(self, key):
        """Whether the inode's latest content differs from its durable one."""
        return self.current[key][1] != self.durable_content(key)[1]

    def content(self, key, rng=None, torn=False, holes=False):
        """The content a power cut leaves in the inode: the durable one, or
        with `torn` some of what was written since, as a device may have
        written it; with `holes` some 4 KiB blocks of the unsynced tail are
        zeros."""
        mtime, durable = self.durable_content(key)
        latest = self.current[key][1]
        if not (torn or holes) or latest == durable:
            return mtime, durable
        rng = rng or random.Random()
        out = bytearray(durable)
        common = min(len(durable), len(latest))
        for start in range(0, common, BLOCK):  # rewritten in place: old or new
            end = min(start + BLOCK, common)
            if durable[start:end] != latest[start:end] and rng.random() < 0.5:
                out[start:end] = latest[start:end]
        n = len(durable)
        if len(latest) > n:
            end = rng.choice([n, len(latest), rng.randint(n, len(latest))])
            out += latest[n:end]
            if holes:
                for start in range(n - n % BLOCK, end, BLOCK):
                    if rng.random() < 0.4:
                        lo, hi = max(start, n), min(start + BLOCK, end)
                        out[lo:hi] = bytes(hi - lo)
        return mtime, bytes(out)

    # ---- the image ----

    def image(self, dest, rng=None, torn=False, holes=False, names="synced", watched=None):
        """Builds an image at `dest` (which must not exist); returns
        {relative path: (inode key, content)} of its files."""
        tree = self.durable_tree() if names == "synced" else self.tree_now(watched)
        files = {}
        self._make(dest, "", tree, files)
        contents = {}
        for _, key in sorted(files.items()):
            if key not in contents:
                contents[key] = self.content(key, rng, torn, holes)
        for key, (mtime, data) in contents.items():
            path = self.inode_path(key)
            with open(path, "r+b") as f:
                f.write(data)
                f.truncate(len(data))
            os.utime(path, ns=(mtime, mtime))
        return {rel: (key, contents[key][1]) for rel, key in files.items()}

    def _make(self, dest, rel, tree, files):
        os.mkdir(dest)
        for name, (kind, what) in tree.items():
            path = os.path.join(dest, name)
            if kind == "f":
                os.link(self.inode_path(what), path)
                files[os.path.join(rel, name)] = what
            elif kind == "d":
                self._make(path, os.path.join(rel, name), what, files)
            else:
                os.symlink(what, path)


def main():
    ap = argparse.ArgumentParser(description="Build a power-cut image from a recording.")
    ap.add_argument("shadow")
    ap.add_argument("dest")
    ap.add_argument("--torn", action="store_true")
    ap.add_argument("--holes", action="store_true")
    ap.add_argument("--now", metavar="WATCHED", help="the names as they are now under WATCHED")
    ap.add_argument("--seed", type=int, default=None)
    args = ap.parse_args()
    files = Recording(args.shadow).image(
        args.dest, random.Random(args.seed), args.torn, args.holes,
        "now" if args.now else "synced", args.now)
    for rel, (key, data) in sorted(files.items()):
        print("%s\tinode %d-%d\t%d bytes" % (rel, key[0], key[1], len(data)))


if __name__ == "__main__":
    main()
