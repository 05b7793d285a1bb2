import collections.abc
import contextlib
import os
import tempfile
import time

import pytest

import moxal


@pytest.fixture
def db_dir(tmp_path):
    """A database directory that does not exist yet."""
    return str(tmp_path / "db")


@pytest.fixture
def db(db_dir):
    """A Moxal over an empty, freshly made directory."""
    return moxal.Moxal(db_dir)


def write_file(path, data):
    """Writes `data` (str or bytes) to `path`, making parent directories."""
    os.makedirs(os.path.dirname(path) or ".", exist_ok=True)
    mode = "wb" if isinstance(data, bytes) else "w"
    with open(path, mode) as f:
        f.write(data)


def read_file(path):
    with open(path, "rb") as f:
        return f.read()


# The class internal failures are raised as (a BaseException, not an Exception).
PanicException = moxal.PanicException

def nest(levels, leaf=1, key=None):
    """`leaf` inside `levels` containers: lists, or dicts holding it under `key`."""
    for _ in range(levels):
        leaf = [leaf] if key is None else {key: leaf}
    return leaf


# How the text of a PanicException begins: an internal failure that carries
# an error (the error's debug form follows), or one that carries nothing.
UNWRAP = "called `Result::unwrap()` on an `Err` value: "
UNWRAP_NONE = "called `Option::unwrap()` on a `None` value"


class Seq(collections.abc.Sequence):
    """A user-defined sequence: converted by index, not as a list."""

    def __init__(self, items):
        self.items = list(items)

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        return self.items[i]


class Map(collections.abc.Mapping):
    """A user-defined mapping: converted through keys() and values()."""

    def __init__(self, d):
        self.d = dict(d)

    def __getitem__(self, key):
        return self.d[key]

    def __iter__(self):
        return iter(self.d)

    def __len__(self):
        return len(self.d)


@contextlib.contextmanager
def fd1_captured():
    """Collects the bytes written to file descriptor 1 meanwhile (the update
    trace lines), in the one-element list it yields, once the block ends."""
    box = []
    saved = os.dup(1)
    with tempfile.TemporaryFile() as f:
        os.dup2(f.fileno(), 1)
        try:
            yield box
        finally:
            os.dup2(saved, 1)
            os.close(saved)
            f.seek(0)
            box.append(f.read())


def wait_until(condition, what):
    """Waits for `condition()` to hold, however slow the machine."""
    deadline = time.monotonic() + 60
    while not condition():
        assert time.monotonic() < deadline, "waited a minute for " + what
        time.sleep(0.005)


@pytest.fixture
def gate():
    """Holds threads at a named point of moxal (moxal._gate) while the test
    looks at what others can do; always opened again at the end."""
    closed = []

    def close(name):
        moxal._gate(name, "close")
        closed.append(name)

    yield close
    for name in closed:
        moxal._gate(name, "open")
