"""Type-checked, never run: the installed stubs must give these types.

tools/typecheck runs mypy over this file (strict, with --warn-unused-ignores)
against the installed package. Each assert_type pins a type; each line
marked `# type: ignore[...]` must be an error, so a stub that became too
lax fails the check as an unused ignore.
"""

from typing import Any, assert_type

import moxal

db = moxal.Moxal("db")
db = moxal.Moxal(name="db")

# Results.
assert_type(db.find("users"), list[dict[str, Any]])
assert_type(db.find("users", {"age": {"$gt": 30}}), list[dict[str, Any]])
assert_type(db.find(collection_name="users", maybe_query=None), list[dict[str, Any]])
assert_type(db.find("users", sort=[("created", -1)], limit=20, skip=40), list[dict[str, Any]])
assert_type(db.find("users", {"age": 30}, sort="name"), list[dict[str, Any]])
assert_type(db.collections(), list[str])
assert_type(db.count("users"), int)
assert_type(db.count(collection_name="users", maybe_query={"age": 1}), int)
assert_type(db.delete(collection_name="users", query={"age": {"$lt": 18}}), int)

# update: the result depends on return_result.
assert_type(db.update("users", {"age": {"$inc": 1}}), None)
assert_type(db.update("users", {"age": 1}, {"name": "Ada"}), None)
assert_type(db.update("users", {"age": 1}, None, False), None)
assert_type(db.update("users", {"age": 1}, None, True), list[dict[str, Any]])
assert_type(db.update("users", {"age": 1}, return_result=True), list[dict[str, Any]])
assert_type(
    db.update(collection_name="users", update_query={"age": 1}, maybe_query={"a": 1},
              return_result=True),
    list[dict[str, Any]],
)
flag: bool = len(db.collections()) > 0
assert_type(db.update("users", {"age": 1}, None, flag), list[dict[str, Any]] | None)

# Methods that return None, with their keyword names.
assert_type(db.insert(collection_name="users", document={"name": "Ada"}), None)
assert_type(db.insert_many(collection_name="users", documents=[{"a": 1}, 2, "x"]), None)
assert_type(db.insert_many_from_document(collection_name="users", document_name="f.json"), None)
assert_type(db.load_from_document(document_path="export.json"), None)
assert_type(db.create_collection(collection_name="users"), None)
assert_type(db.drop_collection(collection_name="users"), None)
assert_type(db.write(collection_name="users"), None)
assert_type(db.drop_all(), None)
assert_type(db.write_all(), None)
assert_type(db.clear_cache(), None)

# Each of these must be a type error.
db.find(1)  # type: ignore[arg-type]
db.find("users", [("age", 1)])  # type: ignore[arg-type]
db.find("users", query={"a": 1})  # type: ignore[call-arg]
db.find("users", None, "name")  # type: ignore[call-arg]
db.find("users", limit="20")  # type: ignore[arg-type]
db.insert("users", [{"a": 1}])  # type: ignore[arg-type]
db.insert_many("users", ({"a": 1},))  # type: ignore[arg-type]
db.update("users", {"a": 1}, None, None)  # type: ignore[call-overload]
db.write()  # type: ignore[call-arg]
db.delete("users")  # type: ignore[call-arg]
db.delete("users", None)  # type: ignore[arg-type]
db.collections("users")  # type: ignore[call-arg]
db.frobnicate()  # type: ignore[attr-defined]
none: None = db.update("users", {"a": 1}, return_result=True)  # type: ignore[assignment]
names: list[int] = db.collections()  # type: ignore[assignment]

# The module's version and the class internal failures are raised as.
assert_type(moxal.__version__, str)
try:
    db.find("users", {"age": {"$in": [1]}})
except moxal.PanicException as panic:
    assert_type(panic, moxal.PanicException)
    assert_type(panic.args, tuple[Any, ...])
panic_is_exception: type[Exception] = moxal.PanicException  # type: ignore[assignment]
warning: type[UserWarning] = moxal.ConcurrentWriteWarning


# The class cannot be subclassed.
class Sub(moxal.Moxal):  # type: ignore[misc]
    pass
