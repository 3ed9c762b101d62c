import itertools
import json

import pytest

from tarvex_master.standin.chunking import CHUNK_SIZE, ChunkAssembler, ChunkError, frames_for, split_message


def message_of_length(length):
    """A JSON object whose text is exactly ``length`` characters."""
    skeleton = json.dumps({"type": "x", "data": ""})
    return {"type": "x", "data": "a" * (length - len(skeleton))}


@pytest.mark.parametrize("length, pieces", [(CHUNK_SIZE, 1), (CHUNK_SIZE + 1, 2), (3 * CHUNK_SIZE, 3)])
def test_long_messages_are_cut_into_chunk_size_pieces(length, pieces):
    message = message_of_length(length)
    frames = frames_for(message)
    assert len(frames) == pieces
    if pieces == 1:
        assert json.loads(frames[0]) == message
        return
    chunks = [json.loads(frame) for frame in frames]
    assert [c["chunk_index"] for c in chunks] == list(range(pieces))
    assert {c["total_chunks"] for c in chunks} == {pieces}
    assert len({c["chunk_id"] for c in chunks}) == 1
    assert all(c["type"] == "chunk" and c["original_type"] == "x" and c["request_id"] == "N/A" for c in chunks)
    assert [len(c["data"]) for c in chunks][:-1] == [CHUNK_SIZE] * (pieces - 1)
    assert json.loads("".join(c["data"] for c in chunks)) == message


def test_a_request_id_that_is_not_text_gives_the_header_na():
    chunks = split_message("x" * (CHUNK_SIZE + 1), "execution_request", None)
    assert {c["request_id"] for c in chunks} == {"N/A"}


@pytest.mark.parametrize("order", list(itertools.permutations(range(3))))
def test_pieces_in_any_order_rebuild_the_message_once(order):
    message = message_of_length(2 * CHUNK_SIZE + 10)
    chunks = [json.loads(frame) for frame in frames_for(message)]
    assembler = ChunkAssembler()
    results = [assembler.add(chunks[i]) for i in order]
    assert results[:-1] == [None, None]
    assert results[-1] == message
    assert assembler.pending == 0 and assembler.buffered_chars == 0


def test_a_repeated_piece_keeps_the_first_copy():
    assembler = ChunkAssembler()
    base = {"type": "chunk", "chunk_id": "c", "total_chunks": 2}
    assert assembler.add({**base, "chunk_index": 0, "data": '{"type": '}) is None
    assert assembler.add({**base, "chunk_index": 0, "data": "garbage"}) is None
    assert assembler.add({**base, "chunk_index": 1, "data": '"ok"}'}) == {"type": "ok"}


@pytest.mark.parametrize("fields, error", [
    ({"chunk_id": None}, "chunk without a chunk_id"),
    ({"chunk_index": "1"}, "must be integers"),
    ({"total_chunks": True}, "must be integers"),
    ({"chunk_index": 2}, "chunk_index 2 out of range for total_chunks 2"),
    ({"chunk_index": -1}, "out of range"),
    ({"total_chunks": 0, "chunk_index": 0}, "out of range"),
    ({"data": None}, "chunk data must be text"),
])
def test_unusable_pieces_are_refused_and_nothing_is_kept(fields, error):
    assembler = ChunkAssembler()
    chunk = {"type": "chunk", "chunk_id": "c", "chunk_index": 0, "total_chunks": 2, "data": "{}", **fields}
    with pytest.raises(ChunkError, match=error):
        assembler.add(chunk)
    assert assembler.pending == 0


@pytest.mark.parametrize("text, error", [
    ('{"type": "chunk", "chunk_id": "x"}', "do not nest"),
    ("[1, 2]", "not a JSON object"),
    ('{"type": ', "not valid JSON"),
])
def test_rebuilt_messages_must_be_plain_json_objects(text, error):
    assembler = ChunkAssembler()
    with pytest.raises(ChunkError, match=error):
        assembler.add({"chunk_id": "c", "chunk_index": 0, "total_chunks": 1, "data": text})
    assert assembler.pending == 0


def test_a_piece_disagreeing_on_the_total_is_refused():
    assembler = ChunkAssembler()
    assembler.add({"chunk_id": "c", "chunk_index": 0, "total_chunks": 3, "data": "a"})
    with pytest.raises(ChunkError, match="changed total_chunks from 3 to 5"):
        assembler.add({"chunk_id": "c", "chunk_index": 4, "total_chunks": 5, "data": "b"})


def test_incomplete_messages_are_dropped_oldest_first_beyond_the_count_bound():
    assembler = ChunkAssembler(max_messages=3)
    for n in range(5):
        assembler.add({"chunk_id": f"c{n}", "chunk_index": 0, "total_chunks": 2, "data": '{"n": '})
    assert assembler.pending == 3
    # the newest survive and still complete
    assert assembler.add({"chunk_id": "c4", "chunk_index": 1, "total_chunks": 2, "data": "4}"}) == {"n": 4}
    # c0 was dropped: its second half starts over and waits for a first half that came long ago
    assert assembler.add({"chunk_id": "c0", "chunk_index": 1, "total_chunks": 2, "data": "0}"}) is None


def test_buffered_text_stays_within_the_character_bound():
    assembler = ChunkAssembler(max_chars=100)
    for n in range(10):
        assembler.add({"chunk_id": f"c{n}", "chunk_index": 0, "total_chunks": 2, "data": "x" * 40})
        assert assembler.buffered_chars <= 100
    assembler.add({"chunk_id": "big", "chunk_index": 0, "total_chunks": 2, "data": "x" * 500})
    assert assembler.buffered_chars == 0 and assembler.pending == 0


def test_a_forged_huge_total_costs_nothing():
    assembler = ChunkAssembler()
    assembler.add({"chunk_id": "c", "chunk_index": 5, "total_chunks": 10**12, "data": "x"})
    assert assembler.pending == 1 and assembler.buffered_chars == 1
