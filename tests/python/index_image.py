"""Index file images for tests: parse one, change fields, write it back with a
fresh BLAKE3 trailer. The BLAKE3 here is a plain reference implementation
(single-threaded, unkeyed hash mode), enough for images and small inputs."""

import struct

from shared import INDEX_MAGIC as MAGIC
HEADER = struct.Struct("<8sIQ32sQQQ")  # magic, version, source_bytes, source_hash, decoded_bytes, S, B
STREAM = struct.Struct("<QBQQQQQI")  # header_byte, level, first_block, block_count, decoded_start, decoded_bytes, eos_bit, crc
BLOCK = struct.Struct("<QQQQIQ")  # start_bit, end_bit, decoded_start, decoded_bytes, crc, stream
TRAILER = 32

STREAM_FIELDS = ("header_byte", "block_size_100k", "first_block", "block_count", "decoded_start",
                 "decoded_bytes", "eos_bit", "expected_crc")
BLOCK_FIELDS = ("compressed_start_bit", "compressed_end_bit", "decoded_start", "decoded_bytes",
                "expected_crc", "stream")

# --- BLAKE3 -----------------------------------------------------------------

_IV = (0x6A09E667, 0xBB67AE85, 0x3C6EF372, 0xA54FF53A, 0x510E527F, 0x9B05688C, 0x1F83D9AB, 0x5BE0CD19)
_PERMUTATION = (2, 6, 3, 10, 7, 0, 4, 13, 1, 11, 12, 5, 9, 14, 15, 8)
_CHUNK_START, _CHUNK_END, _PARENT, _ROOT = 1, 2, 4, 8
_MASK = 0xFFFFFFFF
_CHUNK = 1024
_BLOCK = 64


def _rotr(x, n):
    return ((x >> n) | (x << (32 - n))) & _MASK


def _g(s, a, b, c, d, x, y):
    s[a] = (s[a] + s[b] + x) & _MASK
    s[d] = _rotr(s[d] ^ s[a], 16)
    s[c] = (s[c] + s[d]) & _MASK
    s[b] = _rotr(s[b] ^ s[c], 12)
    s[a] = (s[a] + s[b] + y) & _MASK
    s[d] = _rotr(s[d] ^ s[a], 8)
    s[c] = (s[c] + s[d]) & _MASK
    s[b] = _rotr(s[b] ^ s[c], 7)


def _compress(cv, words, counter, length, flags):
    s = list(cv) + list(_IV[:4]) + [counter & _MASK, counter >> 32, length, flags]
    m = list(words)
    for r in range(7):
        _g(s, 0, 4, 8, 12, m[0], m[1])
        _g(s, 1, 5, 9, 13, m[2], m[3])
        _g(s, 2, 6, 10, 14, m[4], m[5])
        _g(s, 3, 7, 11, 15, m[6], m[7])
        _g(s, 0, 5, 10, 15, m[8], m[9])
        _g(s, 1, 6, 11, 12, m[10], m[11])
        _g(s, 2, 7, 8, 13, m[12], m[13])
        _g(s, 3, 4, 9, 14, m[14], m[15])
        if r < 6:
            m = [m[i] for i in _PERMUTATION]
    return [s[i] ^ s[i + 8] for i in range(8)]


def _words(block):
    return struct.unpack("<16I", block.ljust(_BLOCK, b"\0"))


def _chunk_node(data, counter):
    """The last compression of a chunk, not yet run: (cv, words, counter, length, flags)."""
    blocks = [data[i:i + _BLOCK] for i in range(0, len(data), _BLOCK)] or [b""]
    cv = _IV
    for j, block in enumerate(blocks):
        flags = (_CHUNK_START if j == 0 else 0) | (_CHUNK_END if j == len(blocks) - 1 else 0)
        if j == len(blocks) - 1:
            return (cv, _words(block), counter, len(block), flags)
        cv = _compress(cv, _words(block), counter, len(block), flags)
    raise AssertionError("unreachable")


def _node(data, counter):
    if len(data) <= _CHUNK:
        return _chunk_node(data, counter)
    chunks = (len(data) + _CHUNK - 1) // _CHUNK
    left = 1 << ((chunks - 1).bit_length() - 1)  # largest power of two below the chunk count
    split = left * _CHUNK
    left_cv = _compress(*_node(data[:split], counter))
    right_cv = _compress(*_node(data[split:], counter + left))
    return (_IV, tuple(left_cv + right_cv), 0, _BLOCK, _PARENT)


def blake3(data):
    cv, words, counter, length, flags = _node(bytes(data), 0)
    return struct.pack("<8I", *_compress(cv, words, counter, length, flags | _ROOT))


# --- images -----------------------------------------------------------------


def parse(image):
    """The fields of an image as a dict; streams and blocks as lists of dicts."""
    magic, version, source_bytes, source_hash, decoded, s, b = HEADER.unpack_from(image, 0)
    offset = HEADER.size
    streams = []
    for _ in range(s):
        streams.append(dict(zip(STREAM_FIELDS, STREAM.unpack_from(image, offset))))
        offset += STREAM.size
    blocks = []
    for _ in range(b):
        blocks.append(dict(zip(BLOCK_FIELDS, BLOCK.unpack_from(image, offset))))
        offset += BLOCK.size
    return {"magic": magic, "version": version, "source_bytes": source_bytes, "source_hash": source_hash,
            "decoded_bytes": decoded, "streams": streams, "blocks": blocks, "trailer": image[offset:]}


def build(fields):
    """The image of `fields` (as parse returns them) with a recomputed trailer."""
    payload = bytearray(HEADER.pack(fields["magic"], fields["version"], fields["source_bytes"],
                                    fields["source_hash"], fields["decoded_bytes"], len(fields["streams"]),
                                    len(fields["blocks"])))
    for record in fields["streams"]:
        payload += STREAM.pack(*(record[name] for name in STREAM_FIELDS))
    for record in fields["blocks"]:
        payload += BLOCK.pack(*(record[name] for name in BLOCK_FIELDS))
    return bytes(payload) + blake3(payload)
