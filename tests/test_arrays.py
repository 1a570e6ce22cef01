"""NumPy arrays as input: float32 and float64 arrays are read in bulk and
must give exactly what the same values given as lists of floats give; every
other kind of array keeps the element-by-element way, its results and its
errors."""
import numpy as np
import pytest

from korvane import SpectralEncoder, SpectralIndex, spectral_energy_retention
from helpers import fields

DIM = 16
TOP_K = 5


def batch(codes):
    return [fields(c) for c in codes]


def hostile(n=11, dtype=np.float32, seed=1):
    """Rows of ordinary values with the awkward ones mixed in: zeros of both
    signs, NaN, infinities, subnormals, sums of squares that overflow, rows
    of equal magnitudes; for float64, values that narrow with rounding, to
    infinity and to zero."""
    rng = np.random.default_rng(seed)
    x = rng.standard_normal((n, DIM)).astype(dtype)
    x[1] = 0.0
    x[2] = -0.0
    x[3, 4] = np.nan
    x[4, 0], x[4, 9] = np.inf, -np.inf
    x[5] *= np.float32(1e-42)  # subnormal
    x[6, 2] = 1e20
    x[7] = np.tile([1.0, 0.0, -1.0, 0.0], DIM // 4)
    if dtype == np.float64:
        x[8] = 1.0 + np.arange(DIM) * 2.0 ** -24  # halfway cases: ties to even
        x[9, :4] = [1e39, -1e39, 1e-46, -3e-45]  # beyond single precision either way
    return x


def finite_rows(x):
    with np.errstate(over="ignore"):
        return np.isfinite(x.astype(np.float32)).all(axis=1)


def as_lists(x):
    return [[float(v) for v in row] for row in x]


def unaligned(x):
    raw = np.zeros(x.nbytes + 1, dtype=np.uint8)
    view = raw[1:].view(x.dtype).reshape(x.shape)
    view[...] = x
    return view


def readonly(x):
    x = x.copy()
    x.flags.writeable = False
    return x


# Each form holds the rows of `x` (float32 or float64, native order).
FORMS = {
    "c_order": lambda x: np.ascontiguousarray(x),
    "fortran_order": lambda x: np.asfortranarray(x),
    "every_other_column": lambda x: np.repeat(x, 2, axis=1)[:, ::2],
    "reversed": lambda x: x[::-1][::-1, ::-1][:, ::-1],
    "unaligned": unaligned,
    "readonly": readonly,
    "list_of_rows": lambda x: list(x),
    "tuple_of_rows": lambda x: tuple(x),
    "list_of_strided_rows": lambda x: [np.repeat(r, 3)[::3] for r in x],
    "mixed_list": lambda x: [r if i % 2 else r.tolist() for i, r in enumerate(x)],
}


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
@pytest.mark.parametrize("form", FORMS)
def test_array_rows_give_the_codes_of_lists(form, dtype):
    x = hostile(dtype=dtype)
    arr = FORMS[form](x)
    enc = SpectralEncoder(DIM, TOP_K, 8, 8, 16)
    want = batch(enc.encode_batch(as_lists(x)))
    assert batch(enc.encode_batch(arr)) == want
    assert [fields(enc.encode(row)) for row in np.asarray(arr)] == want

    finite = x[finite_rows(x)]
    assert spectral_energy_retention(FORMS[form](finite), DIM, [1, 3, 9]) == \
        spectral_energy_retention(as_lists(finite), DIM, [1, 3, 9])

    lists_index, array_index = SpectralIndex(enc), SpectralIndex(enc)
    lists_index.add_embeddings(as_lists(x))
    array_index.add_embeddings(arr)
    assert len(array_index) == len(lists_index) == len(x)
    queries = finite[:3]
    got_ids, got_scores = array_index.search_batch(FORMS[form](queries), 4)
    want_ids, want_scores = lists_index.search_batch(as_lists(queries), 4)
    assert [a.tolist() for a in got_ids] == [a.tolist() for a in want_ids]
    assert [a.tobytes() for a in got_scores] == [a.tobytes() for a in want_scores]


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
def test_vector_arrays_give_the_results_of_lists(dtype):
    x = hostile(dtype=dtype)
    enc = SpectralEncoder(DIM, TOP_K, 8, 8, 16)
    for row in x:
        for form in (row, row[::-1].copy()[::-1], np.repeat(row, 2)[::2], unaligned(row)):
            assert fields(enc.encode(form)) == fields(enc.encode(row.tolist()))
    finite = x[finite_rows(x)]
    by_array, by_list = SpectralEncoder(DIM, TOP_K, 8, 8, 8), SpectralEncoder(DIM, TOP_K, 8, 8, 8)
    by_array.calibrate(finite.reshape(-1))
    by_list.calibrate(finite.reshape(-1).tolist())
    assert (by_array.mag_lo, by_array.mag_hi, by_array.mag_grid.tobytes()) == \
        (by_list.mag_lo, by_list.mag_hi, by_list.mag_grid.tobytes())


def test_broadcast_rows_and_cut_rows():
    enc = SpectralEncoder(DIM, TOP_K, 8, 8, 8)
    row = hostile()[0]
    assert batch(enc.encode_batch(np.broadcast_to(row, (5, DIM)))) == batch(enc.encode_batch([row.tolist()] * 5))
    # Rows are concatenated before they are cut at dim, arrays as lists.
    x = hostile()[:4]
    halves = x.reshape(8, DIM // 2)
    assert batch(enc.encode_batch(halves)) == batch(enc.encode_batch(as_lists(x)))
    assert batch(enc.encode_batch(list(halves))) == batch(enc.encode_batch(as_lists(x)))
    assert enc.encode_batch(np.zeros((3, 0), np.float32)) == []
    assert enc.encode_batch(np.zeros((0, DIM), np.float64)) == []


def raised(call):
    with pytest.raises(Exception) as info:
        call()
    return type(info.value), str(info.value), getattr(info.value, "__notes__", None)


class Sub(np.ndarray):
    pass


# Arrays that are not read in bulk: results and errors are those of the
# element-by-element conversion, shown here by what NumPy's own scalars and
# rows do when converted one at a time.
@pytest.mark.parametrize("make", [
    lambda x: x.astype(np.float16),
    lambda x: x.astype(np.int32),
    lambda x: x.astype(">f4"),
    lambda x: x.astype(np.float32).view(Sub),
    lambda x: x.astype(object),
], ids=["float16", "int32", "big_endian", "subclass", "object"])
def test_other_arrays_convert_element_by_element(make):
    enc = SpectralEncoder(DIM, TOP_K, 8, 8, 8)
    x = np.round(np.random.default_rng(2).standard_normal((3, DIM)) * 8)
    arr = make(x)
    want = batch(enc.encode_batch([[float(v) for v in row] for row in arr]))
    assert batch(enc.encode_batch(arr)) == want
    assert batch(enc.encode_batch(list(arr))) == want
    assert [fields(enc.encode(row)) for row in arr] == want


def test_refused_arrays_keep_their_errors():
    enc = SpectralEncoder(DIM, TOP_K, 8, 8, 8)
    index = SpectralIndex(enc)
    two_d = np.ones((2, DIM), np.float32)
    three_d = np.ones((2, 2, DIM // 2), np.float32)
    zero_d = np.array(1.0, np.float32)
    words = np.array([["a"] * DIM], dtype=object)
    with pytest.warns(PendingDeprecationWarning):
        matrix = np.matrix(two_d)

    def element_error(value):  # what converting one element raises
        return raised(lambda: float(value))

    def no_iteration():
        return raised(lambda: iter(zero_d))

    cases = [
        (lambda: enc.encode(two_d), element_error(two_d[0])),
        (lambda: enc.calibrate(two_d), element_error(two_d[0])),
        (lambda: enc.encode(zero_d), no_iteration()),
        (lambda: enc.encode_batch(zero_d), no_iteration()),
        (lambda: enc.encode_batch(three_d), element_error(three_d[0][0])),
        (lambda: enc.encode_batch(words), (TypeError, "must be real number, not str", None)),
        (lambda: enc.encode_batch(matrix), element_error(matrix[0])),
        (lambda: enc.encode_batch([two_d[0], zero_d]), no_iteration()),
        (lambda: index.add_embeddings(three_d), element_error(three_d[0][0])),
        (lambda: index.search_batch(zero_d, 3), no_iteration()),
        (lambda: spectral_energy_retention(three_d, DIM, [1]), element_error(three_d[0][0])),
    ]
    for call, want in cases:
        assert raised(call) == want
    # A one-dimensional array where rows are wanted: its items are no sequences.
    assert raised(lambda: enc.encode_batch(two_d[0])) == \
        (TypeError, "'float32' object is not an instance of 'Sequence'", None)
    assert raised(lambda: index.add_embeddings(np.ones(DIM))) == \
        (TypeError, "'float64' object is not an instance of 'Sequence'", None)
    assert len(index) == 0


def test_length_errors_match_lists():
    enc = SpectralEncoder(DIM, TOP_K, 8, 8, 8)
    index = SpectralIndex(enc)
    odd = np.ones((3, DIM - 1), np.float32)
    for call in (enc.encode_batch, index.add_embeddings, lambda v: index.search_batch(v, 2),
                 lambda v: spectral_energy_retention(v, DIM, [1])):
        assert raised(lambda: call(odd)) == raised(lambda: call(odd.tolist()))
    assert raised(lambda: enc.encode(np.ones(DIM + 1))) == raised(lambda: enc.encode([1.0] * (DIM + 1)))
    assert len(index) == 0
    # A grid that codes cannot address is refused alike, and nothing is added.
    enc.set_grids(0.1, 1.0, [], [0.0], 0.5, 2.0, [1.0])
    index = SpectralIndex(enc)
    assert raised(lambda: enc.encode_batch(np.ones((300, DIM)))) == raised(lambda: enc.encode_batch([[1.0] * DIM]))
    assert raised(lambda: index.add_embeddings(np.ones((2, DIM)))) == \
        raised(lambda: index.add_embeddings([[1.0] * DIM] * 2))
    assert len(index) == 0


def test_many_array_rows_are_stored_like_lists():
    # Rows of an array are converted, encoded and stored a chunk at a time;
    # across chunk boundaries the index must hold what lists give it.
    rng = np.random.default_rng(9)
    x = rng.standard_normal((2500, DIM)).astype(np.float32)
    enc = SpectralEncoder(DIM, TOP_K, 8, 8, 8)
    from_lists, from_array = SpectralIndex(enc), SpectralIndex(enc)
    from_lists.add_embeddings(as_lists(x))
    from_array.add_embeddings(x)
    assert len(from_array) == len(from_lists) == 2500
    queries = x[::97]
    got, want = from_array.search_batch(queries, 40), from_lists.search_batch(as_lists(queries), 40)
    assert [a.tolist() for a in got[0]] == [a.tolist() for a in want[0]]
    assert [a.view(np.uint32).tolist() for a in got[1]] == [a.view(np.uint32).tolist() for a in want[1]]


def test_array_rows_that_cannot_be_encoded_add_nothing():
    enc = SpectralEncoder(DIM, TOP_K, 8, 8, 8)
    enc.set_grids(0.001, 1.0, [], enc.phase_grid.tolist(), 0.5, 2.0, enc.norm_grid.tolist())
    empty_grid = SpectralIndex(enc)
    rows = np.ones((3000, DIM), dtype=np.float32)
    with pytest.raises(ValueError) as arrays:
        empty_grid.add_embeddings(rows)
    with pytest.raises(ValueError) as lists:
        empty_grid.add_embeddings(as_lists(rows[:2]))
    assert str(arrays.value) == str(lists.value)
    assert len(empty_grid) == 0
