# Type information for moxal, an extension module with no Python source.
#
# Installed as the stub-only package `moxal-stubs` beside the module: mypy
# and pyright both look there for the types of a module that cannot carry
# them itself (a `moxal.pyi` beside the module is seen by pyright only).
# Parameter names are the ones the methods accept as keywords; every
# parameter may be passed by position or by keyword. tests/test_module.py
# checks each signature here (names, kinds, defaults) against the module's
# own; an overloaded method's last definition is its general one. The docstrings are
# what an editor shows on hover: the module's own methods carry only their
# signatures.

from typing import Any, Literal, final, overload

__all__ = ["Moxal"]

# The package's version, as its metadata gives it ("0.2.0").
__version__: str

class PanicException(BaseException):
    """An internal failure: an operation met an input or a state it treats
    as impossible (an unknown operator, a value it cannot store, a file in
    an unknown form). It derives from BaseException, so `except Exception`
    does not catch it: name it, `except moxal.PanicException`."""

class ConcurrentWriteWarning(UserWarning):
    """Given by write and write_all just before they replace a collection
    file that somebody else (another process, or a person) wrote since this
    Moxal object last read or wrote it: what they wrote is lost once it is
    replaced. Nothing is replaced yet when it is given, so with a filter of
    "error" for it the write raises it and the file stays as it is."""

# find's sort: a field name, (field, direction) pairs or {field: direction},
# direction 1 (ascending) or -1 (descending).
_Sort = str | list[tuple[str, int]] | tuple[tuple[str, int], ...] | dict[str, int]

# A document as find and update return it: str keys; values are None, bool,
# int, float, str, and lists and dicts of those.
_Document = dict[str, Any]

@final
class Moxal:
    """A database directory opened in memory: every NAME.json file in it is
    the collection NAME (a JSON array of documents).

    Moxal(name) creates the directory (one level) when it is missing. Raises
    OSError "Not a directory (os error 20)" for a regular file, ValueError
    "Error deserializing JSON" for an unreadable collection file, OSError
    "Error opening document ..." for one that cannot be opened.

    journal="process" or "always" keeps every change in the directory's
    journal as it is made, so none is lost when the process is killed
    ("process": synced within about a second, so a power cut loses at most
    that) or even on a power cut ("always": synced before each call that
    changes something returns); write and write_all fold it into the
    collection files. "off" (the default) keeps changes in memory until
    write. A directory whose journal holds changes must be opened with one.
    """

    def __new__(
        cls, name: str, *, journal: Literal["off", "process", "always"] = "off"
    ) -> Moxal: ...
    def load_from_document(self, document_path: str) -> None:
        """Fills collections from a JSON file holding an object: each member
        is a collection name; an array value gives one document per element,
        any other value one document. Missing collections are created."""

    def create_collection(self, collection_name: str) -> None:
        """Creates an empty collection and its file (holding []), unless
        something already exists at the file's path: then does nothing."""

    def insert(self, collection_name: str, document: dict[str, Any]) -> None:
        """Appends one document in memory (write() stores it); creates the
        collection when it is missing."""

    def insert_many(self, collection_name: str, documents: list[Any]) -> None:
        """Appends each item of the list as one document, all or none;
        creates the collection when it is missing."""

    def insert_many_from_document(self, collection_name: str, document_name: str) -> None:
        """Appends the elements of the JSON array in the file at
        document_name. ValueError "Document is not an array" otherwise."""

    def find(
        self,
        collection_name: str,
        maybe_query: dict[str, Any] | None = None,
        *,
        sort: _Sort | None = None,
        limit: int = 0,
        skip: int = 0,
    ) -> list[_Document]:
        """Every document of the collection, or those the query matches, as
        new dicts. Loads the collection from its file when it is not in
        memory; ValueError "Collection with name '...' not found on disk"
        when there is none.

        sort orders them: a field name (dotted for a nested one) ascending,
        or (field, direction) pairs, direction 1 or -1, the first pair
        deciding first ({field: direction} works too). Documents without
        the field sort first ascending; kinds sort as None < numbers < str
        < dict < list < False < True; ties keep collection order. skip
        leaves out that many from the start, limit returns at most that
        many (0: all). Only the documents returned are built."""

    def count(self, collection_name: str, maybe_query: dict[str, Any] | None = None) -> int:
        """How many documents of the collection the query matches (every
        document without one), building none. Loads the collection and
        fails like find."""

    @overload
    def update(
        self,
        collection_name: str,
        update_query: dict[str, Any],
        maybe_query: dict[str, Any] | None = None,
        return_result: Literal[False] = False,
    ) -> None:
        """Changes every document (or those maybe_query matches) in memory,
        all or nothing. With return_result=True returns every document of
        the collection afterwards."""

    @overload
    def update(
        self,
        collection_name: str,
        update_query: dict[str, Any],
        maybe_query: dict[str, Any] | None,
        return_result: Literal[True],
    ) -> list[_Document]: ...
    @overload
    def update(
        self,
        collection_name: str,
        update_query: dict[str, Any],
        maybe_query: dict[str, Any] | None = None,
        *,
        return_result: Literal[True],
    ) -> list[_Document]: ...
    @overload
    def update(
        self,
        collection_name: str,
        update_query: dict[str, Any],
        maybe_query: dict[str, Any] | None = None,
        return_result: bool = False,
    ) -> list[_Document] | None: ...
    def delete(self, collection_name: str, query: dict[str, Any]) -> int:
        """Removes the documents the query matches ({} matches every one)
        from memory, all or nothing, and returns how many; write() stores
        the change. Loads the collection and fails like find."""

    def collections(self) -> list[str]:
        """The stem of every entry of the directory, in listing order
        (collections only in memory are not listed)."""

    def drop_collection(self, collection_name: str) -> None:
        """Removes the collection's file and the collection in memory."""

    def drop_all(self) -> None:
        """Drops every collection the directory's entries name, then removes
        the directory if it is empty."""

    def write(self, collection_name: str) -> None:
        """Replaces the collection's file atomically and durably with its
        documents. ValueError when the collection is not in memory. Gives a
        ConcurrentWriteWarning first when somebody else wrote the file since
        this object last read or wrote it. With a journal, folds it into the
        file (not rewritten when it already holds the collection), while
        other threads' calls go on."""

    def write_all(self) -> None:
        """Writes every collection in memory; raises the first failure after
        attempting all. Checks every file first, and gives a
        ConcurrentWriteWarning for each that somebody else wrote. With a
        journal, writes only the collections that changed since their files
        were written, then starts the journal afresh."""

    def clear_cache(self) -> None:
        """Empties the cache of find results."""
