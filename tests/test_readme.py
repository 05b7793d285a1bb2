"""Every ```python block of the README runs, so the README cannot drift from
what moxal does.

The blocks run in the order they appear, in one namespace, in a fresh
temporary working directory, as a reader trying them one after another
would; each block's asserts are the documented results. A failure names the
README line where the failing block starts, and its traceback the README
line that failed.
"""

import os
import re
import traceback

import pytest

README = os.path.join(os.path.dirname(__file__), "..", "README.md")
FENCE = re.compile(r"^```python\n(.*?)^```$", re.S | re.M)


def python_blocks():
    with open(README, encoding="utf-8") as f:
        text = f.read()
    for m in FENCE.finditer(text):
        line = text.count("\n", 0, m.start()) + 2  # the block's first code line
        yield line, m.group(1)


def test_readme_has_examples():
    assert len(list(python_blocks())) >= 5


def test_readme_python_blocks_run(tmp_path, monkeypatch, capfd):
    monkeypatch.chdir(tmp_path)
    namespace = {"__name__": "readme"}
    for line, code in python_blocks():
        try:
            # Padded so that line numbers in a traceback are the README's.
            exec(compile("\n" * (line - 1) + code, "README.md", "exec"), namespace)
        except BaseException:  # PanicException too
            pytest.fail(f"the README block at line {line} failed:\n{traceback.format_exc()}")
    capfd.readouterr()  # update's trace lines
