"""Cuts the sample texts of examples/data/ out of the common JSON benchmark
texts twitter.json and citm_catalog.json (nativejson-benchmark, MIT).

    python tools/cut_samples.py DIRECTORY-HOLDING-THE-FULL-TEXTS

The cut keeps the original bytes of every value it keeps (its escapes,
spacing and number spellings are what a reader must handle) and drops whole
elements of the large tables: twitter.json keeps its first statuses plus
the first one with each kind of escape the rest has; citm_catalog.json keeps
its first performances and the events they name, and every small table.
"""

import json
import os
import re
import sys

OUT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "examples", "data")
SPACE = re.compile(r"[ \t\r\n]*")
DECODER = json.JSONDecoder()


def items(text, at):
    """The spans of the elements of the array, or of the `"key": value`
    members of the object, whose bracket is at text[at]; and where the
    closing bracket is."""
    spans, i = [], SPACE.match(text, at + 1).end()
    while text[i] not in "]}":
        start = i
        if text[at] == "{":
            _, i = DECODER.raw_decode(text, i)
            i = SPACE.match(text, SPACE.match(text, i).end() + 1).end()  # past the colon
        _, end = DECODER.raw_decode(text, i)
        spans.append((start, end))
        i = SPACE.match(text, end).end()
        i = SPACE.match(text, i + 1).end() if text[i] == "," else i
    return spans, i


def member(text, key):
    """The span of the top-level member `key`'s value."""
    for start, end in items(text, SPACE.match(text).end())[0]:
        name, i = DECODER.raw_decode(text, start)
        if name == key:
            return SPACE.match(text, SPACE.match(text, i).end() + 1).end(), end
    raise KeyError(key)


def keep(text, at, wanted):
    """text with only the items of the table at text[at] that `wanted`
    accepts (given the item's text), joined as the first two were."""
    spans, _ = items(text, at)
    kept = [text[s:e] for s, e in spans if wanted(text[s:e])]
    sep = text[spans[0][1]:spans[1][0]]
    return text[:spans[0][0]] + sep.join(kept) + text[spans[-1][1]:]


def cut_twitter(text, first=16):
    statuses, _ = items(text, member(text, "statuses")[0])
    chosen, seen = set(range(first)), set()
    for i, (s, e) in enumerate(statuses):
        kinds = set(re.findall(r"\\(.)", text[s:e]))
        if i < first or kinds - seen:
            chosen.add(i)
            seen |= kinds
    pieces = {text[s:e] for i, (s, e) in enumerate(statuses) if i in chosen}
    return keep(text, member(text, "statuses")[0], lambda item: item in pieces)


def cut_citm(text, performances=20):
    at = member(text, "performances")[0]
    kept = [text[s:e] for s, e in items(text, at)[0][:performances]]
    text = keep(text, at, lambda item: item in kept)
    events = {json.loads(p)["eventId"] for p in kept}
    return keep(text, member(text, "events")[0],
                lambda item: json.loads("{%s}" % item).popitem()[1]["id"] in events)


def main(source):
    for name, cut in (("twitter.json", cut_twitter), ("citm_catalog.json", cut_citm)):
        with open(os.path.join(source, name), encoding="utf-8") as f:
            text = f.read()
        sample = cut(text)
        json.loads(sample)  # still one well-formed text
        with open(os.path.join(OUT, name), "w", encoding="utf-8", newline="") as f:
            f.write(sample)
        print(f"{name}: {len(text.encode()):,} -> {len(sample.encode()):,} bytes")


if __name__ == "__main__":
    main(sys.argv[1])
