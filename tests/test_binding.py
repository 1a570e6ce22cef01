"""The conventions every member follows at the boundary: argument matching,
conversions and their notes, borrows, and core errors as exceptions."""
import math
import pathlib
import sys

import numpy as np
import pytest

import korvane
from korvane import SpectralCodes, SpectralEncoder, SpectralIndex, spectral_energy_retention
from helpers import caps_memory, fields, notes, run_python

DIM = 8
ROW = [1.0, 2.0, 0.5, -1.0, 3.0, 0.0, -2.0, 1.5]


@pytest.fixture
def enc():
    return SpectralEncoder(DIM, 4, 4, 4, 4)


@pytest.fixture
def index(enc):
    return SpectralIndex(enc)


def note(param):
    return [f"while processing '{param}'"]


def grids(e):
    return (e.mag_lo, e.mag_hi, e.mag_grid.tobytes(), e.phase_grid.tobytes(), e.norm_grid.tobytes())


class Hook:
    """A number whose conversion runs `action` first."""

    def __init__(self, action, value=1.0):
        self.action, self.value = action, value

    def __float__(self):
        self.action()
        return self.value

    def __index__(self):
        self.action()
        return int(self.value)


class Raises:
    def __init__(self, exc):
        self.exc = exc

    def __float__(self):
        raise self.exc

    __index__ = __float__


# ---- argument matching -----------------------------------------------------

MATCHING = [
    ("encoder_new", lambda e, i: SpectralEncoder(8, 4),
     "SpectralEncoder.__new__() missing 3 required positional arguments: 'mag_bits', 'phase_bits', and 'norm_bits'"),
    ("encoder_new_two", lambda e, i: SpectralEncoder(8, 4, 4),
     "SpectralEncoder.__new__() missing 2 required positional arguments: 'phase_bits' and 'norm_bits'"),
    ("encoder_new_kw_gap", lambda e, i: SpectralEncoder(8, mag_bits=4, phase_bits=4, norm_bits=4),
     "SpectralEncoder.__new__() missing 1 required positional argument: 'top_k'"),
    ("encoder_new_many", lambda e, i: SpectralEncoder(8, 4, 4, 4, 4, 4),
     "SpectralEncoder.__new__() takes 5 positional arguments but 6 were given"),
    ("encoder_new_twice", lambda e, i: SpectralEncoder(8, 4, 4, 4, 4, dim=8),
     "SpectralEncoder.__new__() got multiple values for argument 'dim'"),
    ("codes_new_unexpected", lambda e, i: SpectralCodes([], [], [], 0, k=1),
     "SpectralCodes.__new__() got an unexpected keyword argument 'k'"),
    ("index_new_missing", lambda e, i: SpectralIndex(),
     "SpectralIndex.__new__() missing 1 required positional argument: 'encoder'"),
    ("search_missing", lambda e, i: i.search(SpectralCodes([], [], [], 0)),
     "SpectralIndex.search() missing 1 required positional argument: 'top_k'"),
    ("search_many", lambda e, i: i.search(SpectralCodes([], [], [], 0), 5, 6),
     "SpectralIndex.search() takes 2 positional arguments but 3 were given"),
    ("encode_unexpected", lambda e, i: e.encode(x=[1.0]),
     "SpectralEncoder.encode() got an unexpected keyword argument 'x'"),
    ("encode_twice_kw", lambda e, i: e.encode(ROW, e=ROW),
     "SpectralEncoder.encode() got multiple values for argument 'e'"),
    ("calibrate_none", lambda e, i: e.calibrate(),
     "SpectralEncoder.calibrate() missing 1 required positional argument: 'sample'"),
    ("set_grids_none", lambda e, i: e.set_grids(),
     "SpectralEncoder.set_grids() missing 7 required positional arguments: 'mag_lo', 'mag_hi', 'mag_grid', "
     "'phase_grid', 'norm_lo', 'norm_hi', and 'norm_grid'"),
    ("function_twice", lambda e, i: spectral_energy_retention([], 8, [1], dim=8),
     "spectral_energy_retention() got multiple values for argument 'dim'"),
    ("function_many", lambda e, i: spectral_energy_retention([], 8, [1], 2),
     "spectral_energy_retention() takes 3 positional arguments but 4 were given"),
    # order of the checks: too many positional, then keywords in the order
    # given, then what is missing
    ("many_before_keyword", lambda e, i: e.encode(ROW, ROW, x=1),
     "SpectralEncoder.encode() takes 1 positional arguments but 2 were given"),
    ("first_keyword_decides", lambda e, i: SpectralEncoder(8, 4, 4, 4, 4, x=1, dim=8),
     "SpectralEncoder.__new__() got an unexpected keyword argument 'x'"),
    ("first_keyword_decides_2", lambda e, i: SpectralEncoder(8, 4, 4, 4, 4, dim=8, x=1),
     "SpectralEncoder.__new__() got multiple values for argument 'dim'"),
    ("unexpected_before_missing", lambda e, i: SpectralEncoder(top_k=1, x=1),
     "SpectralEncoder.__new__() got an unexpected keyword argument 'x'"),
    ("unexpected_after_valid", lambda e, i: spectral_energy_retention(dim=8, top_k_list=[1], embeddings=[], dim2=1),
     "spectral_energy_retention() got an unexpected keyword argument 'dim2'"),
]


@pytest.mark.parametrize("call, message", [m[1:] for m in MATCHING], ids=[m[0] for m in MATCHING])
def test_matching_errors(enc, index, call, message):
    with pytest.raises(TypeError) as ei:
        call(enc, index)
    assert str(ei.value) == message
    assert notes(ei.value) is None


def test_keyword_and_positional_forms_agree():
    a = SpectralEncoder(dim=8, top_k=4, mag_bits=4, phase_bits=4, norm_bits=4)
    b = SpectralEncoder(8, 4, norm_bits=4, phase_bits=4, mag_bits=4)
    c = SpectralEncoder(8, 4, 4, 4, 4)
    assert repr(a) == repr(b) == repr(c)
    assert grids(a) == grids(b) == grids(c)
    assert fields(a.encode(e=ROW)) == fields(c.encode(ROW))
    assert spectral_energy_retention(top_k_list=[1], dim=8, embeddings=[ROW]) == \
        spectral_energy_retention([ROW], 8, [1])


# ---- conversions: exception, message and note ------------------------------

def _set_grids(**changes):
    args = dict(mag_lo=0.5, mag_hi=2.0, mag_grid=[1.0], phase_grid=[0.0], norm_lo=0.5, norm_hi=2.0, norm_grid=[1.0])
    args.update(changes)
    return lambda e, i: e.set_grids(**args)


CONVERSIONS = [
    # sizes
    ("size_negative", lambda e, i: SpectralEncoder(-1, 4, 4, 4, 4), OverflowError, None, "dim"),
    ("size_2_64", lambda e, i: SpectralEncoder(8, 2**64, 4, 4, 4), OverflowError, None, "top_k"),
    ("size_float", lambda e, i: SpectralEncoder(8.0, 4, 4, 4, 4), TypeError, None, "dim"),
    ("size_str", lambda e, i: i.search(SpectralCodes([], [], [], 0), "3"), TypeError, None, "top_k"),
    ("size_index_raises", lambda e, i: SpectralEncoder(Raises(ZeroDivisionError("boom")), 4, 4, 4, 4),
     ZeroDivisionError, "boom", "dim"),
    ("sizes_item", lambda e, i: spectral_energy_retention([], 8, [1, -2]), OverflowError, None, "top_k_list"),
    # 8-bit and 16-bit integers
    ("u8_256", lambda e, i: SpectralEncoder(8, 4, 256, 4, 4), OverflowError,
     "out of range integral type conversion attempted", "mag_bits"),
    ("u8_negative", lambda e, i: SpectralEncoder(8, 4, 4, -1, 4), OverflowError,
     "out of range integral type conversion attempted", "phase_bits"),
    ("u8_beyond_long", lambda e, i: SpectralEncoder(8, 4, 4, 4, 2**70), OverflowError, None, "norm_bits"),
    ("u8_float", lambda e, i: SpectralEncoder(8, 4, 4, 4, 4.0), TypeError, None, "norm_bits"),
    ("u8_item", lambda e, i: SpectralCodes([1], [256], [0], 0), OverflowError,
     "out of range integral type conversion attempted", "mag_q"),
    ("u16_65536", lambda e, i: SpectralCodes([], [], [], 65536), OverflowError,
     "out of range integral type conversion attempted", "norm_q"),
    ("u16_item", lambda e, i: SpectralCodes([70000], [0], [0], 0), OverflowError,
     "out of range integral type conversion attempted", "idx"),
    ("u16_none", lambda e, i: SpectralCodes([], [], [], None), TypeError, None, "norm_q"),
    # floats
    ("float_str", _set_grids(mag_hi="1.0"), TypeError, None, "mag_hi"),
    ("float_huge_int", _set_grids(norm_lo=10**400), OverflowError, None, "norm_lo"),
    ("float_raises", _set_grids(norm_hi=Raises(ValueError("bad number"))), ValueError, "bad number", "norm_hi"),
    ("float_item_raises", _set_grids(phase_grid=[0.0, Raises(ValueError("bad item"))]), ValueError, "bad item",
     "phase_grid"),
    ("float_item_none", _set_grids(norm_grid=[None]), TypeError, None, "norm_grid"),
    # instances
    ("instance_none", lambda e, i: SpectralIndex(None), TypeError, "'None' is not an instance of 'SpectralEncoder'",
     "encoder"),
    ("instance_list", lambda e, i: SpectralIndex([]), TypeError, "'list' object is not an instance of 'SpectralEncoder'",
     "encoder"),
    ("instance_wrong_class", lambda e, i: i.search(e, 1), TypeError,
     "'SpectralEncoder' object is not an instance of 'SpectralCodes'", "query"),
    ("instance_in_sequence", lambda e, i: i.add([e]), TypeError,
     "'SpectralEncoder' object is not an instance of 'SpectralCodes'", "codes"),
    # text
    ("text_bytes", lambda e, i: i.save(b"x.idx"), TypeError, "'bytes' object is not an instance of 'str'", "path"),
    ("text_path", lambda e, i: SpectralIndex.load(pathlib.PurePosixPath("x.idx")), TypeError,
     "'PurePosixPath' object is not an instance of 'str'", "path"),
    ("text_none", lambda e, i: i.save(None), TypeError, "'None' is not an instance of 'str'", "path"),
    ("text_surrogate", lambda e, i: SpectralIndex.load("bad\udc80name"), UnicodeEncodeError, None, "path"),
    # sequences: str refused, then the Sequence check, at either level
    ("str_noted", lambda e, i: SpectralCodes("ab", [1.5], [0], 0), TypeError, "Can't extract `str` to `Vec`", "idx"),
    ("str_subclass", _set_grids(mag_grid=type("S", (str,), {})("ab")), TypeError, "Can't extract `str` to `Vec`",
     "mag_grid"),
    ("str_unnoted", lambda e, i: e.encode("abcdefgh"), TypeError, "Can't extract `str` to `Vec`", None),
    ("str_inner", lambda e, i: e.encode_batch(["abcdefgh"]), TypeError, "Can't extract `str` to `Vec`", None),
    ("str_calibrate", lambda e, i: e.calibrate("abcdefgh"), TypeError, "Can't extract `str` to `Vec`", None),
    ("str_search_batch", lambda e, i: i.search_batch("ab", 1), TypeError, "Can't extract `str` to `Vec`", None),
    ("set_unnoted", lambda e, i: e.encode({1.0, 2.0}), TypeError, "'set' object is not an instance of 'Sequence'",
     None),
    ("set_noted", lambda e, i: SpectralCodes([], {1}, [], 0), TypeError,
     "'set' object is not an instance of 'Sequence'", "mag_q"),
    ("dict", _set_grids(norm_grid={0: 1.0}), TypeError, "'dict' object is not an instance of 'Sequence'", "norm_grid"),
    ("iterator", lambda e, i: e.encode(iter(ROW)), TypeError,
     "'list_iterator' object is not an instance of 'Sequence'", None),
    ("generator", lambda e, i: e.encode(x for x in ROW), TypeError,
     "'generator' object is not an instance of 'Sequence'", None),
    ("int_as_sequence", lambda e, i: spectral_energy_retention([], 8, 3), TypeError,
     "'int' object is not an instance of 'Sequence'", "top_k_list"),
    ("none_as_sequence", lambda e, i: e.encode_batch(None), TypeError, "'None' is not an instance of 'Sequence'",
     None),
    ("none_as_row", lambda e, i: e.encode_batch([ROW, None]), TypeError, "'None' is not an instance of 'Sequence'",
     None),
    ("flat_list_as_rows", lambda e, i: e.encode_batch(ROW), TypeError, "'float' object is not an instance of 'Sequence'",
     None),
    ("item_not_float", lambda e, i: e.encode([1.0, "x"] + ROW[2:]), TypeError, None, None),
    ("item_raises", lambda e, i: e.calibrate([Raises(KeyError("k"))]), KeyError, None, None),
]


@pytest.mark.parametrize("call, exc_type, message, param", [c[1:] for c in CONVERSIONS],
                         ids=[c[0] for c in CONVERSIONS])
def test_conversion_failures(enc, index, call, exc_type, message, param):
    before = grids(enc)
    with pytest.raises(exc_type) as ei:
        call(enc, index)
    assert type(ei.value) is exc_type
    if message is not None:
        assert str(ei.value) == message
    assert notes(ei.value) == (note(param) if param else None)
    assert grids(enc) == before


def test_iteration_failure_gets_the_note(enc):
    class Broken:
        def __len__(self):
            raise RuntimeError("no length")  # discarded: only sizes the result

        def __getitem__(self, i):
            if i == 2:
                raise LookupError("third item")
            return 1.0

    with pytest.raises(LookupError, match="third item") as ei:
        enc.set_grids(0.5, 2.0, Broken(), [0.0], 0.5, 2.0, [1.0])
    assert notes(ei.value) == note("mag_grid")


def test_failing_add_note_leaves_the_exception_alone():
    class Stubborn(Exception):
        def add_note(self, text):
            raise RuntimeError("refused")

    with pytest.raises(Stubborn) as ei:
        SpectralEncoder(Raises(Stubborn("own")), 4, 4, 4, 4)
    assert str(ei.value) == "own"
    assert notes(ei.value) is None


def test_only_first_failure_is_reported():
    with pytest.raises(TypeError, match="Can't extract") as ei:
        SpectralCodes("ab", [256], "cd", -1)
    assert notes(ei.value) == note("idx")


@pytest.mark.parametrize("value, expected", [(True, 1), (np.int64(3), 3), (np.uint8(2), 2), (Hook(lambda: None, 3), 3)],
                         ids=["bool", "int64", "uint8", "index"])
def test_integers_through_index(value, expected):
    enc = SpectralEncoder(8, value, value, value, value)
    assert enc.top_k == expected
    assert repr(enc) == (f"SpectralEncoder(dim=8, top_k={expected}, mag_bits={expected}, phase_bits={expected}, "
                         f"norm_bits={expected})")
    codes = SpectralCodes([value], [value], [value], value)
    assert fields(codes) == ([expected], [expected], [expected], expected)


@pytest.mark.parametrize("value, expected", [
    (1e39, math.inf),
    (-1e39, -math.inf),
    (0.1, 0.10000000149011612),
    (3.4028235e38, 3.4028234663852886e38),  # still rounds to the largest single
    (1e-50, 0.0),
    (2**24 + 1, 16777216.0),
    (np.float64(0.1), 0.10000000149011612),
])
def test_floats_narrow_to_single(enc, value, expected):
    enc.set_grids(value, value, [value], [value], 0.5, 2.0, [value])
    for got in (enc.mag_lo, enc.mag_hi, float(enc.mag_grid[0]), float(enc.phase_grid[0]), float(enc.norm_grid[0])):
        assert got == expected


def test_nan_stays_nan(enc):
    enc.set_grids(math.nan, 1.0, [math.nan], [], 0.5, 2.0, [])
    assert math.isnan(enc.mag_lo) and math.isnan(enc.mag_grid[0])


def test_bytes_and_bytearray_are_8_bit_codes():
    class B(bytes):
        pass

    codes = SpectralCodes(b"\x01\x02", b"\x00\xff\x07", bytearray(b"\x09"), 3)
    assert codes.idx.tolist() == [1, 2]
    assert codes.mag_q.tolist() == [0, 255, 7]
    assert codes.phase_q.tolist() == [9]
    assert SpectralCodes([], B(b"\x05"), memoryview(b"\x06"), 0).mag_q.tolist() == [5]


@pytest.mark.parametrize("make", [tuple, list, np.array, lambda r: np.array(r, dtype=np.float32),
                                  lambda r: [int(v) if v.is_integer() else v for v in r]],
                         ids=["tuple", "list", "array64", "array32", "ints"])
def test_sequence_kinds_give_equal_codes(enc, make):
    assert fields(enc.encode(make(ROW))) == fields(enc.encode(ROW))
    rows = [make(ROW), make(ROW)]
    for batch in (rows, tuple(rows)):
        assert [fields(c) for c in enc.encode_batch(batch)] == [fields(enc.encode(ROW))] * 2


def test_other_sequences(enc):
    assert fields(enc.encode(range(8))) == fields(enc.encode([float(v) for v in range(8)]))
    two_d = np.array([ROW, ROW], dtype=np.float32)
    assert [fields(c) for c in enc.encode_batch(two_d)] == [fields(enc.encode(ROW))] * 2


@pytest.mark.parametrize("call, exc_type, param", [
    (lambda e, i: spectral_energy_retention("abc", -1, [1]), OverflowError, "dim"),
    (lambda e, i: spectral_energy_retention("abc", 8, "x"), TypeError, "top_k_list"),
    (lambda e, i: i.search_batch({1.0}, -1), OverflowError, "top_k"),
])
def test_unnoted_parameters_are_converted_last(enc, index, call, exc_type, param):
    with pytest.raises(exc_type) as ei:
        call(enc, index)
    assert notes(ei.value) == note(param)


@pytest.mark.parametrize("at, got", [(0, 1), (3, 4)])
def test_list_shrunk_by_a_conversion_ends_the_walk(enc, at, got):
    # Clearing the list drops its references to the item being converted and
    # to those after it: the walk holds its own reference to the one in hand
    # and reads the length again before the next step.
    row = [float(i) for i in range(8)]
    row[at] = Hook(lambda: row.clear(), 2.0)
    with pytest.raises(ValueError) as ei:
        enc.encode(row)
    assert str(ei.value) == f"dimension mismatch: expected 8, got {got}"


# ---- borrows ---------------------------------------------------------------

READERS = {
    "dim": lambda e: e.dim,
    "mag_grid": lambda e: e.mag_grid,
    "repr": repr,
    "encode": lambda e: e.encode(ROW),
    "encode_batch": lambda e: e.encode_batch([ROW]),
    "bytes_per_chunk": lambda e: e.bytes_per_chunk(),
}
WRITERS = {
    "calibrate": lambda e: e.calibrate(ROW),
    "set_grids": lambda e: e.set_grids(1.0, 2.0, [1.0], [0.0], 1.0, 2.0, [1.0]),
}


@pytest.mark.parametrize("slot", ["mag_lo", "mag_grid", "norm_grid"])
@pytest.mark.parametrize("action, message", [(a, "Already mutably borrowed") for a in READERS.values()]
                         + [(a, "Already borrowed") for a in WRITERS.values()],
                         ids=list(READERS) + list(WRITERS))
def test_set_grids_is_exclusive(enc, slot, action, message):
    before = grids(enc)
    hook = Hook(lambda: action(enc))
    args = dict(mag_lo=0.5, mag_hi=2.0, mag_grid=[1.0], phase_grid=[0.0], norm_lo=0.5, norm_hi=2.0, norm_grid=[1.0])
    args[slot] = hook if slot == "mag_lo" else [hook]
    with pytest.raises(RuntimeError) as ei:
        enc.set_grids(**args)
    assert str(ei.value) == message
    assert notes(ei.value) == note(slot)
    assert grids(enc) == before
    enc.set_grids(**dict(args, **{slot: 1.0 if slot == "mag_lo" else [1.0]}))  # the borrow was released


@pytest.mark.parametrize("action, message", [(a, "Already mutably borrowed") for a in READERS.values()]
                         + [(a, "Already borrowed") for a in WRITERS.values()],
                         ids=list(READERS) + list(WRITERS))
def test_calibrate_is_exclusive(enc, action, message):
    before = grids(enc)
    with pytest.raises(RuntimeError) as ei:
        enc.calibrate([Hook(lambda: action(enc))] + ROW[1:])
    assert str(ei.value) == message
    assert notes(ei.value) is None
    assert grids(enc) == before
    enc.calibrate(ROW)


@pytest.mark.parametrize("method", ["encode", "encode_batch"])
def test_shared_borrow_admits_readers_only(enc, method):
    seen = []
    reader = Hook(lambda: seen.append((enc.dim, repr(enc), fields(enc.encode(ROW)))))
    call = getattr(enc, method)
    wrap = (lambda r: r) if method == "encode" else (lambda r: [r])
    call(wrap([reader] + ROW[1:]))
    assert len(seen) == 1

    for writer in WRITERS.values():
        with pytest.raises(RuntimeError) as ei:
            call(wrap([Hook(lambda: writer(enc))] + ROW[1:]))
        assert str(ei.value) == "Already borrowed"
        assert notes(ei.value) is None


def test_matching_comes_before_borrow_and_borrow_before_conversion(enc):
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'e'") as ei:
        enc.set_grids(Hook(lambda: enc.encode()), 2.0, [], [], 0.5, 2.0, [])
    assert notes(ei.value) == note("mag_lo")
    with pytest.raises(RuntimeError, match="Already mutably borrowed"):
        enc.set_grids(Hook(lambda: enc.encode("not converted")), 2.0, [], [], 0.5, 2.0, [])
    with pytest.raises(RuntimeError, match="Already borrowed"):
        enc.set_grids(Hook(lambda: enc.calibrate({"not": "converted"})), 2.0, [], [], 0.5, 2.0, [])


def test_index_argument_is_borrowed_shared(enc):
    # an index made while the encoder is exclusively borrowed is refused,
    # with the note naming the argument
    with pytest.raises(RuntimeError) as ei:
        enc.set_grids(Hook(lambda: SpectralIndex(encoder=enc)), 2.0, [], [], 0.5, 2.0, [])
    assert str(ei.value) == "Already mutably borrowed"
    assert notes(ei.value) == ["while processing 'encoder'", "while processing 'mag_lo'"]


# ---- core errors as exceptions ---------------------------------------------

@pytest.mark.parametrize("call, message", [
    (lambda e: SpectralEncoder(2, 1, 4, 4, 4), "dimension mismatch: expected 4, got 2"),
    (lambda e: e.encode([1.0] * 5), "dimension mismatch: expected 8, got 5"),
    (lambda e: e.calibrate([1.0] * 10), "buffer length 10 is not a multiple of dimension 8"),
    (lambda e: SpectralEncoder(4, 4, 4, 4, 4), "top_k (4) exceeds F (3)"),
    (lambda e: SpectralEncoder(8, 4, 40, 4, 4), "invalid grid size: 2^40 = 1099511627776 overflows"),
])
def test_value_errors_have_one_argument(enc, call, message):
    with pytest.raises(ValueError) as ei:
        call(enc)
    assert type(ei.value) is ValueError
    assert ei.value.args == (message,)
    assert notes(ei.value) is None


def test_os_error_has_one_argument(tmp_path):
    with pytest.raises(OSError) as ei:
        SpectralIndex.load(str(tmp_path / "missing.idx"))
    err = ei.value
    assert type(err) is OSError
    assert len(err.args) == 1
    assert err.args[0].startswith("I/O error: ") and err.args[0].endswith("(os error 2)")
    assert err.errno is None and err.strerror is None and err.filename is None
    assert notes(err) is None


# ---- faults and first-use caches -------------------------------------------

@caps_memory
def test_allocation_failure_is_memory_error():
    code = """
        import resource
        import korvane
        resource.setrlimit(resource.RLIMIT_AS, (1 << 31, 1 << 31))
        try:
            korvane.SpectralEncoder(8, 4, 30, 4, 4)  # a grid of 2^30 floats
        except MemoryError:
            pass
        else:
            raise AssertionError("no MemoryError")
        assert korvane.SpectralEncoder(8, 4, 4, 4, 4).encode([1.0] * 8).k == 4
        print("ok")
    """
    result = run_python(code)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ok"


def test_first_type_mismatch_in_two_threads_does_not_hang():
    # The first mismatch against Sequence looks its name up by importing
    # collections.abc, through __import__ whether or not the module is loaded
    # yet (from 3.14 on, importing collections loads it). The hook starts a
    # second mismatch there and waits for it to end while the first is still
    # in the lookup: the second must make its own lookup and not wait for the
    # first. A lock or a static guard held over the lookup would hang with
    # the GIL held (the timeout catches that) or, without a GIL, keep the
    # second waiting until the first gives up on it.
    result = run_python("""
        import builtins, threading
        import korvane
        enc = korvane.SpectralEncoder(8, 4, 4, 4, 4)
        lookups, messages, second = [], [], []

        def mismatch():
            try:
                enc.encode({1.0})
            except TypeError as exc:
                messages.append(str(exc))

        real_import = builtins.__import__

        def hook(name, *args, **kwargs):
            if name == "collections.abc":
                lookups.append(threading.current_thread().name)
                if not second:
                    second.append(threading.Thread(target=mismatch, name="second"))
                    second[0].start()
                    second[0].join(10)
                    lookups.append("second still waiting" if second[0].is_alive() else "second done")
            return real_import(name, *args, **kwargs)

        builtins.__import__ = hook
        mismatch()
        builtins.__import__ = real_import
        second[0].join()
        print(lookups)
        print(messages)
    """, "-I", "-S", timeout=30)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split("\n") == [
        str(["MainThread", "second", "second done"]),
        str(["'set' object is not an instance of 'Sequence'"] * 2),
        "",
    ]
