"""The module and class as Python sees them: attributes, signatures, argument
matching and conversion errors, and the PanicException type."""

import importlib
import inspect

import pytest

import moxal
from conftest import PanicException

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
    assert not hasattr(moxal, "PanicException")
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


def test_panic_exception_is_a_base_exception():
    assert PanicException.__name__ == "PanicException"
    assert issubclass(PanicException, BaseException)
    assert not issubclass(PanicException, Exception)
    with pytest.raises(BaseException):
        try:
            raise PanicException("x")
        except Exception:  # must not catch it
            pytest.fail("PanicException caught as Exception")


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
