"""The module and class as Python sees them: attributes, signatures, argument
matching and conversion errors, and the PanicException type."""

import ast
import collections
import gc
import importlib
import importlib.metadata
import inspect
import json
import os
import shutil
import subprocess
import sys
import tomllib

import pytest

import moxal

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SIGNATURES = {
    "load_from_document": "($self, document_path)",
    "create_collection": "($self, collection_name)",
    "insert": "($self, collection_name, document)",
    "insert_many": "($self, collection_name, documents)",
    "insert_many_from_document": "($self, collection_name, document_name)",
    "find": "($self, collection_name, maybe_query=None, *, sort=None, limit=0, skip=0)",
    "count": "($self, collection_name, maybe_query=None)",
    "update": "($self, collection_name, update_query, maybe_query=None, return_result=False)",
    "delete": "($self, collection_name, query)",
    "collections": "($self)",
    "drop_collection": "($self, collection_name)",
    "drop_all": "($self)",
    "write": "($self, collection_name)",
    "write_all": "($self)",
    "clear_cache": "($self)",
}


def test_module_and_class_attributes(db):
    assert moxal.__all__ == ["Moxal"]
    assert isinstance(moxal.__doc__, str) and "\n" not in moxal.__doc__
    assert moxal.Moxal.__name__ == moxal.Moxal.__qualname__ == "Moxal"
    assert moxal.Moxal.__module__ == "builtins"
    assert moxal.Moxal.__text_signature__ == "(name, *, journal='off')"
    assert moxal.Moxal.__doc__ is None
    assert str(inspect.signature(moxal.Moxal)) == "(name, *, journal='off')"
    assert importlib.import_module("moxal") is moxal
    # Named plainly, like a built-in class, wherever the interpreter names it.
    assert repr(moxal.Moxal) == "<class 'Moxal'>"
    assert repr(db).startswith("<Moxal object at 0x")
    with pytest.raises(TypeError, match="^descriptor 'find' for 'Moxal' objects doesn't apply"):
        moxal.Moxal.find(1, "c")


def test_import_warns_of_nothing():
    # The interpreter warns of a class created without a module name.
    run = subprocess.run([sys.executable, "-X", "dev", "-W", "error", "-c", "import moxal"],
                         capture_output=True, text=True)
    assert run.returncode == 0 and run.stderr == "", run.stderr


def test_method_table_order_and_signatures():
    names = [n for n in vars(moxal.Moxal) if not n.startswith("__")]
    assert names == list(SIGNATURES)
    for name, sig in SIGNATURES.items():
        method = getattr(moxal.Moxal, name)
        assert method.__text_signature__ == sig
        assert method.__doc__ is None


def test_instances_have_no_dict_and_no_weakref(db):
    with pytest.raises(AttributeError):
        db.anything = 1
    import weakref
    with pytest.raises(TypeError):
        weakref.ref(db)


def test_subclassing_is_refused():
    with pytest.raises(TypeError, match="^type 'Moxal' is not an acceptable base type$"):
        type("Sub", (moxal.Moxal,), {})


STUBS = os.path.join(ROOT, "stubs", "moxal-stubs", "__init__.pyi")
P = inspect.Parameter


def stub_functions():
    """The stub's methods of Moxal: name -> its definitions (several for an
    overloaded method)."""
    with open(STUBS) as f:
        tree = ast.parse(f.read())
    cls = next(n for n in tree.body if isinstance(n, ast.ClassDef) and n.name == "Moxal")
    functions = {}
    for node in cls.body:
        if isinstance(node, ast.FunctionDef):
            functions.setdefault(node.name, []).append(node)
    return functions


def stub_parameters(function):
    """(name, kind, default) of each parameter of a stub definition, without
    self or cls."""
    a = function.args
    positional = a.posonlyargs + a.args
    defaults = [P.empty] * (len(positional) - len(a.defaults)) + a.defaults
    kwonly_defaults = [P.empty if d is None else d for d in a.kw_defaults]
    params = [(p.arg, P.POSITIONAL_ONLY if p in a.posonlyargs else P.POSITIONAL_OR_KEYWORD, d)
              for p, d in zip(positional, defaults)]
    params += [(p.arg, P.KEYWORD_ONLY, d) for p, d in zip(a.kwonlyargs, kwonly_defaults)]
    return [(name, kind, d if d is P.empty else ast.literal_eval(d))
            for name, kind, d in params[1:]]


def module_parameters(callable_, bound):
    params = list(inspect.signature(callable_).parameters.values())
    return [(p.name, p.kind, p.default) for p in params[1 if bound else 0:]]


def test_the_stubs_state_the_signatures_the_module_has():
    stubs = stub_functions()
    methods = [n for n in vars(moxal.Moxal) if not n.startswith("__")]
    assert sorted(stubs) == sorted(methods + ["__new__"])
    assert stub_parameters(stubs["__new__"][0]) == module_parameters(moxal.Moxal, bound=False)
    for name in methods:
        *overloads, general = stubs[name]
        expected = module_parameters(getattr(moxal.Moxal, name), bound=True)
        # The last definition of an overloaded method is the general one;
        # the others narrow its types, keeping its parameters.
        assert stub_parameters(general) == expected, name
        for overload in overloads:
            assert [p[0] for p in stub_parameters(overload)] == [p[0] for p in expected], name


# Each prepares a call that fails internally, in one of three layers: query
# parsing, value conversion, loading.
def unknown_operator(path):
    db = moxal.Moxal(str(path))
    db.insert("c", {"a": 1})
    return lambda: db.find("c", {"a": {"$in": [1]}})


def numpy_scalar(path):
    numpy = pytest.importorskip("numpy")
    db = moxal.Moxal(str(path))
    return lambda: db.insert("c", {"n": numpy.int64(3)})


def file_of_unknown_form(path):
    with open(os.path.join(path, "x.json"), "w") as f:
        f.write("1")  # neither an array nor {"x": [...]}
    return lambda: moxal.Moxal(str(path))


@pytest.mark.parametrize("prepare", [unknown_operator, numpy_scalar, file_of_unknown_form],
                         ids=lambda f: f.__name__)
def test_the_raised_panic_is_the_modules_exception_class(tmp_path, prepare):
    call = prepare(tmp_path)
    with pytest.raises(BaseException) as info:
        try:
            call()
        except Exception:
            pytest.fail("PanicException caught as Exception")
    assert type(info.value) is moxal.PanicException
    try:
        call()
    except moxal.PanicException as e:
        assert e.args == (str(e),) and str(e)


@pytest.mark.parametrize("name, base", [("PanicException", BaseException),
                                        ("ConcurrentWriteWarning", UserWarning)])
def test_exception_and_warning_classes(name, base):
    cls = getattr(moxal, name)
    assert cls.__name__ == name
    assert cls.__module__ == "moxal"
    assert cls.__bases__ == (base,)
    assert name not in moxal.__all__


def pyproject_version():
    with open(os.path.join(ROOT, "pyproject.toml"), "rb") as f:
        return tomllib.load(f)["project"]["version"]


def test_version_is_the_package_metadata_version():
    assert moxal.__version__ == importlib.metadata.version("moxal") == pyproject_version()


def test_a_build_without_scikit_build_takes_the_version_from_pyproject(tmp_path):
    # Configuring is enough: CMake reports the version the module gets.
    bindir = os.path.dirname(sys.executable)
    cmake = os.path.join(bindir, "cmake")
    if not os.path.exists(cmake):
        cmake = shutil.which("cmake") or pytest.skip("no cmake")
    env = dict(os.environ, PATH=bindir + os.pathsep + os.environ.get("PATH", ""))
    env.pop("LD_PRELOAD", None)
    run = subprocess.run([cmake, "-S", ROOT, "-B", str(tmp_path), "-G", "Ninja",
                          "-DPython_EXECUTABLE=" + sys.executable],
                         capture_output=True, text=True, env=env)
    assert run.returncode == 0, run.stdout + run.stderr
    assert f"moxal version {pyproject_version()}\n" in run.stdout


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: moxal.Moxal(), "Moxal.__new__() missing 1 required positional argument: 'name'"),
        (lambda: moxal.Moxal("a", "b"), "Moxal.__new__() takes 1 positional arguments but 2 were given"),
        (lambda: moxal.Moxal(nam="a"), "Moxal.__new__() got an unexpected keyword argument 'nam'"),
        (lambda: moxal.Moxal("a", name="a"), "Moxal.__new__() got multiple values for argument 'name'"),
        (lambda: moxal.Moxal(5), "argument 'name': 'int' object cannot be converted to 'PyString'"),
    ],
)
def test_constructor_argument_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


@pytest.mark.parametrize(
    "method, args, kwargs, message",
    [
        ("update", (), {}, "Moxal.update() missing 2 required positional arguments: "
                           "'collection_name' and 'update_query'"),
        ("update", ("c",), {}, "Moxal.update() missing 1 required positional argument: 'update_query'"),
        ("update", ("c", {}, None, False, 1), {},
         "Moxal.update() takes from 2 to 4 positional arguments but 5 were given"),
        ("write", ("a", "b"), {}, "Moxal.write() takes 1 positional arguments but 2 were given"),
        ("insert", ("a", {}, 3), {}, "Moxal.insert() takes 2 positional arguments but 3 were given"),
        ("find", ("a", None, 3), {}, "Moxal.find() takes from 1 to 2 positional arguments but 3 were given"),
        ("find", ("a",), {"collection_name": "b"},
         "Moxal.find() got multiple values for argument 'collection_name'"),
        ("find", (), {"name": "b"}, "Moxal.find() got an unexpected keyword argument 'name'"),
        ("find", (), {}, "Moxal.find() missing 1 required positional argument: 'collection_name'"),
        ("count", ("a", None, 3), {}, "Moxal.count() takes from 1 to 2 positional arguments but 3 were given"),
        ("delete", ("a",), {}, "Moxal.delete() missing 1 required positional argument: 'query'"),
        ("delete", ("a",), {"maybe_query": {}}, "Moxal.delete() got an unexpected keyword argument 'maybe_query'"),
        ("insert_many_from_document", (), {},
         "Moxal.insert_many_from_document() missing 2 required positional arguments: "
         "'collection_name' and 'document_name'"),
        ("load_from_document", ("a", "b"), {},
         "Moxal.load_from_document() takes 1 positional arguments but 2 were given"),
    ],
)
def test_argument_matching_errors(db, method, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        getattr(db, method)(*args, **kwargs)
    assert str(info.value) == message


def test_missing_arguments_are_reported_after_the_keywords_given(db):
    # Keywords that are known fill their parameters; what is still missing
    # is reported, not the keyword.
    with pytest.raises(TypeError) as info:
        db.update(maybe_query=None, return_result=True)
    assert str(info.value) == ("Moxal.update() missing 2 required positional arguments: "
                               "'collection_name' and 'update_query'")


@pytest.mark.parametrize(
    "method, args, message",
    [
        ("find", (5,), "argument 'collection_name': 'int' object cannot be converted to 'PyString'"),
        ("find", ("c", []), "argument 'maybe_query': 'list' object cannot be converted to 'PyDict'"),
        ("count", ("c", []), "argument 'maybe_query': 'list' object cannot be converted to 'PyDict'"),
        ("delete", ("c", None), "argument 'query': 'NoneType' object cannot be converted to 'PyDict'"),
        ("insert", ("c", []), "argument 'document': 'list' object cannot be converted to 'PyDict'"),
        ("insert_many", ("c", (1,)), "argument 'documents': 'tuple' object cannot be converted to 'PyList'"),
        ("update", ("c", None), "argument 'update_query': 'NoneType' object cannot be converted to 'PyDict'"),
        ("update", ("c", {}, None, None),
         "argument 'return_result': 'NoneType' object cannot be converted to 'PyBool'"),
        ("update", ("c", {}, None, 1), "argument 'return_result': 'int' object cannot be converted to 'PyBool'"),
        ("load_from_document", (b"x",), "argument 'document_path': 'bytes' object cannot be converted to 'PyString'"),
        ("write", (None,), "argument 'collection_name': 'NoneType' object cannot be converted to 'PyString'"),
    ],
)
def test_argument_conversion_errors(db, method, args, message):
    with pytest.raises(TypeError) as info:
        getattr(db, method)(*args)
    assert str(info.value) == message
    cause = info.value.__cause__
    assert type(cause) is TypeError and message.endswith(str(cause))
    # The failed call released its borrow: the object is usable at once.
    assert db.collections() == []


def test_lone_surrogate_name_raises_the_encoding_error_unchanged(db):
    with pytest.raises(UnicodeEncodeError):
        db.write("\udc80")


def test_methods_without_parameters_take_none(db):
    for name in ("collections", "drop_all", "write_all", "clear_cache"):
        with pytest.raises(TypeError, match="takes no arguments"):
            getattr(db, name)(1)


# Run in a subinterpreter, after the main interpreter imported moxal: the
# module object, class and exception there are that interpreter's own.
IN_SUBINTERPRETER = """
import collections, json, moxal
out = []
db = moxal.Moxal(DIR)
# A Mapping and a Sequence that are not dict or list: the conversion's
# collections.abc classes, imported in this interpreter.
db.insert("c", {"m": collections.UserDict(a=1), "s": collections.UserList([2])})
out.append(db.find("c"))
try:
    db.find("c", {"a": {"$in": [1]}})
except moxal.PanicException as e:
    out.append(type(e).__name__)
out.append([repr(moxal.Moxal), moxal.Moxal.__module__, moxal.Moxal.find.__text_signature__])
with open(OUT, "w") as f:
    json.dump(out, f)
"""

# Runs IN_SUBINTERPRETER in a legacy subinterpreter (sharing the
# interpreter lock) twice, then uses moxal in the main interpreter again.
SUBINTERPRETER_HOST = """
import collections, sys, _testcapi, moxal
main_class, main_panic = moxal.Moxal, moxal.PanicException
db = moxal.Moxal(sys.argv[1] + "/main")
for i in range(2):
    code = ("DIR = %r\\nOUT = %r\\n" % (sys.argv[1] + "/sub", sys.argv[1] + "/out%d" % i)
            + sys.argv[2])
    assert _testcapi.run_in_subinterp(code) == 0, "the subinterpreter failed"
assert moxal.Moxal is main_class and moxal.PanicException is main_panic
db.insert("c", {"m": collections.UserDict(b=2)})
assert db.find("c") == [{"m": {"b": 2}}], db.find("c")
try:
    db.find("c", {"a": {"$in": [1]}})
except moxal.PanicException as e:
    assert type(e) is main_panic
print("main ok")
"""


def test_a_subinterpreter_imports_its_own_module(tmp_path):
    pytest.importorskip("_testcapi")
    run = subprocess.run([sys.executable, "-c", SUBINTERPRETER_HOST, str(tmp_path),
                          IN_SUBINTERPRETER], capture_output=True, text=True, timeout=120)
    assert run.returncode == 0 and run.stdout == "main ok\n", run.stdout + run.stderr
    for i in range(2):
        with open(tmp_path / f"out{i}") as f:
            found, panic, cls = json.load(f)
        # Each run opens the directory afresh: inserting writes nothing.
        assert found == [{"m": {"a": 1}, "s": [2]}]
        assert panic == "PanicException"
        assert cls == ["<class 'Moxal'>", "builtins", SIGNATURES["find"]]


# An interpreter with its own interpreter lock (3.12 and later) is refused
# with ImportError: the instance list of the fork handler is process-wide.
OWN_LOCK = """
import sys
try:
    import _interpreters as interpreters
    interp = interpreters.create("isolated")
    failure = interpreters.exec(interp, "import moxal")
    message = failure and failure.formatted
except ImportError:
    import _xxsubinterpreters as interpreters
    interp = interpreters.create(isolated=True)
    try:
        interpreters.run_string(interp, "import moxal")
        message = None
    except interpreters.RunFailedError as e:
        message = str(e)
interpreters.destroy(interp)
print(message)
"""


@pytest.mark.skipif(sys.version_info < (3, 12), reason="no interpreter has its own lock")
def test_an_interpreter_with_its_own_lock_is_refused():
    run = subprocess.run([sys.executable, "-c", OWN_LOCK], capture_output=True, text=True,
                         timeout=120)
    if "No module named" in run.stderr:
        pytest.skip("no module to create interpreters with")
    assert run.returncode == 0, run.stderr
    assert "ImportError" in run.stdout and "moxal" in run.stdout, run.stdout


def test_a_module_made_again_leaves_the_first_ones_objects_working(db_dir):
    first = moxal
    db = first.Moxal(db_dir)
    del sys.modules["moxal"]
    try:
        second = importlib.import_module("moxal")
        assert second is not first and second.Moxal is not first.Moxal
        assert second.PanicException is not first.PanicException
    finally:
        sys.modules["moxal"] = first
    del second
    gc.collect()
    # The first module's objects still reach its state through their class.
    db.insert("c", {"a": [collections.UserList([1])]})
    assert db.find("c") == [{"a": [[1]]}]
    with pytest.raises(first.PanicException):
        db.find("c", {"a": {"$in": [1]}})
