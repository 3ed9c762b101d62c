"""Chunk frames: long messages cut into pieces, and put back together.

A serialized message longer than ``CHUNK_SIZE`` characters travels as a run
of "chunk" messages, each carrying one piece of the JSON text. The kernel
sends its long messages that way and reassembles ours the same way.
"""

import json
import logging
import uuid

CHUNK_SIZE = 65536
CHUNK_TYPE = "chunk"

# What an unfinished message may hold on to: pieces that never complete
# must not grow the stand-in without bound. A function's result of 100,000
# rows by 10 columns is about 60 MiB of wire values, and arrives twice.
MAX_BUFFERED_CHARS = 256 * 1024 * 1024
MAX_INCOMPLETE_MESSAGES = 256

log = logging.getLogger("tarvex_master.standin.chunking")


def split_message(text, message_type="unknown", request_id="N/A", chunk_size=CHUNK_SIZE):
    """The chunk messages for one serialized message, or None when it fits in one frame."""
    if len(text) <= chunk_size:
        return None
    chunk_id = str(uuid.uuid4())
    total = (len(text) + chunk_size - 1) // chunk_size
    if not isinstance(request_id, str):
        request_id = "N/A"
    return [
        {
            "type": CHUNK_TYPE,
            "chunk_id": chunk_id,
            "chunk_index": index,
            "total_chunks": total,
            "data": text[index * chunk_size:(index + 1) * chunk_size],
            "original_type": message_type if isinstance(message_type, str) else "unknown",
            "request_id": request_id,
        }
        for index in range(total)
    ]


def frames_for(message, chunk_size=CHUNK_SIZE):
    """The text frames that carry ``message``: itself, or its chunks."""
    text = json.dumps(message)
    chunks = split_message(text, message.get("type", "unknown"), message.get("request_id", "N/A"), chunk_size)
    if chunks is None:
        return [text]
    return [json.dumps(chunk) for chunk in chunks]


class ChunkError(ValueError):
    """A chunk message that cannot be used; the text says why."""


class ChunkAssembler:
    """Collects the pieces of chunked messages until each is complete.

    Pieces may arrive in any order and interleaved with other messages.
    Buffers of messages that never complete are dropped, oldest first, once
    there are too many of them or they hold too much text.
    """

    def __init__(self, max_chars=MAX_BUFFERED_CHARS, max_messages=MAX_INCOMPLETE_MESSAGES):
        self.max_chars = max_chars
        self.max_messages = max_messages
        self._buffers = {}  # chunk id -> {"pieces", "total", "chars"}; insertion order is age
        self._chars = 0

    @property
    def pending(self):
        return len(self._buffers)

    @property
    def buffered_chars(self):
        return self._chars

    def add(self, chunk):
        """Stores one piece; returns the whole message when this piece completes it.

        Raises ChunkError for a piece that cannot be stored or a message
        that does not rebuild into a JSON object.
        """
        chunk_id = chunk.get("chunk_id")
        index = chunk.get("chunk_index")
        total = chunk.get("total_chunks")
        data = chunk.get("data")
        if not isinstance(chunk_id, str) or not chunk_id:
            raise ChunkError("chunk without a chunk_id")
        if type(index) is not int or type(total) is not int:
            raise ChunkError("chunk_index and total_chunks must be integers")
        if total < 1 or not 0 <= index < total:
            raise ChunkError(f"chunk_index {index} out of range for total_chunks {total}")
        if not isinstance(data, str):
            raise ChunkError("chunk data must be text")

        buffer = self._buffers.get(chunk_id)
        if buffer is None:
            # Pieces are kept by index in a dict: a forged total_chunks costs nothing.
            buffer = {"pieces": {}, "total": total, "chars": 0}
            self._buffers[chunk_id] = buffer
        elif buffer["total"] != total:
            raise ChunkError(f"chunk {chunk_id} changed total_chunks from {buffer['total']} to {total}")
        if index not in buffer["pieces"]:  # a repeated piece keeps the first copy
            buffer["pieces"][index] = data
            buffer["chars"] += len(data)
            self._chars += len(data)

        if len(buffer["pieces"]) < total:
            self._enforce_bounds(keep=chunk_id)
            return None
        self._drop(chunk_id)
        try:
            message = json.loads("".join(buffer["pieces"][i] for i in range(total)))
        except json.JSONDecodeError as e:
            raise ChunkError(f"reassembled message is not valid JSON: {e}") from None
        if not isinstance(message, dict):
            raise ChunkError("reassembled message is not a JSON object")
        if message.get("type") == CHUNK_TYPE:
            raise ChunkError("chunk messages do not nest")
        return message

    def _drop(self, chunk_id):
        buffer = self._buffers.pop(chunk_id, None)
        if buffer is not None:
            self._chars -= buffer["chars"]

    def _enforce_bounds(self, keep):
        """Drops the oldest other buffers while over a bound; then the one being filled, if still too big."""
        while len(self._buffers) > self.max_messages or self._chars > self.max_chars:
            victim = next((cid for cid in self._buffers if cid != keep), None)
            if victim is None:
                log.warning("Dropped chunked message %s: more than %d characters", keep, self.max_chars)
                self._drop(keep)
                return
            buffer = self._buffers[victim]
            log.warning(
                "Dropped incomplete chunked message %s (%d of %d pieces) to bound memory",
                victim, len(buffer["pieces"]), buffer["total"],
            )
            self._drop(victim)
