"""Every script in examples/ runs to the end."""

import glob
import os
import subprocess
import sys

import pytest

EXAMPLES = sorted(glob.glob(os.path.join(os.path.dirname(__file__), "..", "examples", "*.py")))


@pytest.mark.parametrize("script", EXAMPLES, ids=os.path.basename)
def test_example_runs(script, tmp_path):
    run = subprocess.run([sys.executable, script], capture_output=True, text=True,
                         cwd=str(tmp_path), timeout=120)
    assert run.returncode == 0, run.stderr
    assert run.stdout.strip()
