"""A first look at moxal: open a database directory and see what is in it."""

import json
import os
import tempfile

import moxal

with tempfile.TemporaryDirectory() as root:
    path = os.path.join(root, "shop")

    # A directory that does not exist yet is created, empty.
    db = moxal.Moxal(path)
    print("collections of a new database:", db.collections())

    # Every file NAME.json holding a JSON array is a collection.
    with open(os.path.join(path, "users.json"), "w") as f:
        json.dump([{"name": "Ada", "age": 36}, {"name": "Linus", "age": 28}], f)

    db = moxal.Moxal(path)
    print("collections:", db.collections())
    print("users:", db.find("users"))
