"""Importing a JSON export into moxal and querying it.

The export is a concert hall's catalogue: one JSON object whose members are
tables, some arrays of records ("performances"), some objects keyed by id
("events", "venueNames", ...). It is a cut of the citm_catalog.json text
of the common JSON benchmarks (examples/data/ says where it comes from); a
path on the command line names another export, such as the full text.
Without either (the script copied on its own) it generates a small
catalogue of the same shape.

    python examples/import_catalog.py [EXPORT.json]

What it shows:
  - load_from_document turns every member of the export into a collection
    (an array gives one document per element, anything else one document);
  - reshaping an object keyed by id into a collection of documents with
    insert_many, and dropping the raw one;
  - write_all, then a new Moxal over the directory reading it all back;
  - queries on nested fields, a date range with both bounds in one query,
    and what moxal cannot do (search inside arrays), done in Python on the
    documents find returns;
  - an update with a filter, which prints its trace lines.
"""

import json
import os
import random
import sys
import tempfile
from datetime import datetime, timezone

import moxal

HERE = os.path.dirname(os.path.abspath(__file__))
CITM = os.path.join(HERE, "data", "citm_catalog.json")


def generated_export(path):
    """A small catalogue with the shape of citm_catalog.json."""
    rng = random.Random(7)
    names = ["Jazz at night", "Bach cantatas", "Film concert", "Piano recital", "Big band"]
    events = {}
    for i, name in enumerate(names):
        eid = 1000 + i
        events[str(eid)] = {"id": eid, "name": name, "description": None, "logo": None,
                            "subTopicIds": rng.sample([1, 2, 3, 4], 2), "topicIds": [10]}
    performances = []
    start = 1378000000000  # milliseconds since the epoch, as in the original
    for pid in range(40):
        eid = 1000 + rng.randrange(len(names))
        performances.append({
            "id": 5000 + pid, "eventId": eid, "name": None, "logo": None,
            "venueCode": "PLEYEL_PLEYEL", "seatMapImage": None,
            "start": start + pid * 86_400_000 * 3,
            "prices": [{"amount": rng.choice([10, 25, 40, 90]) * 1000, "seatCategoryId": c,
                        "audienceSubCategoryId": 1} for c in (1, 2)],
            "seatCategories": [{"seatCategoryId": 1, "areas": []}],
        })
    export = {"events": events, "performances": performances,
              "venueNames": {"PLEYEL_PLEYEL": "Salle Pleyel"},
              "subTopicNames": {"1": "Jazz", "2": "Baroque", "3": "Film", "4": "Piano"}}
    with open(path, "w", encoding="utf-8") as f:
        json.dump(export, f)
    return path


def day(ms):
    return datetime.fromtimestamp(ms / 1000, timezone.utc).strftime("%Y-%m-%d")


def main(argv):
    with tempfile.TemporaryDirectory() as root:
        if len(argv) > 1:
            export = argv[1]
        elif os.path.exists(CITM):
            export = CITM
        else:
            export = generated_export(os.path.join(root, "export.json"))
        print("importing", os.path.basename(export), f"({os.path.getsize(export):,} bytes)")

        path = os.path.join(root, "catalog")
        db = moxal.Moxal(path)
        db.load_from_document(export)
        for name in ("performances", "events", "venueNames"):
            print(f"  {name}: {len(db.find(name))} document(s)")

        # "events" arrived as one document mapping ids to events: make it a
        # collection of one document per event.
        [by_id] = db.find("events")
        db.insert_many("event", list(by_id.values()))
        db.drop_collection("events")
        db.write_all()

        # Everything is on disk: a new Moxal over the directory reads it back.
        db = moxal.Moxal(path)
        print("collections on disk:", len(db.collections()))
        events = {e["id"]: e for e in db.find("event")}
        print("events:", len(events))

        # Performances of the event with the most of them.
        counts = {}
        for p in db.find("performances"):
            counts[p["eventId"]] = counts.get(p["eventId"], 0) + 1
        busiest = max(counts, key=counts.get)
        shows = db.find("performances", {"eventId": busiest})
        print(f"busiest event: {events[busiest]['name']!r}, {len(shows)} performances,",
              "first on", day(min(p["start"] for p in shows)))

        # A date range: both operators hold.
        starts = sorted(p["start"] for p in db.find("performances"))
        low, high = starts[len(starts) // 4], starts[len(starts) // 2]
        window = db.find("performances", {"start": {"$gte": low, "$lt": high}})
        assert all(low <= p["start"] < high for p in window)
        print(f"performances from {day(low)} to before {day(high)}: {len(window)}")

        # Arrays are never searched by a query: prices are an array of
        # objects, so the cheapest seat is found in Python.
        cheapest = min(db.find("performances"),
                       key=lambda p: min((x["amount"] for x in p["prices"]), default=1 << 62))
        amount = min(x["amount"] for x in cheapest["prices"]) / 100
        print(f"cheapest seat: {amount:.2f} on {day(cheapest['start'])} for",
              repr(events[cheapest["eventId"]]["name"]))

        # Update: give the busiest event's performances a name. Set only
        # changes fields that exist; the performances have "name": null.
        sys.stdout.flush()  # the trace lines go straight to file descriptor 1
        renamed = db.update("performances", {"name": events[busiest]["name"]},
                            {"eventId": busiest}, return_result=True)
        named = [p for p in renamed if p["name"] is not None]
        print(f"named {len(named)} performances; all of them are shows of the busiest event:",
              all(p["eventId"] == busiest for p in named))
        db.write("performances")
        assert len(moxal.Moxal(path).find("performances", {"eventId": busiest})) == len(shows)


if __name__ == "__main__":
    main(sys.argv)
