"""Every script in examples/ runs to the end; the to-do CLI and the catalogue
import also with arguments of their own."""

import glob
import json
import os
import runpy
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


def run_example(name, *args, cwd):
    script = os.path.join(os.path.dirname(EXAMPLES[0]), name)
    return subprocess.run([sys.executable, script, *args], capture_output=True, text=True,
                          cwd=str(cwd), timeout=120)


def test_todo_cli_keeps_its_list_between_runs(tmp_path):
    def todo(*args):
        run = run_example("todo.py", "--db", "store", *args, cwd=tmp_path)
        return run.returncode, run.stdout

    assert todo("add", "buy", "milk", "--tag", "home") == (0, "added #1: buy milk\n")
    assert todo("add", "write the report") == (0, "added #2: write the report\n")
    assert todo("add", "call the plumber", "--tag", "home", "--tag", "urgent")[0] == 0
    assert todo("done", "1") == (0, "done #1\n")  # no trace lines in the output
    assert todo("remove", "2") == (0, "removed #2\n")
    assert todo("done", "2") == (1, "")  # removed: gone for good
    assert todo("list") == (0, "#3 [ ] call the plumber  (home, urgent)\n")
    assert todo("list", "--all", "--tag", "home") == (
        0, "#1 [x] buy milk  (home)\n#3 [ ] call the plumber  (home, urgent)\n")
    assert todo("add", "again")[1] == "added #4: again\n"  # ids are not reused
    stored = json.loads((tmp_path / "store" / "todos.json").read_text())
    assert [(t["id"], t["done"], t["removed"]) for t in stored] == [
        (1, True, False), (2, False, True), (3, False, False), (4, False, False)]
    assert stored[0]["done_at"] is not None and stored[2]["done_at"] is None


def test_import_catalog_with_a_generated_export(tmp_path):
    export = tmp_path / "export.json"
    script = os.path.join(os.path.dirname(EXAMPLES[0]), "import_catalog.py")
    runpy.run_path(script, run_name="example")["generated_export"](str(export))
    run = run_example("import_catalog.py", str(export), cwd=tmp_path)
    assert run.returncode == 0, run.stderr
    assert "performances: 40 document(s)" in run.stdout
    assert "all of them are shows of the busiest event: True" in run.stdout


def test_import_catalog_reads_the_sample_shipped_with_it(tmp_path):
    run = run_example("import_catalog.py", cwd=tmp_path)
    assert run.returncode == 0, run.stderr
    assert run.stdout.startswith("importing citm_catalog.json (")
    assert "performances: 20 document(s)" in run.stdout and "events: 18" in run.stdout
