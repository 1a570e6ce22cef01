"""SpectralCodes: construction from Python values, read-only attributes."""
import numpy as np
import pytest

from korvane import SpectralCodes, SpectralEncoder, SpectralIndex
from helpers import fields


@pytest.mark.parametrize("args, k, norm_q", [
    (([], [], [], 0), 0, 0),
    (([5, 1, 9], [0], [3, 3, 3, 3], 7), 3, 7),              # lengths need not agree
    (([65535, 0], [255, 0], [], 65535), 2, 65535),          # the ends of each range
    ((range(3), (1, 2), np.array([4], dtype=np.uint8), np.uint16(9)), 3, 9),
])
def test_constructed_unchanged(args, k, norm_q):
    codes = SpectralCodes(*args)
    idx, mag_q, phase_q, _ = args
    assert fields(codes) == ([int(v) for v in idx], [int(v) for v in mag_q], [int(v) for v in phase_q], norm_q)
    assert codes.k == k
    assert repr(codes) == f"SpectralCodes(k={k}, norm_q={norm_q})"


def test_keyword_form_equals_positional():
    assert fields(SpectralCodes(idx=[1], mag_q=[2], phase_q=[3], norm_q=4)) == \
        fields(SpectralCodes(norm_q=4, phase_q=[3], idx=[1], mag_q=[2])) == \
        fields(SpectralCodes([1], [2], [3], 4))


@pytest.mark.parametrize("args, exc_type, message, param", [
    (([70000], [0], [0], 0), OverflowError, "out of range integral type conversion attempted", "idx"),
    (([-1], [0], [0], 0), OverflowError, "out of range integral type conversion attempted", "idx"),
    (([1], [256], [0], 0), OverflowError, "out of range integral type conversion attempted", "mag_q"),
    (([1], [1], [-1], 0), OverflowError, "out of range integral type conversion attempted", "phase_q"),
    (([1], [1], [1], -1), OverflowError, "out of range integral type conversion attempted", "norm_q"),
    (([1], [1], [1], 65536), OverflowError, "out of range integral type conversion attempted", "norm_q"),
    (([1], [1.5], [0], 0), TypeError, None, "mag_q"),
    (([1], [0], [0], 1.0), TypeError, None, "norm_q"),
    (("ab", [1.5], [0], 0), TypeError, "Can't extract `str` to `Vec`", "idx"),  # first failure wins
    (([1], [1], "c", 0), TypeError, "Can't extract `str` to `Vec`", "phase_q"),
    (([1], 3, [1], 0), TypeError, "'int' object is not an instance of 'Sequence'", "mag_q"),
    (({1}, [1], [1], 0), TypeError, "'set' object is not an instance of 'Sequence'", "idx"),
])
def test_constructor_errors(args, exc_type, message, param):
    with pytest.raises(exc_type) as ei:
        SpectralCodes(*args)
    if message is not None:
        assert str(ei.value) == message
    assert ei.value.__notes__ == [f"while processing '{param}'"]


@pytest.mark.parametrize("attr, dtype, values", [
    ("idx", np.uint16, [300, 2, 65535]),
    ("mag_q", np.uint8, [4, 255]),
    ("phase_q", np.uint8, [7]),
])
def test_arrays_are_private_copies(attr, dtype, values):
    codes = SpectralCodes([300, 2, 65535], [4, 255], [7], 1)
    first = getattr(codes, attr)
    assert first.dtype == dtype and first.ndim == 1 and first.flags.writeable and first.flags.c_contiguous
    assert first.tolist() == values
    second = getattr(codes, attr)
    assert first is not second and not np.shares_memory(first, second)
    first[0] = 0
    assert getattr(codes, attr).tolist() == values
    assert second.tolist() == values
    del codes  # an array outlives the record it came from
    assert second.tolist() == values


def test_empty_arrays():
    codes = SpectralCodes([], b"", bytearray(), 0)
    for arr in (codes.idx, codes.mag_q, codes.phase_q):
        assert arr.shape == (0,) and arr.flags.writeable


def test_encoded_records_are_ordinary_instances():
    enc = SpectralEncoder(64, 16, 4, 4, 4)
    codes = enc.encode([float((i * 7) % 11) for i in range(64)])
    assert type(codes) is SpectralCodes
    assert codes.k == 16 == len(codes.idx) == len(codes.mag_q) == len(codes.phase_q)
    assert repr(codes) == f"SpectralCodes(k=16, norm_q={codes.norm_q})"
    assert len(set(codes.idx.tolist())) == 16 and max(codes.idx) < enc.f
    copy = SpectralCodes(codes.idx, codes.mag_q, codes.phase_q, codes.norm_q)
    assert fields(copy) == fields(codes)


def test_equal_records_are_distinct_items():
    a, b = SpectralCodes([0], [0], [0], 0), SpectralCodes([0], [0], [0], 0)
    assert a != b
    index = SpectralIndex(SpectralEncoder(8, 1, 4, 4, 4))
    index.add([a, b, a])
    assert len(index) == 3


def test_record_is_read_only():
    codes = SpectralCodes([1], [2], [3], 4)
    for attr in ("norm_q", "k", "idx"):
        with pytest.raises(AttributeError):
            setattr(codes, attr, 3)
    assert fields(codes) == ([1], [2], [3], 4)
