"""Hostile callers: Python code that changes what a member is walking,
instances that no constructor built, and sizes no memory can hold. Each ends
in an ordinary exception or a sound result, never in a crash."""
import textwrap

import numpy as np
import pytest

from korvane import SpectralCodes, SpectralEncoder, SpectralIndex, spectral_energy_retention
from helpers import caps_memory, exact, fields, run_python

DIM = 8
ROW = [1.0, 2.0, 0.5, -1.0, 3.0, 0.0, -2.0, 1.5]


class Hook:
    """A number whose conversion runs `action` first."""

    def __init__(self, action, value):
        self.action, self.value = action, value

    def __float__(self):
        self.action()
        return self.value

    __index__ = None


# ---- walks of a caller's container -----------------------------------------

# Each member that walks a list of rows, as a function of the rows giving
# something comparable. `first` is the first row as a list.
ROW_WALKS = {
    "add_embeddings": """
        def call(rows):
            index = korvane.SpectralIndex(enc)
            index.add_embeddings(rows)
            ids, scores = index.search(enc.encode(first), 10)
            return len(index), ids.tolist(), scores.tobytes()
    """,
    "encode_batch": """
        def call(rows):
            return [(c.idx.tolist(), c.mag_q.tolist(), c.phase_q.tolist(), c.norm_q) for c in enc.encode_batch(rows)]
    """,
    "search_batch": """
        stored = korvane.SpectralIndex(enc)
        stored.add_embeddings([[float(i * j % 7) for j in range(8)] for i in range(5)])

        def call(rows):
            ids, scores = stored.search_batch(rows, 3)
            return [a.tolist() for a in ids], [s.tobytes() for s in scores]
    """,
    "spectral_energy_retention": """
        def call(rows):
            return korvane.spectral_energy_retention(rows, 8, [1, 2, 3])
    """,
}


@pytest.mark.parametrize("member", ROW_WALKS)
def test_list_of_arrays_emptied_by_an_import(member):
    # The first array the module looks at makes it fetch NumPy's C API, an
    # import that runs the caller's __import__ hook. The hook empties the
    # list, freeing every array in it but the one the walk holds; the walk
    # then ends where the list now ends.
    result = run_python(textwrap.dedent("""
        import builtins
        import numpy as np
        import korvane
        enc = korvane.SpectralEncoder(8, 4, 4, 4, 4)
        rows = [np.arange(8, dtype=np.float32) * (i + 1) - 3 for i in range(6)]
        first = rows[0].tolist()
    """) + textwrap.dedent(ROW_WALKS[member]) + textwrap.dedent("""
        real_import = builtins.__import__
        fired = []

        def hook(name, *args, **kwargs):
            if not fired:
                fired.append(name)
                rows.clear()
            return real_import(name, *args, **kwargs)

        builtins.__import__ = hook
        try:
            got = call(rows)
        finally:
            builtins.__import__ = real_import
        if fired:
            assert got == call([np.array(first, dtype=np.float32)]), got
        print("ok")
    """))
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ok"


def outcome(member, rows):
    """What `member` makes of `rows`, as plain values."""
    enc = SpectralEncoder(DIM, 4, 4, 4, 4)
    index = SpectralIndex(enc)
    index.add_embeddings([ROW, ROW[::-1]])
    if member == "add_embeddings":
        index.add_embeddings(rows)
        return len(index), exact(index.search(enc.encode(ROW), 10))
    if member == "encode_batch":
        return [fields(c) for c in enc.encode_batch(rows)]
    if member == "search_batch":
        return [exact(pair) for pair in zip(*index.search_batch(rows, 3))]
    return spectral_energy_retention(rows, DIM, [1, 2])


@pytest.mark.parametrize("at", [0, 1])
@pytest.mark.parametrize("member", ROW_WALKS)
def test_rows_replaced_by_a_conversion(member, at):
    # A value's __float__ replaces the outer list's rows with one new row.
    # The row in hand stays alive, and the walk goes on with the list as it
    # now is, which ends before the next position: the result is that of the
    # rows the walk met.
    rows = [list(ROW), list(ROW)]
    rows[at][2] = Hook(lambda: (rows.clear(), rows.append([1.0] * DIM)), 2.0)
    met = [list(ROW), list(ROW)][: at + 1]
    met[at][2] = 2.0
    assert outcome(member, rows) == outcome(member, met)


# ---- instances no constructor built ----------------------------------------

def test_instances_made_around_the_constructor_are_refused():
    # A replaced __new__ that calls object.__new__ gives zeroed instances: no
    # encoder, index or record was ever constructed in them. Every member
    # refuses them, as self or as an argument, and releasing them is safe.
    result = run_python("""
        import gc
        import korvane
        from korvane import SpectralCodes, SpectralEncoder, SpectralIndex
        row = [1.0, 2.0, 0.5, -1.0, 3.0, 0.0, -2.0, 1.5]
        enc = SpectralEncoder(8, 4, 4, 4, 4)
        codes = enc.encode(row)
        index = SpectralIndex(enc)
        around = staticmethod(lambda cls, *a, **k: object.__new__(cls))
        SpectralEncoder.__new__ = around
        bad_enc = SpectralEncoder(8, 4, 4, 4, 4)
        try:
            SpectralIndex(bad_enc)
        except TypeError as exc:
            assert "not initialised" in str(exc) and exc.__notes__ == ["while processing 'encoder'"], exc
        else:
            raise AssertionError("an index of a bad encoder")
        SpectralCodes.__new__ = SpectralIndex.__new__ = around
        bad_codes = SpectralCodes([1], [1], [1], 1)
        bad_index = SpectralIndex(enc)
        uses = {
            "encoder.calibrate": lambda: bad_enc.calibrate(row),
            "encoder.encode": lambda: bad_enc.encode(row),
            "encoder.encode_batch": lambda: bad_enc.encode_batch([[1.0]]),
            "encoder.bytes_per_chunk": lambda: bad_enc.bytes_per_chunk(),
            "encoder.set_grids": lambda: bad_enc.set_grids(1.0, 2.0, [1.0], [0.0], 1.0, 2.0, [1.0]),
            "encoder repr": lambda: repr(bad_enc),
            "codes repr": lambda: repr(bad_codes),
            "index.add": lambda: bad_index.add([codes]),
            "index.add_embeddings": lambda: bad_index.add_embeddings([row]),
            "index.search": lambda: bad_index.search(codes, 1),
            "index.search_batch": lambda: bad_index.search_batch([row], 1),
            "index.bytes_per_chunk": lambda: bad_index.bytes_per_chunk(),
            "index.total_bytes": lambda: bad_index.total_bytes(),
            "index.save": lambda: bad_index.save("never-written.krvn"),
            "len(index)": lambda: len(bad_index),
            "search for a bad record": lambda: index.search(bad_codes, 1),
            "add of a bad record": lambda: index.add([codes, bad_codes]),
        }
        for attr in ("dim", "top_k", "f", "mag_lo", "mag_hi", "mag_grid", "phase_grid", "norm_grid"):
            uses["encoder." + attr] = lambda attr=attr: getattr(bad_enc, attr)
        for attr in ("idx", "mag_q", "phase_q", "norm_q", "k"):
            uses["codes." + attr] = lambda attr=attr: getattr(bad_codes, attr)
        for what, use in uses.items():
            try:
                use()
            except TypeError as exc:
                assert "not initialised" in str(exc), (what, exc)
            else:
                raise AssertionError(what + " did not raise")
        assert len(index) == 0
        import os
        assert not os.path.exists("never-written.krvn")
        del bad_enc, bad_codes, bad_index, uses
        gc.collect()
        print("ok")
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ok"


# ---- sizes past any memory -------------------------------------------------

def test_rows_past_any_memory_raise_memory_error():
    # A zero-stride array claims 2^57 rows in a few bytes; their codes could
    # never be held, which is an ordinary MemoryError, not an internal fault.
    enc = SpectralEncoder(DIM, 4, 4, 4, 4)
    rows = np.lib.stride_tricks.as_strided(np.ones(DIM, np.float32), shape=(1 << 57, DIM), strides=(0, 4))
    with pytest.raises(MemoryError):
        enc.encode_batch(rows)
    assert fields(enc.encode_batch(rows[:2])[1]) == fields(enc.encode(np.ones(DIM, np.float32)))


@caps_memory
def test_length_claims_reserve_nothing_ahead():
    # Each sequence claims 2^40 items but holds one: under a 1 GiB address
    # space, what a member reserves from such a claim must stay small.
    result = run_python("""
        import resource
        import korvane

        class Claims:
            def __init__(self, *items):
                self.items = list(items)
            def __len__(self):
                return 1 << 40
            def __getitem__(self, i):
                return self.items[i]

        row = [1.0, 2.0, 0.5, -1.0, 3.0, 0.0, -2.0, 1.5]
        enc = korvane.SpectralEncoder(8, 4, 4, 4, 4)
        index = korvane.SpectralIndex(enc)
        codes = enc.encode(row)
        resource.setrlimit(resource.RLIMIT_AS, (1 << 30, 1 << 30))
        index.add(Claims(codes))
        index.add_embeddings(Claims(Claims(*row)))
        assert len(index) == 2
        assert len(enc.encode_batch(Claims(row))) == 1
        made = korvane.SpectralCodes(Claims(1), Claims(2), Claims(3), 4)
        assert (made.idx.tolist(), made.mag_q.tolist(), made.phase_q.tolist()) == ([1], [2], [3])
        enc.set_grids(0.5, 2.0, Claims(*enc.mag_grid.tolist()), Claims(*enc.phase_grid.tolist()),
                      0.5, 2.0, Claims(*enc.norm_grid.tolist()))
        assert korvane.spectral_energy_retention(Claims(row), 8, Claims(1))[0][0] == 1
        print("ok")
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ok"
