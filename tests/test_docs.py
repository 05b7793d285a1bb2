"""Every ```python block of the README and of docs/*.md runs, so the
documentation cannot drift from what moxal does; and the README's links lead
somewhere.

A block whose first line names an example file ("# examples/NAME.py") shows
part of that file instead: it must appear in the file as it is (the suite
runs the examples themselves), and it does not run here.

The blocks of one file run in the order they appear, in one namespace, in a
fresh temporary working directory, as a reader trying them one after another
would; each block's asserts are the documented results. A failure names the
file and line where the failing block starts, and its traceback the line
that failed. A page whose examples import a package that is not installed
(DuckDB, pandas, Polars: the test extras) is skipped, naming the package.
"""

import ast
import glob
import importlib.util
import os
import re
import traceback

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PAGES = ["README.md"] + sorted(
    os.path.relpath(p, ROOT) for p in glob.glob(os.path.join(ROOT, "docs", "*.md")))
FENCE = re.compile(r"^```python\n(.*?)^```$", re.S | re.M)


def read(page):
    with open(os.path.join(ROOT, page), encoding="utf-8") as f:
        return f.read()


EXCERPT = re.compile(r"\A# (examples/\w+\.py)\n")


def all_python_blocks(page):
    text = read(page)
    for m in FENCE.finditer(text):
        line = text.count("\n", 0, m.start()) + 2  # the block's first code line
        yield line, m.group(1)


def python_blocks(page):
    """The blocks that run: all but the examples' excerpts."""
    return ((line, code) for line, code in all_python_blocks(page) if not EXCERPT.match(code))


def excerpts():
    return [(page, line, code) for page in PAGES for line, code in all_python_blocks(page)
            if EXCERPT.match(code)]


def imported_packages(blocks):
    names = set()
    for _, code in blocks:
        for node in ast.walk(ast.parse(code)):
            if isinstance(node, ast.Import):
                names.update(a.name.split(".")[0] for a in node.names)
            elif isinstance(node, ast.ImportFrom) and node.level == 0:
                names.add(node.module.split(".")[0])
    return names


def run_page(page):
    blocks = list(python_blocks(page))
    missing = sorted(n for n in imported_packages(blocks) if importlib.util.find_spec(n) is None)
    if missing:
        pytest.skip(f"{page} needs {', '.join(missing)}")
    namespace = {"__name__": "docs"}
    for line, code in blocks:
        try:
            # Padded so that line numbers in a traceback are the page's.
            exec(compile("\n" * (line - 1) + code, page, "exec"), namespace)
        except BaseException:  # PanicException too
            pytest.fail(f"the block of {page} at line {line} failed:\n{traceback.format_exc()}")


def test_the_readme_and_the_main_pages_have_examples():
    counts = {page: len(list(python_blocks(page))) for page in PAGES}
    assert counts["README.md"] >= 3
    for page in ["docs/queries.md", "docs/errors.md", "docs/other-tools.md"]:
        assert counts[page] >= 1, page


def test_python_code_is_fenced_so_that_it_runs():
    # A block marked ```py, ```Python or ``` python would silently not run.
    fences = {(page, fence) for page in PAGES
              for fence in re.findall(r"^```([ \t]*\S*)", read(page), re.M)}
    assert not [f for f in fences if f[1].strip().lower().startswith("py") and f[1] != "python"]


@pytest.mark.parametrize("page, line, code", excerpts(),
                         ids=[f"{page}:{line}" for page, line, _ in excerpts()])
def test_excerpts_of_examples_are_what_the_files_hold(page, line, code):
    name = EXCERPT.match(code).group(1)
    assert code[len(name) + 3:] in read(name), f"{page}:{line} differs from {name}"


# A page without Python blocks gets no case: it would pass having run nothing.
PAGES_WITH_BLOCKS = [page for page in PAGES if any(python_blocks(page))]


@pytest.mark.parametrize("page", PAGES_WITH_BLOCKS)
def test_python_blocks_run(page, tmp_path, monkeypatch, capfd):
    monkeypatch.chdir(tmp_path)
    run_page(page)
    capfd.readouterr()  # update's trace lines


def test_the_readme_runs_again_in_the_same_directory(tmp_path, monkeypatch, capfd):
    # What a reader who runs the quick start twice sees: no leftovers of the
    # first run get in the way.
    monkeypatch.chdir(tmp_path)
    run_page("README.md")
    run_page("README.md")
    capfd.readouterr()


LINK = re.compile(r"\]\(([^)#\s]*)(?:#([^)\s]*))?\)")


def anchors(text):
    """The anchors of a page's headings, as GitHub and MkDocs make them."""
    found = set()
    for heading in re.findall(r"^#+ (.*)$", re.sub(FENCE, "", text), re.M):
        slug = re.sub(r"[^\w\- ]", "", heading.lower()).strip().replace(" ", "-")
        found.add(slug)
    return found


def test_the_readmes_links_lead_to_files_and_headings():
    text = read("README.md")
    links = [(target, anchor) for target, anchor in LINK.findall(text)
             if not target.startswith(("http:", "https:"))]
    assert links
    for target, anchor in links:
        path = os.path.join(ROOT, target) if target else os.path.join(ROOT, "README.md")
        assert os.path.exists(path), target
        if anchor:
            assert anchor in anchors(read(os.path.relpath(path, ROOT))), f"{target}#{anchor}"
