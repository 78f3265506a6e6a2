"""Index images forged to leave blocks out, which an unkeyed trailer cannot stop."""

import _core
from conftest import raises
import index_image

Reader = _core._IndexedReader


def test_an_index_image_missing_a_block_is_refused(samples):
    # An unkeyed trailer is easily recomputed: without the contiguity rules the
    # reader would return the input minus the block.
    sample = samples["multiblock"]
    fields = index_image.parse(_core._build_index(sample.path))
    blocks = fields["blocks"]
    gone = blocks.pop(3)
    for block in blocks[3:]:
        block["decoded_start"] -= gone["decoded_bytes"]
    fields["decoded_bytes"] -= gone["decoded_bytes"]
    fields["streams"][0]["block_count"] -= 1
    fields["streams"][0]["decoded_bytes"] -= gone["decoded_bytes"]
    error = raises(ValueError, Reader.from_bytes, sample.compressed, index=index_image.build(fields))
    assert str(error) == "block compressed ranges are not contiguous"


def test_stream_sizes_that_contradict_their_blocks_are_refused(samples):
    sample = samples["multistream"]
    fields = index_image.parse(_core._build_index(sample.path))
    first, second = fields["streams"][:2]
    first["decoded_bytes"] -= 1
    second["decoded_start"] -= 1
    second["decoded_bytes"] += 1
    error = raises(ValueError, Reader.from_bytes, sample.compressed, index=index_image.build(fields))
    assert str(error) == "stream record does not match its blocks"
