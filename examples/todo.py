"""A small command-line to-do list stored with moxal.

    python examples/todo.py [--db DIR] add TEXT... [--tag TAG]
    python examples/todo.py [--db DIR] list [--all] [--tag TAG]
    python examples/todo.py [--db DIR] done ID
    python examples/todo.py [--db DIR] remove ID
    python examples/todo.py demo        (also what it does with no command)

The list lives in the collection "todos" of the database directory DIR
(default: ./todo-db), one document per to-do:

    {"id": 1, "text": "buy milk", "tags": ["home"], "done": false,
     "done_at": null, "removed": false, "created": "2026-01-31 09:15"}

Things worth noticing, since they follow from how moxal works:
  - every field a to-do will ever have is there from the start (done_at is
    null until the to-do is done): an update only changes fields that exist;
  - `remove` marks the to-do removed, and list leaves removed ones out,
    rather than deleting it (db.delete would): new ids are one more than the
    largest stored, so a deleted last to-do's id would be given again;
  - a query cannot look inside an array, so --tag filters in Python;
  - each command writes the collection back (write is atomic: after a crash
    the file holds the old list or the new one);
  - update prints two trace lines per clause on file descriptor 1; a
    command-line tool with no threads keeps them out of its output by
    swapping the descriptor around the call (quiet_stdout below; a program
    with threads points it elsewhere once, see quiet_trace_lines.py).
"""

import argparse
import contextlib
import os
import sys
import tempfile
from datetime import datetime

import moxal

COLLECTION = "todos"


@contextlib.contextmanager
def quiet_stdout():
    """Sends file descriptor 1 to /dev/null for the duration: the trace lines
    of update are written there directly, past sys.stdout."""
    sys.stdout.flush()
    saved = os.dup(1)
    try:
        with open(os.devnull, "w") as null:
            os.dup2(null.fileno(), 1)
        yield
    finally:
        os.dup2(saved, 1)
        os.close(saved)


def open_store(path):
    db = moxal.Moxal(path)
    if COLLECTION not in db.collections():
        db.create_collection(COLLECTION)
    return db


def now():
    return datetime.now().strftime("%Y-%m-%d %H:%M")


def cmd_add(db, args):
    everything = db.find(COLLECTION)  # removed ones too: ids are never reused
    new_id = max((t["id"] for t in everything), default=0) + 1
    db.insert(COLLECTION, {"id": new_id, "text": " ".join(args.text), "tags": args.tag,
                           "done": False, "done_at": None, "removed": False,
                           "created": now()})
    db.write(COLLECTION)
    print(f"added #{new_id}: {' '.join(args.text)}")
    return 0


def cmd_list(db, args):
    query = {"removed": False} if args.all else {"removed": False, "done": False}
    todos = db.find(COLLECTION, query)
    if args.tag:
        todos = [t for t in todos if args.tag in t["tags"]]
    if not todos:
        print("nothing to do")
    for t in sorted(todos, key=lambda t: t["id"]):
        tags = f"  ({', '.join(t['tags'])})" if t["tags"] else ""
        print(f"#{t['id']} [{'x' if t['done'] else ' '}] {t['text']}{tags}")
    return 0


def change(db, todo_id, fields, what):
    """Sets `fields` on the to-do `todo_id` unless it is removed; 1 when
    there is no such to-do."""
    if not db.find(COLLECTION, {"id": todo_id, "removed": False}):
        print(f"no to-do #{todo_id}", file=sys.stderr)
        return 1
    with quiet_stdout():
        db.update(COLLECTION, fields, {"id": todo_id})
    db.write(COLLECTION)
    print(f"{what} #{todo_id}")
    return 0


def cmd_done(db, args):
    return change(db, args.id, {"done": True, "done_at": now()}, "done")


def cmd_remove(db, args):
    return change(db, args.id, {"removed": True}, "removed")


def cmd_demo(_db, _args):
    """A short session in a temporary directory, each command shown first."""
    with tempfile.TemporaryDirectory() as root:
        store = os.path.join(root, "todo-db")
        session = [
            ["add", "buy", "milk", "--tag", "home"],
            ["add", "write the report", "--tag", "work"],
            ["add", "call the plumber", "--tag", "home"],
            ["done", "1"],
            ["remove", "3"],
            ["list"],
            ["list", "--all"],
            ["list", "--tag", "home", "--all"],
        ]
        for argv in session:
            print("$ todo.py", " ".join(a if " " not in a else repr(a) for a in argv))
            if main(["--db", store] + argv) != 0:
                return 1
        print("stored:", os.listdir(store))
    return 0


def parse_args(argv):
    ap = argparse.ArgumentParser(description="A to-do list stored with moxal.")
    ap.add_argument("--db", default="todo-db", help="database directory (default: ./todo-db)")
    sub = ap.add_subparsers(dest="command")
    add = sub.add_parser("add", help="add a to-do")
    add.add_argument("text", nargs="+")
    add.add_argument("--tag", action="append", default=[], help="a tag (repeatable)")
    lst = sub.add_parser("list", help="list open to-dos")
    lst.add_argument("--all", action="store_true", help="done ones too")
    lst.add_argument("--tag", help="only those with this tag")
    for name, help_text in (("done", "mark a to-do done"), ("remove", "remove a to-do")):
        sub.add_parser(name, help=help_text).add_argument("id", type=int)
    sub.add_parser("demo", help="run a short session in a temporary directory")
    return ap.parse_args(argv)


COMMANDS = {"add": cmd_add, "list": cmd_list, "done": cmd_done, "remove": cmd_remove}


def main(argv):
    args = parse_args(argv)
    if args.command in (None, "demo"):
        return cmd_demo(None, args)
    return COMMANDS[args.command](open_store(args.db), args)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
