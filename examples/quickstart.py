"""A tour of moxal: every method of a Moxal object, in the order a program
would meet them."""

import json
import os
import tempfile

import moxal

with tempfile.TemporaryDirectory() as root:
    path = os.path.join(root, "shop")

    # Opening a directory that does not exist yet creates it, empty.
    db = moxal.Moxal(path)
    print("new database:", db.collections())

    # Collections are made explicitly, or by the first insert into them.
    db.create_collection("users")
    db.insert("users", {"name": "Ada", "age": 36, "address": {"city": "London"}})
    db.insert_many("users", [
        {"name": "Linus", "age": 28, "address": {"city": "Helsinki"}},
        {"name": "Grace", "age": 45, "address": {"city": "New York"}, "tags": ["navy"]},
    ])

    # find: everything, or what a query selects.
    print("all users:", [u["name"] for u in db.find("users")])
    print("over 30:", [u["name"] for u in db.find("users", {"age": {"$gt": 30}})])
    # (flush: the trace lines of update go straight to the file descriptor,
    # past Python's own buffer.)
    print("in Helsinki:", db.find("users", {"address.city": "Helsinki"}), flush=True)

    # update: change in place; arithmetic results are floats. The update
    # prints two trace lines per clause on standard output.
    everyone = db.update("users", {"age": {"$inc": 1}}, {"name": "Ada"}, return_result=True)
    print("after the birthday:", [(u["name"], u["age"]) for u in everyone], flush=True)
    db.update("users", {"tags": {"$delete": None}})

    # count builds no document; delete removes what a query matches (every
    # document for {}) and says how many.
    print("under 40:", db.count("users", {"age": {"$lt": 40}}))
    db.insert("users", {"name": "Temp", "age": 0, "address": None})
    print("deleted:", db.delete("users", {"name": "Temp"}))

    # Nothing is on disk until written; write replaces the file atomically.
    db.write("users")
    with open(os.path.join(path, "users.json")) as f:
        print("users.json holds", len(json.load(f)), "documents")

    # Documents can also come from JSON files.
    orders = os.path.join(root, "orders.json")
    with open(orders, "w") as f:
        json.dump([{"id": 1, "total": 9.5}, {"id": 2, "total": 20}], f)
    db.insert_many_from_document("orders", orders)
    export = os.path.join(root, "export.json")
    with open(export, "w") as f:
        json.dump({"products": [{"sku": "A1"}, {"sku": "B2"}], "settings": {"currency": "EUR"}}, f)
    db.load_from_document(export)
    db.write_all()
    print("collections on disk:", sorted(db.collections()))

    # A new Moxal over the same directory reads everything back.
    again = moxal.Moxal(path)
    print("reopened orders:", again.find("orders", {"total": {"$gte": 10}}))

    # Query results are cached; clear_cache empties the cache.
    again.clear_cache()

    # Dropping removes collections from memory and their files from disk.
    again.drop_collection("settings")
    print("after dropping settings:", sorted(again.collections()))
    again.drop_all()
    print("directory still there after drop_all:", os.path.exists(path))
