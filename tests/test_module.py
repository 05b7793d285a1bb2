"""The module and class as Python sees them: attributes, signatures, argument
matching and conversion errors, and the PanicException type."""

import importlib
import importlib.metadata
import inspect
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
    "find": "($self, collection_name, maybe_query=None)",
    "update": "($self, collection_name, update_query, maybe_query=None, return_result=False)",
    "collections": "($self)",
    "drop_collection": "($self, collection_name)",
    "drop_all": "($self)",
    "write": "($self, collection_name)",
    "write_all": "($self)",
    "clear_cache": "($self)",
}


def test_module_and_class_attributes():
    assert moxal.__all__ == ["Moxal"]
    assert isinstance(moxal.__doc__, str) and "\n" not in moxal.__doc__
    assert moxal.Moxal.__name__ == "Moxal"
    assert moxal.Moxal.__module__ == "builtins"
    assert moxal.Moxal.__text_signature__ == "(name)"
    assert moxal.Moxal.__doc__ is None
    assert str(inspect.signature(moxal.Moxal)) == "(name)"
    assert importlib.import_module("moxal") is moxal


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
    with pytest.raises(TypeError, match="not an acceptable base type"):
        type("Sub", (moxal.Moxal,), {})


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


def test_panic_exception_class():
    assert moxal.PanicException.__name__ == "PanicException"
    assert moxal.PanicException.__module__ == "moxal"
    assert moxal.PanicException.__bases__ == (BaseException,)
    assert "PanicException" not in moxal.__all__


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
