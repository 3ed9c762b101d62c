"""Big values on the wire: Serializer.to_wire_json and from_wire of a range.

Each figure is measured side by side in this one run:

- Serializer.to_wire_json of a 100,000 x 10 DataFrame (4 float, 3 int,
  3 str columns) against orjson.dumps(df.values.tolist()), the cost of
  merely emitting the raw rows, and against the path through wire dicts,
  orjson.dumps(Serializer.to_wire(df));
- the same for a list of 1,000,000 floats, against orjson.dumps(list);
- Serializer.from_wire of the wire value of a 100,000 x 10 range read
  (an Array of Arrays of Int, Float and String values, as json.loads gives
  it) against pickle.loads of the same rows as plain lists, the bare
  allocation of that many objects.

Run: tools/devroot python3 bench/bench_wire_json.py
"""

import pathlib
import pickle
import sys

import numpy as np
import orjson

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent))
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))

from bench_vantrel import ROWS, best_of, mixed_frame  # noqa: E402
from tarvex_master.python_server.tarvex.vantrel import Serializer  # noqa: E402

FLOATS = 1_000_000


def to_text(label, value, raw):
    ours = best_of(lambda: Serializer.to_wire_json(value))
    floor = best_of(lambda: orjson.dumps(raw()))
    today = best_of(lambda: orjson.dumps(Serializer.to_wire(value)), 2)
    size = len(Serializer.to_wire_json(value))
    print(label)
    print(f"  to_wire_json {ours * 1e3:7.1f} ms ({size / 1e6:.1f} MB)   "
          f"orjson.dumps of the raw data {floor * 1e3:7.1f} ms   ours takes {ours / floor:4.2f}x the floor")
    print(f"  orjson.dumps(to_wire(value)) {today * 1e3:7.1f} ms   to_wire_json is {today / ours:4.1f}x faster")


def range_read():
    frame = mixed_frame()
    rows = frame.values.tolist()
    wire = orjson.loads(Serializer.to_wire_json(rows))
    pickled = pickle.dumps(rows, protocol=pickle.HIGHEST_PROTOCOL)
    ours = best_of(lambda: Serializer.from_wire(wire))
    allocation = best_of(lambda: pickle.loads(pickled))
    print(f"from_wire of a {ROWS:,} x 10 range read (Int, Float and String cells)")
    print(f"  from_wire {ours * 1e3:7.1f} ms   pickle.loads of the same rows {allocation * 1e3:7.1f} ms   "
          f"ours takes {ours / allocation:4.2f}x the bare allocation")


def main():
    frame = mixed_frame()
    to_text(f"DataFrame {ROWS:,} x 10 (4 float, 3 int, 3 str columns)", frame, lambda: frame.values.tolist())
    floats = np.random.default_rng(3).random(FLOATS).tolist()
    to_text(f"list of {FLOATS:,} floats", floats, lambda: floats)
    range_read()


if __name__ == "__main__":
    main()
