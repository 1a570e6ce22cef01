"""SpectralEncoder: construction, encoding, grid replacement, byte accounting
and calibration."""
import ctypes
import ctypes.util
import math

import numpy as np
import pytest

from korvane import SpectralCodes, SpectralEncoder, SpectralIndex
from helpers import fields

f32 = np.float32
_libm = ctypes.CDLL(ctypes.util.find_library("m"))
for _name in ("logf", "expf"):
    getattr(_libm, _name).restype = ctypes.c_float
    getattr(_libm, _name).argtypes = [ctypes.c_float]


def log_grid(lo, hi, bits):
    """The log-spaced table, with the platform's logf/expf and every single
    precision step rounded on its own."""
    lo, hi = f32(lo), f32(hi)
    if bits == 0:
        return np.array([lo], dtype=f32)
    n = 2 ** bits
    a, b = f32(_libm.logf(lo)), f32(_libm.logf(hi))
    step = f32(b - a) / f32(f32(n) + f32(-1.0))
    return np.array([_libm.expf(f32(a + f32(step * f32(i)))) for i in range(n)], dtype=f32)


def state(e):
    return (e.mag_lo, e.mag_hi, e.mag_grid.tobytes(), e.phase_grid.tobytes(), e.norm_grid.tobytes(),
            e.bytes_per_chunk(), repr(e))


def saved(index, path):
    index.save(str(path))
    return path.read_bytes()


ROW8 = [1.0, 2.0, 0.5, -1.0, 3.0, 0.0, -2.0, 1.5]


# ---- construction ----------------------------------------------------------

@pytest.mark.parametrize("args, f", [((4, 3, 8, 8, 8), 3), ((8, 1, 0, 0, 0), 5), ((131071, 1, 0, 0, 0), 65536),
                                     ((9, 5, 16, 1, 2), 5)])
def test_constructor_accepts(args, f):
    enc = SpectralEncoder(*args)
    dim, top_k, mag_bits, phase_bits, norm_bits = args
    assert (enc.dim, enc.top_k, enc.f) == (dim, top_k, f)
    assert repr(enc) == (f"SpectralEncoder(dim={dim}, top_k={top_k}, mag_bits={mag_bits}, "
                         f"phase_bits={phase_bits}, norm_bits={norm_bits})")
    assert len(enc.mag_grid) == 2 ** mag_bits
    assert len(enc.phase_grid) == 2 ** phase_bits
    assert len(enc.norm_grid) == 2 ** norm_bits


@pytest.mark.parametrize("args, exc_type, message, note", [
    # every conversion comes before the encoder is built
    ((2, 1, 300, 4, 4), OverflowError, "out of range integral type conversion attempted", "mag_bits"),
    ((-1, 1, 4, 4, 4), OverflowError, None, "dim"),
    ((8, -1, 4, 4, 4), OverflowError, None, "top_k"),
    ((8, 4, 4, 4, "4"), TypeError, None, "norm_bits"),
    ((2, 1, 4, 4, 4), ValueError, "dimension mismatch: expected 4, got 2", None),
    ((0, 0, 40, 40, 40), ValueError, "dimension mismatch: expected 4, got 0", None),
    ((8, 6, 4, 4, 4), ValueError, "top_k (6) exceeds F (5)", None),
    ((8, 0, 4, 4, 4), ValueError, "top_k (0) exceeds F (5)", None),
    ((8, 2**64 - 1, 4, 4, 4), ValueError, f"top_k ({2**64 - 1}) exceeds F (5)", None),
    ((64, 8, 4, 31, 40), ValueError, "invalid grid size: 2^31 = 2147483648 overflows", None),
    ((64, 8, 63, 4, 4), ValueError, "invalid grid size: 2^63 = 9223372036854775808 overflows", None),
    ((64, 8, 4, 4, 31), ValueError, "invalid grid size: 2^31 = 2147483648 overflows", None),
    # a dimension whose bins no longer fit 16 bits, refused after the checks above
    ((131072, 1, 4, 4, 4), ValueError, None, None),
    ((2**25, 1, 4, 4, 4), ValueError, None, None),
    ((2**25, 0, 4, 4, 4), ValueError, f"top_k (0) exceeds F ({2**24 + 1})", None),
    ((2**25, 1, 31, 4, 4), ValueError, "invalid grid size: 2^31 = 2147483648 overflows", None),
])
def test_constructor_errors(args, exc_type, message, note):
    with pytest.raises(exc_type) as ei:
        SpectralEncoder(*args)
    assert type(ei.value) is exc_type
    if message is not None:
        assert ei.value.args == (message,)
    elif exc_type is ValueError:
        assert str(ei.value).startswith("invalid input: ")
    assert getattr(ei.value, "__notes__", []) == ([f"while processing '{note}'"] if note else [])


def test_new_encoder_grids():
    enc = SpectralEncoder(4, 3, 8, 2, 4)
    assert enc.mag_lo == 0.0010000000474974513
    assert enc.mag_hi == 1.7320507764816284
    assert enc.mag_grid.tobytes() == log_grid(0.001, np.sqrt(f32(3)), 8).tobytes()
    assert enc.phase_grid.tolist() == [0.0, 1.5707963705062866, 3.1415927410125732, 4.71238899230957]
    assert enc.norm_grid.tobytes() == log_grid(0.5, 2.0, 4).tobytes()
    assert SpectralEncoder(4, 3, 0, 0, 0).mag_grid.tolist() == [0.0010000000474974513]


@pytest.mark.parametrize("attr", ["mag_grid", "phase_grid", "norm_grid"])
def test_grid_arrays_are_independent_copies(attr):
    enc = SpectralEncoder(8, 4, 3, 3, 3)
    first = getattr(enc, attr)
    expected = first.tolist()
    assert first.dtype == np.float32 and first.ndim == 1 and first.flags.writeable
    second = getattr(enc, attr)
    assert first is not second and not np.shares_memory(first, second)
    first[:] = 42.0
    assert getattr(enc, attr).tolist() == expected == second.tolist()
    codes_before = fields(enc.encode(ROW8))
    second[:] = -1.0
    assert fields(enc.encode(ROW8)) == codes_before


# ---- encoding --------------------------------------------------------------

@pytest.mark.parametrize("args, x, idx", [
    ((4, 2, 8, 8, 8), [1.0, 0.0, -1.0, 0.0], [1, 0]),       # the tie of bins 0 and 2 goes to bin 0
    ((4, 3, 8, 8, 8), [0.0, 0.0, 5.0, 1.0], [0, 1, 2]),     # top_k = F keeps ascending bins
    ((8, 5, 4, 4, 4), [1.0, 2.0, 3.0, 4.0, 5.0, 6.0, 7.0, 8.0], [0, 1, 2, 3, 4]),
    ((8, 3, 4, 4, 4), [1.0, -1.0] * 4, [4, 0, 1]),
])
def test_encode_bins(args, x, idx):
    codes = SpectralEncoder(*args).encode(x)
    assert codes.idx.tolist() == idx
    assert codes.k == args[1]


@pytest.mark.parametrize("x", [[0.0] * 8, [1e20] + [0.0] * 7, [1e39] + [0.0] * 7], ids=["zero", "overflow", "inf"])
def test_encode_degenerate_vectors_like_zero(x):
    enc = SpectralEncoder(8, 4, 4, 4, 4)
    codes = enc.encode(x)
    assert codes.idx.tolist() == [0, 1, 2, 3]
    assert codes.mag_q.tolist() == [0, 0, 0, 0]
    if x[0] != 1e39:
        assert codes.norm_q == 0


def test_encode_tiny_norm_is_scaled_by_the_floor():
    # norm 1e-10 < 1e-9: scaled by 1e9, magnitudes 0.1 in every bin, so the
    # magnitude code is the grid entry nearest 0.1, not nearest 1
    enc = SpectralEncoder(4, 3, 8, 8, 8)
    grid = enc.mag_grid
    near = lambda v: int(np.argmin(np.abs(np.log(grid.astype(np.float64)) - math.log(v))))
    assert enc.encode([1e-10, 0.0, 0.0, 0.0]).mag_q.tolist() == [near(0.1)] * 3
    assert enc.encode([1.0, 0.0, 0.0, 0.0]).mag_q.tolist() == [near(1.0)] * 3


def test_encode_is_deterministic():
    enc = SpectralEncoder(384, 32, 4, 4, 4)
    x = [math.sin(i * 0.37) + 0.1 * i for i in range(384)]
    assert fields(enc.encode(x)) == fields(enc.encode(x)) == fields(SpectralEncoder(384, 32, 4, 4, 4).encode(x))


@pytest.mark.parametrize("length", [0, 7, 9])
def test_encode_wrong_length(length):
    with pytest.raises(ValueError) as ei:
        SpectralEncoder(8, 4, 4, 4, 4).encode([1.0] * length)
    assert ei.value.args == (f"dimension mismatch: expected 8, got {length}",)
    assert not hasattr(ei.value, "__notes__")


@pytest.mark.parametrize("rows, count", [
    ([], 0),
    ([[], []], 0),
    ([ROW8 + ROW8], 2),
    ([ROW8[:7], ROW8[7:] + ROW8], 2),     # cut at dim, whatever the vectors' own lengths
    ([ROW8, [], ROW8[::-1], ROW8], 3),
])
def test_encode_batch_cuts_the_flat_buffer(rows, count):
    enc = SpectralEncoder(8, 4, 4, 4, 4)
    flat = [v for r in rows for v in r]
    result = enc.encode_batch(rows)
    assert type(result) is list and len(result) == count
    assert all(type(c) is SpectralCodes for c in result)
    assert [fields(c) for c in result] == [fields(enc.encode(flat[i * 8:(i + 1) * 8])) for i in range(count)]


@pytest.mark.parametrize("rows, total", [([ROW8, ROW8, [1.0]], 17), ([[1.0] * 3], 3)])
def test_encode_batch_length_error(rows, total):
    with pytest.raises(ValueError) as ei:
        SpectralEncoder(8, 4, 4, 4, 4).encode_batch(rows)
    assert ei.value.args == (f"buffer length {total} is not a multiple of dimension 8",)
    assert not hasattr(ei.value, "__notes__")


# ---- set_grids --------------------------------------------------------------

def test_set_grids_replaces_all_seven():
    enc = SpectralEncoder(4, 3, 8, 8, 8)
    bpc = enc.bytes_per_chunk()
    assert enc.set_grids(0.1, 1e39, [1e-30, 1.0, 1e30], [3.0, 0.0], 7.0, 8.0, [100.0, 1.0]) is None
    assert (enc.mag_lo, enc.mag_hi) == (0.10000000149011612, math.inf)
    assert enc.mag_grid.tolist() == [float(f32(1e-30)), 1.0, float(f32(1e30))]
    assert enc.phase_grid.tolist() == [3.0, 0.0]
    assert enc.norm_grid.tolist() == [100.0, 1.0]
    assert enc.bytes_per_chunk() == bpc and (enc.dim, enc.top_k, enc.f) == (4, 3, 3)
    # encoding quantises against the new tables
    assert fields(enc.encode([1.0, 0.0, 0.0, 0.0])) == ([0, 1, 2], [1, 1, 1], [1, 1, 1], 1)


def test_set_grids_accepts_empty_tables_and_encoding_refuses_them():
    enc = SpectralEncoder(8, 4, 4, 4, 4)
    bpc = enc.bytes_per_chunk()
    enc.set_grids(-1.0, 2.5, [], [], 0.5, 2.0, [])
    assert (enc.mag_lo, enc.mag_hi) == (-1.0, 2.5)
    for arr in (enc.mag_grid, enc.phase_grid, enc.norm_grid):
        assert arr.shape == (0,) and arr.dtype == np.float32
    assert enc.bytes_per_chunk() == bpc
    for call in (lambda: enc.encode(ROW8), lambda: enc.encode_batch([ROW8])):
        with pytest.raises(ValueError) as ei:
            call()
        assert len(ei.value.args) == 1 and ei.value.args[0].startswith("invalid input: ")
    assert enc.encode_batch([]) == []
    with pytest.raises(ValueError, match="dimension mismatch: expected 8, got 1"):
        enc.encode([1.0])


@pytest.mark.parametrize("mag, phase, norm, ok", [
    (1, 1, 1, True),
    (256, 256, 65536, True),
    (257, 1, 1, False),
    (1, 257, 1, False),
    (1, 1, 65537, False),
    (0, 1, 1, False),
    (1, 0, 1, False),
    (1, 1, 0, False),
])
def test_encoding_table_limits(mag, phase, norm, ok):
    enc = SpectralEncoder(8, 4, 4, 4, 4)
    enc.set_grids(0.1, 1.0, np.linspace(0.01, 2.0, mag).tolist(), np.linspace(0.0, 6.0, phase).tolist(), 0.5, 2.0,
                  np.linspace(0.1, 40.0, norm).tolist())
    if ok:
        codes = enc.encode(ROW8)
        assert max(codes.mag_q) < mag and max(codes.phase_q) < phase and codes.norm_q < norm
    else:
        with pytest.raises(ValueError, match="^invalid input: "):
            enc.encode(ROW8)


class Bad:
    def __float__(self):
        raise ValueError("not today")


SET_GRIDS_PARAMS = ["mag_lo", "mag_hi", "mag_grid", "phase_grid", "norm_lo", "norm_hi", "norm_grid"]


@pytest.mark.parametrize("param", SET_GRIDS_PARAMS)
@pytest.mark.parametrize("bad, exc_type", [("str", TypeError), ("raises", ValueError)])
def test_set_grids_all_or_nothing(param, bad, exc_type):
    enc = SpectralEncoder(8, 4, 4, 4, 4)
    before = state(enc)
    args = dict(mag_lo=0.2, mag_hi=3.0, mag_grid=[0.5, 1.0], phase_grid=[0.0, 1.0], norm_lo=1.0, norm_hi=2.0,
                norm_grid=[1.0, 2.0])
    is_grid = param.endswith("grid")
    if bad == "str":
        args[param] = "x" if is_grid else "1.0"
    else:
        args[param] = [0.5, Bad()] if is_grid else Bad()
    with pytest.raises(exc_type) as ei:
        enc.set_grids(**args)
    assert ei.value.__notes__ == [f"while processing '{param}'"]
    assert state(enc) == before
    enc.calibrate([])  # the exclusive borrow was released


def test_set_grids_does_not_reach_an_earlier_index(tmp_path):
    enc = SpectralEncoder(8, 4, 4, 4, 4)
    earlier = SpectralIndex(enc)
    before = saved(earlier, tmp_path / "a")
    enc.set_grids(0.5, 2.0, [0.1] * 16, [0.2] * 16, 0.5, 2.0, [0.3] * 16)
    assert saved(earlier, tmp_path / "b") == before
    assert saved(SpectralIndex(enc), tmp_path / "c") != before


# ---- bytes_per_chunk -------------------------------------------------------

@pytest.mark.parametrize("dim, top_k, mag_bits, phase_bits, expected", [
    (4, 3, 8, 8, 7),
    (4, 1, 0, 0, 1),
    (6, 4, 4, 4, 5),
    (8, 5, 4, 4, 7),
    (14, 8, 4, 4, 11),       # F = 8: exactly 3 bin bits
    (16, 9, 4, 4, 14),
    (384, 32, 4, 4, 64),
    (768, 64, 4, 4, 136),
    (1024, 128, 5, 3, 288),
    (130, 8, 0, 0, 7),       # F = 66: 7 bin bits
    (131070, 8, 0, 0, 16),   # F = 65536: 16 bin bits
    (131071, 8, 0, 0, 16),
    (64, 33, 12, 10, 116),   # norm_bits is not counted
])
def test_bytes_per_chunk(dim, top_k, mag_bits, phase_bits, expected):
    assert SpectralEncoder(dim, top_k, mag_bits, phase_bits, 4).bytes_per_chunk() == expected
    assert SpectralEncoder(dim, top_k, mag_bits, phase_bits, 0).bytes_per_chunk() == expected


# ---- calibrate -------------------------------------------------------------

@pytest.mark.parametrize("sample", [[], (), np.zeros(0)])
def test_calibrate_empty_sample_changes_nothing(sample):
    enc = SpectralEncoder(8, 4, 4, 4, 4)
    enc.set_grids(5.0, 6.0, [1.0], [2.0], 0.5, 2.0, [3.0])
    before = state(enc)
    assert enc.calibrate(sample) is None
    assert state(enc) == before


@pytest.mark.parametrize("sample, exc_type, message", [
    ([1.0] * 6, ValueError, "buffer length 6 is not a multiple of dimension 4"),
    ([[1.0, 0.0, 0.0, 0.0]], TypeError, "must be real number, not list"),
    ("abcd", TypeError, "Can't extract `str` to `Vec`"),
    ({1.0, 2.0, 3.0, 4.0}, TypeError, "'set' object is not an instance of 'Sequence'"),
    ([1.0, 0.0, 0.0, math.nan], ValueError, None),
    ([1.0, 0.0, 0.0, 0.0, math.inf, 0.0, 0.0, 0.0], ValueError, None),   # a later row
    ([1.0, 0.0, 0.0, 0.0, 0.0, -math.inf, 0.0, 0.0], ValueError, None),
])
def test_calibrate_errors_leave_the_encoder(sample, exc_type, message):
    enc = SpectralEncoder(4, 3, 8, 8, 8)
    before = state(enc)
    with pytest.raises(exc_type) as ei:
        enc.calibrate(sample)
    if message is None:
        assert len(ei.value.args) == 1 and ei.value.args[0].startswith("invalid input: ")
    else:
        assert str(ei.value) == message
    assert not hasattr(ei.value, "__notes__")
    assert state(enc) == before


@pytest.mark.parametrize("args, sample, mag_lo, mag_hi", [
    # F = top_k = 3: the transform of a unit impulse is 1 in every bin
    ((4, 3, 8, 8, 8), [1.0, 0.0, 0.0, 0.0], 1.0, 10.0),
    ((4, 3, 8, 8, 8), [0.0, 3.0, 0.0, 0.0] * 5, 1.0, 10.0),
    # zeros: every magnitude 0, both ends from the floor
    ((4, 3, 8, 8, 8), [0.0] * 12, 0.0010000000474974513, 0.010000000707805157),
    ((8, 1, 5, 4, 4), [0.0] * 8, 0.0010000000474974513, 0.010000000707805157),
    # a sum of squares that overflows divides the row into zeros
    ((4, 3, 8, 8, 8), [1e20, 0.0, 0.0, 0.0], 0.0010000000474974513, 0.010000000707805157),
    # a norm below the floor is divided by 1e-9, one quotient per value
    # (for 2e-11 the quotient differs from a product with the reciprocal)
    ((4, 3, 8, 8, 8), [2e-11, 0.0, 0.0, 0.0], float(f32(2e-11) / f32(1e-9)),
     float(f32(f32(2e-11) / f32(1e-9)) * f32(10))),
])
def test_calibrate_examples(args, sample, mag_lo, mag_hi):
    enc = SpectralEncoder(*args)
    phase, norm = enc.phase_grid.tobytes(), enc.norm_grid.tobytes()
    assert enc.calibrate(sample) is None
    assert (enc.mag_lo, enc.mag_hi) == (mag_lo, mag_hi)
    assert enc.mag_grid.tobytes() == log_grid(mag_lo, mag_hi, args[2]).tobytes()
    assert (enc.phase_grid.tobytes(), enc.norm_grid.tobytes()) == (phase, norm)


def test_calibrate_impulse_grid_values():
    enc = SpectralEncoder(4, 3, 8, 8, 8)
    enc.calibrate([1.0, 0.0, 0.0, 0.0])
    grid = enc.mag_grid
    assert len(grid) == 256 and grid[0] == 1.0
    assert abs(float(grid[-1]) - 10.0) <= 2e-6
    assert np.all(np.diff(grid) > 0)


@pytest.mark.parametrize("rows, lo, hi", [(1, 0, 0), (100, 1, 99), (229_401, 2294, 227_107)])
def test_calibrate_positions_in_single_precision(rows, lo, hi):
    # Rows below the norm floor keep their scale, so row r contributes the
    # magnitude v_r = a_r / 1e-9 and the gathered values are known exactly.
    scale = 9e-10 / rows
    a = np.array([(r + 1) * scale for r in range(rows)], dtype=np.float64).astype(f32)
    v = np.sort(a / f32(1e-9))
    assert rows == 1 or (v[lo - 1] < v[lo] and v[hi - 1] < v[hi])  # a position one off would show
    sample = np.zeros((rows, 4))
    sample[:, 0] = a[::-1]
    enc = SpectralEncoder(4, 1, 6, 4, 4)
    enc.calibrate(sample.ravel().tolist())
    expected_lo = max(v[lo], f32(0.001))
    expected_hi = max(v[hi], f32(expected_lo * f32(10)))
    assert enc.mag_lo == float(expected_lo)
    assert enc.mag_hi == float(expected_hi)


def test_calibrate_rebuilds_a_replaced_table():
    enc = SpectralEncoder(4, 3, 3, 8, 8)
    enc.set_grids(9.0, 9.0, [1.0] * 40, [0.5], 3.0, 4.0, [2.0])
    enc.calibrate([1.0, 0.0, 0.0, 0.0])
    assert (enc.mag_lo, enc.mag_hi) == (1.0, 10.0)
    assert enc.mag_grid.tobytes() == log_grid(1.0, 10.0, 3).tobytes()
    assert enc.phase_grid.tolist() == [0.5] and enc.norm_grid.tolist() == [2.0]


def test_calibrate_twice_gives_identical_results():
    x = [math.cos(i * 1.3) * (1 + i % 5) for i in range(64 * 30)]
    enc = SpectralEncoder(64, 6, 5, 4, 4)
    enc.calibrate(x)
    first = state(enc)
    assert first != state(SpectralEncoder(64, 6, 5, 4, 4))
    enc.calibrate(x)
    assert state(enc) == first
    other = SpectralEncoder(64, 6, 5, 4, 4)
    other.set_grids(1.0, 2.0, [], [0.0] * 16, 0.5, 2.0, [1.0] * 16)
    other.calibrate(x)
    assert state(other)[:3] == first[:3]  # the outcome depends on the sample only


def test_calibrate_does_not_reach_an_earlier_index(tmp_path):
    enc = SpectralEncoder(8, 4, 4, 4, 4)
    earlier = SpectralIndex(enc)
    earlier.add([enc.encode(ROW8)])
    before = saved(earlier, tmp_path / "a")
    enc.calibrate(ROW8 * 3)
    assert saved(earlier, tmp_path / "b") == before
    later = SpectralIndex(enc)
    later.add([enc.encode(ROW8)])
    assert saved(later, tmp_path / "c") != before


class _Values:
    """A sequence that is neither a list nor a tuple: read item by item."""

    def __init__(self, values):
        self._values = list(values)

    def __len__(self):
        return len(self._values)

    def __getitem__(self, i):
        return self._values[i]


def test_lists_of_floats_read_like_any_sequence():
    # Exact lists and tuples of exact floats are read in one pass; the values
    # must be those of the item-by-item reading, narrowing included.
    rng = np.random.default_rng(5)
    rows = rng.standard_normal((6, 16)).tolist()
    rows[1][3] = 1.0 + 2.0 ** -24  # halfway: ties to even
    rows[2][0], rows[2][1] = 1e39, -1e-46  # beyond single precision
    rows[3][5] = math.nan
    rows[4][7] = 3  # an int: that row goes item by item
    enc = SpectralEncoder(16, 5, 8, 8, 8)
    want = [fields(enc.encode(_Values(r))) for r in rows]
    assert [fields(enc.encode(r)) for r in rows] == want
    assert [fields(enc.encode(tuple(r))) for r in rows] == want
    assert [fields(c) for c in enc.encode_batch(rows)] == want
    assert [fields(c) for c in enc.encode_batch([tuple(r) for r in rows])] == want
    assert [fields(c) for c in enc.encode_batch(_Values([_Values(r) for r in rows]))] == want
