"""Deterministic generator of realistic user documents for the benchmarks.

    python bench/generate.py OUT_DIR [--count N] [--seed S]

writes OUT_DIR/users.json, a compact JSON array of N documents (100,000 by
default, about 21.6 MB), the same bytes on every run for the same N and seed.
Each document looks like

    {"_id": "65a1f0c2e4b0d3a9c8f71234", "name": "Alice Moreau",
     "email": "alice.moreau42@example.com", "age": 34, "score": 71.25,
     "active": true, "tags": ["python", "ops"],
     "address": {"city": "Lyon", "zip": "69003"},
     "created": "2023-04-12"}
"""

from __future__ import annotations

import argparse
import json
import os
import random

FIRST = ["Alice", "Bruno", "Chloe", "David", "Emma", "Farid", "Giulia", "Hugo",
         "Ines", "Jonas", "Karim", "Laura", "Mehdi", "Nora", "Oscar", "Paula",
         "Quentin", "Rosa", "Sami", "Tara", "Ugo", "Vera", "Wassim", "Yara",
         "Zoe", "Anna", "Louis", "Marta", "Noah", "Olga"]
LAST = ["Moreau", "Rossi", "Schmidt", "Dubois", "Garcia", "Novak", "Silva",
        "Jensen", "Kowalski", "Bernard", "Ricci", "Meyer", "Lefebvre", "Costa",
        "Horvat", "Nielsen", "Fischer", "Martin", "Lopez", "Weber"]
CITIES = [("Paris", "75"), ("Lyon", "69"), ("Marseille", "13"), ("Lille", "59"),
          ("Nantes", "44"), ("Bordeaux", "33"), ("Toulouse", "31"), ("Nice", "06"),
          ("Berlin", "10"), ("Madrid", "28"), ("Rome", "00"), ("Vienna", "10"),
          ("Prague", "11"), ("Oslo", "01"), ("Lisbon", "11"), ("Dublin", "01"),
          ("Zurich", "80"), ("Geneva", "12"), ("Brussels", "10"), ("Porto", "40"),
          ("Seville", "41"), ("Turin", "10"), ("Munich", "80"), ("Hamburg", "20"),
          ("Krakow", "30"), ("Gdansk", "80"), ("Ghent", "90"), ("Lausanne", "10"),
          ("Bologna", "40"), ("Valencia", "46"), ("Naples", "80"), ("Milan", "20"),
          ("Cologne", "50"), ("Dresden", "01"), ("Leipzig", "04"), ("Bergen", "50"),
          ("Aarhus", "80"), ("Malmo", "21"), ("Tartu", "50"), ("Riga", "10"),
          ("Vilnius", "01"), ("Bilbao", "48"), ("Granada", "18"), ("Verona", "37"),
          ("Genoa", "16"), ("Basel", "40"), ("Bern", "30"), ("Graz", "80"),
          ("Linz", "40"), ("Brno", "60"), ("Kosice", "04"), ("Split", "21"),
          ("Zagreb", "10"), ("Ljubljana", "10"), ("Sofia", "10"), ("Varna", "90"),
          ("Athens", "10"), ("Patras", "26"), ("Cork", "12"), ("Galway", "91"),
          ("Bristol", "85"), ("Leeds", "15"), ("York", "10"), ("Bath", "12"),
          ("Exeter", "20"), ("Cardiff", "10"), ("Dundee", "20"), ("Perth", "60"),
          ("Tromso", "90"), ("Turku", "20"), ("Tampere", "33"), ("Espoo", "02"),
          ("Utrecht", "35"), ("Leiden", "23"), ("Delft", "26"), ("Breda", "48"),
          ("Antwerp", "20"), ("Namur", "50"), ("Liege", "40"), ("Metz", "57"),
          ("Nancy", "54"), ("Reims", "51"), ("Rouen", "76"), ("Caen", "14"),
          ("Brest", "29"), ("Rennes", "35"), ("Tours", "37"), ("Dijon", "21"),
          ("Grenoble", "38"), ("Annecy", "74"), ("Avignon", "84"), ("Nimes", "30"),
          ("Pau", "64"), ("Bayonne", "64"), ("Limoges", "87"), ("Poitiers", "86"),
          ("Angers", "49"), ("Amiens", "80"), ("Calais", "62"), ("Ajaccio", "20")]
TAGS = ["python", "rust", "ops", "data", "web", "mobile", "ml", "security",
        "cloud", "db", "frontend", "backend", "design", "qa", "devrel"]
DOMAINS = ["example.com", "example.org", "example.net"]


def documents(count: int = 100_000, seed: int = 42) -> list[dict]:
    """The `count` documents for `seed`, as Python dicts."""
    rng = random.Random(seed)
    docs = []
    for i in range(count):
        first = rng.choice(FIRST)
        last = rng.choice(LAST)
        city, dept = rng.choice(CITIES)
        docs.append({
            "_id": "%08x%016x" % (0x65A00000 + i, rng.getrandbits(64)),
            "name": f"{first} {last}",
            "email": f"{first.lower()}.{last.lower()}{rng.randrange(100)}@{rng.choice(DOMAINS)}",
            "age": rng.randrange(18, 90),
            "score": round(rng.uniform(0, 100), 2),
            "active": rng.random() < 0.7,
            "tags": rng.sample(TAGS, rng.randrange(0, 4)),
            "address": {"city": city, "zip": f"{dept}{rng.randrange(1000):03d}"},
            "created": "20%02d-%02d-%02d" % (
                rng.randrange(15, 25), rng.randrange(1, 13), rng.randrange(1, 29)),
        })
    return docs


def compact(docs: list[dict]) -> bytes:
    """The compact JSON array text of `docs` (keys as given, not sorted)."""
    return json.dumps(docs, separators=(",", ":"), ensure_ascii=False).encode()


def write_collection(directory: str, docs: list[dict], name: str = "users") -> str:
    os.makedirs(directory, exist_ok=True)
    path = os.path.join(directory, name + ".json")
    with open(path, "wb") as f:
        f.write(compact(docs))
    return path


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("out_dir")
    ap.add_argument("--count", type=int, default=100_000)
    ap.add_argument("--seed", type=int, default=42)
    args = ap.parse_args()
    path = write_collection(args.out_dir, documents(args.count, args.seed))
    print(f"{path}: {os.path.getsize(path):,} bytes")


if __name__ == "__main__":
    main()
