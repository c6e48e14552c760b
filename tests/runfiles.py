"""An independent reader of run files, built on python-lz4, for the tests."""

import struct

import lz4.block

BLOCK = 131072


def read_blocks(path):
    """The run's blocks, decompressed, checking every header."""
    with open(path, "rb") as f:
        data = f.read()
    blocks, pos = [], 0
    while pos < len(data):
        compressed, size = struct.unpack_from("<II", data, pos)
        assert 1 <= size <= BLOCK, (path, size)
        assert 1 <= compressed <= size * 110 // 100 + 20, (path, compressed, size)
        body = data[pos + 8:pos + 8 + compressed]
        assert len(body) == compressed, "truncated block"
        block = lz4.block.decompress(body, uncompressed_size=size)
        assert len(block) == size
        blocks.append(block)
        pos += 8 + compressed
    assert all(len(b) == BLOCK for b in blocks[:-1]), "only the last block may be short"
    return blocks


def read_records(path):
    """The run's records as (key, payload) pairs."""
    stream = b"".join(read_blocks(path))
    records, pos = [], 0
    while pos < len(stream):
        (key_len,) = struct.unpack_from("<I", stream, pos)
        key = stream[pos + 4:pos + 4 + key_len]
        pos += 4 + key_len
        (payload_len,) = struct.unpack_from("<I", stream, pos)
        payload = stream[pos + 4:pos + 4 + payload_len]
        pos += 4 + payload_len
        assert len(key) == key_len and len(payload) == payload_len, "record cut short"
        records.append((key, payload))
    assert pos == len(stream)
    return records


def shrink_second_block(path):
    """Makes the run's second block claim one byte less than its body
    decodes to: damage that only decompressing that block reveals."""
    with open(path, "r+b") as f:
        compressed, _ = struct.unpack("<II", f.read(8))
        f.seek(8 + compressed)
        c2, u2 = struct.unpack("<II", f.read(8))
        f.seek(8 + compressed)
        f.write(struct.pack("<II", c2, u2 - 1))
