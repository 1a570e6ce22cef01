import math

import numpy as np
import pytest

import korvane as K


from helpers import exact, exact_batch, notes, rows, run_python


class Hooked:
    """A number whose conversion first runs `action`."""

    def __init__(self, action, value=1):
        self.action, self.value = action, value

    def __float__(self):
        self.action()
        return float(self.value)

    def __index__(self):
        self.action()
        return self.value


class ItemSeq:
    """A sequence known by __len__/__getitem__ only."""

    def __init__(self, items, action):
        self.items, self.action = items, action

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        self.action()
        return self.items[i]


class IterSeq(ItemSeq):
    def __iter__(self):
        self.action()
        return iter(self.items)


@pytest.fixture
def enc():
    return K.SpectralEncoder(8, 3, 4, 4, 4)


@pytest.fixture
def index(enc):
    ix = K.SpectralIndex(enc)
    ix.add_embeddings(rows(5))
    return ix


@pytest.fixture
def query(enc):
    return enc.encode(rows(1, seed=7)[0])


# ---- construction and sizes ------------------------------------------------


def test_sizes_follow_item_count():
    enc = K.SpectralEncoder(4, 3, 8, 8, 8)
    ix = K.SpectralIndex(enc)
    assert (len(ix), ix.total_bytes(), ix.bytes_per_chunk()) == (0, 0, 7)
    assert ix.bytes_per_chunk() == enc.bytes_per_chunk()
    ix.add_embeddings(rows(10, dim=4))
    assert (len(ix), ix.total_bytes()) == (10, 70)
    with pytest.raises(TypeError):
        ix.total_bytes(1)
    with pytest.raises(TypeError):
        ix.bytes_per_chunk(1)


@pytest.mark.parametrize(
    "arg, message",
    [(5, "'int' object is not an instance of 'SpectralEncoder'"),
     (None, "'None' is not an instance of 'SpectralEncoder'")],
)
def test_constructor_refuses_non_encoder(arg, message):
    with pytest.raises(TypeError) as info:
        K.SpectralIndex(arg)
    assert str(info.value) == message
    assert notes(info.value) == ["while processing 'encoder'"]


def test_constructor_while_encoder_is_changing():
    enc = K.SpectralEncoder(8, 3, 4, 4, 4)
    grids = (enc.mag_grid.tolist(), enc.phase_grid.tolist(), enc.norm_grid.tolist())
    with pytest.raises(RuntimeError) as info:
        enc.set_grids(Hooked(lambda: K.SpectralIndex(enc)), 1.0, *grids[:2], 0.5, 2.0, grids[2])
    assert str(info.value) == "Already mutably borrowed"
    assert notes(info.value) == ["while processing 'encoder'", "while processing 'mag_lo'"]
    K.SpectralIndex(enc)  # the encoder's borrow was released


# ---- adding ----------------------------------------------------------------


@pytest.mark.parametrize(
    "method, arg",
    [("add", []), ("add", ()), ("add_embeddings", []), ("add_embeddings", [[], []])],
)
def test_empty_adds_change_nothing(index, query, method, arg):
    before = exact(index.search(query, 10))
    assert getattr(index, method)(arg) is None
    assert len(index) == 5
    assert exact(index.search(query, 10)) == before


def test_add_appends_in_order_after_existing_items(enc, index):
    c1, c2 = enc.encode_batch(rows(2, seed=3))
    index.add((c1, c2))
    assert len(index) == 7
    alone = K.SpectralIndex(enc)
    alone.add([c1, c2])
    # An item's score does not depend on the other items, so ids 5 and 6 of
    # the larger index score as ids 0 and 1 of the index holding only them.
    for q in (c1, c2):
        ids, scores = index.search(q, 7)
        got = {i: s for i, s in zip(ids.tolist(), scores.view(np.uint32).tolist())}
        a_ids, a_scores = alone.search(q, 2)
        want = {i + 5: s for i, s in zip(a_ids.tolist(), a_scores.view(np.uint32).tolist())}
        assert {i: got[i] for i in (5, 6)} == want


def test_add_embeddings_dim4_uneven_rows():
    enc = K.SpectralEncoder(4, 3, 8, 8, 8)
    ix = K.SpectralIndex(enc)
    ix.add_embeddings([[1.0, 2.0], [3.0, 4.0, 5.0, 6.0, 7.0, 8.0]])
    ref = K.SpectralIndex(enc)
    ref.add([enc.encode([1, 2, 3, 4]), enc.encode([5, 6, 7, 8])])
    assert len(ix) == 2
    for q in enc.encode_batch(rows(3, dim=4, seed=11)):
        assert exact(ix.search(q, 2)) == exact(ref.search(q, 2))


@pytest.mark.parametrize(
    "make, message",
    [
        (lambda c: c, "'SpectralCodes' object is not an instance of 'Sequence'"),
        (lambda c: [c, 5], "'int' object is not an instance of 'SpectralCodes'"),
        (lambda c: (c, None), "'None' is not an instance of 'SpectralCodes'"),
        (lambda c: {c}, "'set' object is not an instance of 'Sequence'"),
        (lambda c: (x for x in [c]), "'generator' object is not an instance of 'Sequence'"),
        (lambda c: "ab", "Can't extract `str` to `Vec`"),
    ],
)
def test_add_refuses_non_sequences_and_foreign_items(index, query, make, message):
    with pytest.raises(TypeError) as info:
        index.add(make(query))
    assert str(info.value) == message
    assert notes(info.value) == ["while processing 'codes'"]
    assert len(index) == 5


@pytest.mark.parametrize("method", ["add_embeddings", "search_batch"])
@pytest.mark.parametrize(
    "arg, message",
    [("abcdefgh", "Can't extract `str` to `Vec`"),
     (["abcdefgh"], "Can't extract `str` to `Vec`"),
     ([[1.0] * 7 + ["x"]], None),
     ({1.0}, "'set' object is not an instance of 'Sequence'")],
)
def test_raw_vector_conversion_errors_have_no_note(index, method, arg, message):
    call = getattr(index, method)
    with pytest.raises(TypeError) as info:
        call(arg) if method == "add_embeddings" else call(arg, 3)
    if message is not None:
        assert str(info.value) == message
    assert notes(info.value) is None
    assert len(index) == 5


@pytest.mark.parametrize("method", ["add_embeddings", "search_batch"])
def test_raw_vectors_must_fill_whole_rows(method):
    ix = K.SpectralIndex(K.SpectralEncoder(4, 3, 8, 8, 8))
    ix.add_embeddings([[1, 2, 3, 4]])
    call = getattr(ix, method)
    with pytest.raises(ValueError) as info:
        call([[1, 2], [3, 4, 5]]) if method == "add_embeddings" else call([[1, 2], [3, 4, 5]], 3)
    assert info.value.args == ("buffer length 5 is not a multiple of dimension 4",)
    assert len(ix) == 1


def test_rows_past_the_item_limit_are_refused_before_any_is_encoded():
    # Zero-stride arrays of 2^32 - 3 rows (one past the limit after 3 items)
    # and of 2^33 rows, a few bytes of real memory each. The child's address
    # space is capped where it can be, so that a late refusal fails instead
    # of filling the machine.
    result = run_python("""
        import os, resource
        import numpy as np
        from numpy.lib.stride_tricks import as_strided
        import korvane as K
        if not os.environ.get("KORVANE_SANITIZED"):
            resource.setrlimit(resource.RLIMIT_AS, (2 << 30, 2 << 30))
        enc = K.SpectralEncoder(8, 3, 4, 4, 4)
        ix = K.SpectralIndex(enc)
        ix.add_embeddings(np.random.default_rng(0).standard_normal((3, 8)).astype(np.float32))
        q = enc.encode([1.0, 2.0, 0.5, -1.0, 3.0, 0.0, -2.0, 1.5])

        def state():
            ids, scores = ix.search(q, 10)
            return len(ix), ids.tolist(), scores.view(np.uint32).tolist()

        before = state()
        for n in (2**32 - 3, 2**33):
            try:
                ix.add_embeddings(as_strided(np.ones(8, np.float32), shape=(n, 8), strides=(0, 4)))
            except ValueError as exc:
                print(exc)
            assert state() == before
    """, timeout=120)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        f"invalid input: an index holds at most 4294967295 items; it has 3 and {n} were added"
        for n in (2**32 - 3, 2**33)
    ]


# ---- borrows taken by Python code that a conversion runs -------------------


@pytest.mark.parametrize("seq_type", [ItemSeq, IterSeq])
@pytest.mark.parametrize(
    "action, message",
    [(lambda ix: len(ix), "Already mutably borrowed"),
     (lambda ix: ix.search_batch([], 1), "Already mutably borrowed"),
     (lambda ix: ix.add([]), "Already borrowed")],
)
def test_add_iteration_cannot_reenter_the_index(index, query, seq_type, action, message):
    before = exact(index.search(query, 10))
    with pytest.raises(RuntimeError) as info:
        index.add(seq_type([query, query], lambda: action(index)))
    assert str(info.value) == message
    assert notes(info.value) == ["while processing 'codes'"]
    assert len(index) == 5
    assert exact(index.search(query, 10)) == before


def test_add_ignores_a_failing_len(index, query):
    class NoLen(ItemSeq):
        def __len__(self):
            raise ValueError("no length")

    index.add(NoLen([query], lambda: None))
    assert len(index) == 6


@pytest.mark.parametrize(
    "call, action, error",
    [
        # exclusive borrow held by add_embeddings: everything fails
        ("add_embeddings", lambda ix: len(ix), "Already mutably borrowed"),
        ("add_embeddings", lambda ix: ix.search(5, -1), "Already mutably borrowed"),  # before query
        ("add_embeddings", lambda ix: ix.add([]), "Already borrowed"),
        # shared borrow held by the searches: reads pass, changes fail
        ("search_batch", lambda ix: (len(ix), ix.total_bytes()), None),
        ("search_batch", lambda ix: ix.add_embeddings([]), "Already borrowed"),
        ("search", lambda ix: (len(ix), ix.search_batch([], 1)), None),
        ("search", lambda ix: ix.add("ab"), "Already borrowed"),  # before codes
    ],
)
def test_conversions_see_the_borrow_held_by_the_call(index, query, call, action, error):
    hook = Hooked(lambda: action(index), 3)
    runs = {
        "search": lambda: index.search(query, hook),
        "search_batch": lambda: index.search_batch([[hook] + [1.0] * 7], 3),
        "add_embeddings": lambda: index.add_embeddings([[hook] + [1.0] * 7]),
    }
    if error is None:
        ids = runs[call]()[0]
        assert (ids if call == "search" else ids[0]).shape == (3,)
        return
    with pytest.raises(RuntimeError) as info:
        runs[call]()
    assert str(info.value) == error
    assert notes(info.value) == (["while processing 'top_k'"] if call == "search" else None)
    assert len(index) == 5


# ---- searching -------------------------------------------------------------


def test_search_on_empty_index_or_without_results(enc, index, query):
    cases = [
        (K.SpectralIndex(enc), query, 5),
        (index, query, 0),
        (index, K.SpectralCodes([], [], [], 0), 5),
    ]
    for ix, q, k in cases:
        result = ix.search(q, k)
        assert isinstance(result, tuple) and len(result) == 2
        ids, scores = result
        assert (ids.dtype, scores.dtype) == (np.uint32, np.float32)
        assert ids.shape == scores.shape == (0,)


@pytest.mark.parametrize("k", [1, 2, 4, 5, 6, 2**64 - 1])
def test_search_ranks_best_first(index, query, k):
    full_ids, full_scores = index.search(query, 5)
    assert sorted(full_ids.tolist()) == list(range(5))
    assert all(a >= b for a, b in zip(full_scores, full_scores[1:]))
    ids, scores = index.search(query, k)
    assert ids.shape == scores.shape == (min(k, 5),)
    assert exact((ids, scores)) == exact((full_ids[: min(k, 5)], full_scores[: min(k, 5)]))


def test_search_scores_match_a_direct_computation():
    enc = K.SpectralEncoder(4, 3, 8, 8, 8)
    ix = K.SpectralIndex(enc)
    item = K.SpectralCodes([1], [200], [10], 100)
    ix.add([item])
    q = K.SpectralCodes([1], [180], [50], 120)
    m = np.float32(enc.mag_grid[200])
    qm = np.float32(enc.mag_grid[180])
    cos = np.float32(math.cos(np.float32(enc.phase_grid[50] - enc.phase_grid[10])))
    qn, xn = np.float32(enc.norm_grid[120]), np.float32(enc.norm_grid[100])
    want = np.float32(np.float32(np.float32(2 * qm) * m) * cos) / np.float32(np.float32(qn * xn) * 4)
    ids, scores = ix.search(q, 1)
    assert ids.tolist() == [0]
    assert scores[0] == pytest.approx(want, rel=1e-6)


@pytest.mark.parametrize(
    "call, exc, note",
    [
        (lambda ix, q: ix.search(5, -1), TypeError, "query"),
        (lambda ix, q: ix.search(None, 3), TypeError, "query"),
        (lambda ix, q: ix.search(q, -1), OverflowError, "top_k"),
        (lambda ix, q: ix.search(q, 2**64), OverflowError, "top_k"),
        (lambda ix, q: ix.search(q, 1.5), TypeError, "top_k"),
        (lambda ix, q: ix.search_batch(5, -1), OverflowError, "top_k"),
        (lambda ix, q: ix.search_batch([[0.0] * 8], "3"), TypeError, "top_k"),
    ],
)
def test_search_argument_errors(index, query, call, exc, note):
    with pytest.raises(exc) as info:
        call(index, query)
    assert type(info.value) is exc
    assert notes(info.value) == [f"while processing '{note}'"]


@pytest.mark.parametrize("batch", [[], [[], []], ()])
def test_search_batch_without_rows(enc, index, batch):
    for ix in (index, K.SpectralIndex(enc)):
        assert ix.search_batch(batch, 3) == ([], [])


def test_search_batch_on_empty_index(enc):
    ids, scores = K.SpectralIndex(enc).search_batch(rows(3), 3)
    assert len(ids) == len(scores) == 3
    assert all(a.dtype == np.uint32 and a.shape == (0,) for a in ids)
    assert all(a.dtype == np.float32 and a.shape == (0,) for a in scores)


@pytest.mark.parametrize("k", [0, 2, 5, 9])
def test_search_batch_matches_search_per_row(enc, index, k):
    queries = rows(4, seed=5)
    ids, scores = index.search_batch(queries, k)
    assert isinstance(ids, list) and isinstance(scores, list)
    assert exact_batch((ids, scores)) == [exact(index.search(enc.encode(r), k)) for r in queries]


def test_source_encoder_changes_do_not_reach_the_index(enc, index, query):
    queries = rows(3, seed=9)
    before = (exact(index.search(query, 5)), exact_batch(index.search_batch(queries, 5)),
              len(index), index.bytes_per_chunk(), index.total_bytes())
    enc.calibrate([v for r in rows(20, seed=2) for v in r])
    assert enc.mag_grid.tolist() != K.SpectralEncoder(8, 3, 4, 4, 4).mag_grid.tolist()
    after_calibrate = (exact(index.search(query, 5)), exact_batch(index.search_batch(queries, 5)),
                       len(index), index.bytes_per_chunk(), index.total_bytes())
    enc.set_grids(0.5, 1.0, [1.0] * 16, [0.0] * 16, 0.5, 1.0, [3.0] * 16)
    after_set = (exact(index.search(query, 5)), exact_batch(index.search_batch(queries, 5)),
                 len(index), index.bytes_per_chunk(), index.total_bytes())
    assert before == after_calibrate == after_set


def test_result_arrays_are_independent_and_writeable(index, query):
    ids, scores = index.search(query, 5)
    want = exact((ids, scores))
    for a in (ids, scores):
        assert a.flags.writeable and a.ndim == 1
        a[:] = 0
    assert exact(index.search(query, 5)) == want
    queries = rows(2, seed=1)
    batch = index.search_batch(queries, 5)
    want = exact_batch(batch)
    batch[0][0][:] = 7
    batch[1][0][:] = -1
    assert not np.shares_memory(batch[0][0], batch[0][1])
    assert exact_batch(batch)[1] == want[1]
    assert exact_batch(index.search_batch(queries, 5)) == want


def test_search_memory_does_not_grow_with_the_query_record():
    # A record of 1,000,000 bins (F is 5, so each bin many times over) against
    # a one-item index: the search's peak resident growth stays far below the
    # kilobyte per bin that tables for every bin at once would take.
    result = run_python("""
        import resource
        import numpy as np
        import korvane as K
        enc = K.SpectralEncoder(8, 3, 4, 4, 4)
        ix = K.SpectralIndex(enc)
        ix.add_embeddings([[1.0, 2.0, 0.5, -1.0, 3.0, 0.0, -2.0, 1.5]])
        ix.search(K.SpectralCodes([1], [1], [1], 1), 1)  # first-use tables
        rng = np.random.default_rng(5)
        n = 1_000_000
        q = K.SpectralCodes(rng.integers(0, 5, n).astype(np.uint16), rng.integers(0, 16, n).astype(np.uint8),
                            rng.integers(0, 16, n).astype(np.uint8), 3)
        peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        ids, scores = ix.search(q, 5)
        print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - peak, ids.tolist(), scores.shape)
    """, timeout=120)
    assert result.returncode == 0, result.stderr
    grown_kib, rest = result.stdout.split(" ", 1)
    assert rest.strip() == "[0] (1,)"
    assert int(grown_kib) < 64 * 1024


@pytest.mark.parametrize("form", ["array", "list of arrays"])
def test_search_batch_memory_is_bounded_by_a_chunk_of_queries(form):
    # 100,000 query rows of dim 768 (307 MB): a search_batch that copied and
    # encoded them all before the first search grew by about 1 GB. Growth
    # beyond the input and the results stays within a few chunks of rows.
    result = run_python(f"""
        import resource
        import numpy as np
        import korvane as K
        enc = K.SpectralEncoder(768, 16, 8, 8, 8)
        ix = K.SpectralIndex(enc)
        rng = np.random.default_rng(3)
        ix.add_embeddings(rng.standard_normal((4, 768), dtype=np.float32))
        ix.search_batch(rng.standard_normal((2, 768), dtype=np.float32), 1)  # first-use tables
        queries = rng.standard_normal((100_000, 768), dtype=np.float32)
        if {form!r} == "list of arrays":
            queries = list(queries)
        peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        ids, scores = ix.search_batch(queries, 1)
        print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - peak, len(ids), len(scores))
    """, timeout=120)
    assert result.returncode == 0, result.stderr
    grown_kib, rest = result.stdout.split(" ", 1)
    assert rest.strip() == "100000 100000"
    # The results themselves: two one-element arrays per query.
    assert int(grown_kib) < 200 * 1024


# ---- code records outside the index's limits -------------------------------

# For SpectralEncoder(8, 3, 4, 4, 4): F = 5 bins, 16 entries in every grid.
BAD_CODES = {
    "bin at F": ([5], [0], [0], 0),
    "bin far past F": ([60000], [0], [0], 0),
    "magnitude code at grid end": ([0], [16], [0], 0),
    "phase code at grid end": ([0], [0], [16], 0),
    "norm code at grid end": ([0], [0], [0], 16),
    "mag_q shorter than idx": ([0, 1], [0], [0, 0], 0),
    "phase_q shorter than idx": ([0, 1], [0, 0], [0], 0),
}


@pytest.mark.parametrize("fields", BAD_CODES.values(), ids=BAD_CODES.keys())
def test_records_outside_limits_are_refused(index, query, fields):
    bad = K.SpectralCodes(*fields)
    before = exact(index.search(query, 10))
    with pytest.raises(ValueError, match="^invalid input: "):
        index.add([query, bad])
    assert len(index) == 5
    assert exact(index.search(query, 10)) == before
    with pytest.raises(ValueError, match="^invalid input: "):
        index.search(bad, 3)


@pytest.mark.parametrize("fields", BAD_CODES.values(), ids=BAD_CODES.keys())
def test_refusal_comes_after_the_empty_result(enc, fields):
    empty_index = K.SpectralIndex(enc)
    assert empty_index.search(K.SpectralCodes(*fields), 3)[0].size == 0


def test_records_at_the_limits_are_accepted(enc, index):
    # mag_q and phase_q may run past idx; the extra entries are not looked at.
    edge = K.SpectralCodes([4, 0], [15, 0, 255], [15, 0, 255], 15)
    index.add([edge])
    assert len(index) == 6
    assert index.search(edge, 6)[0].size == 6
    assert index.search(K.SpectralCodes([], [], [], 60000), 3)[0].size == 0


def test_record_outside_grids_replaced_before_construction():
    enc = K.SpectralEncoder(8, 3, 4, 4, 4)
    enc.set_grids(0.1, 1.0, [0.5, 1.0], [0.0] * 16, 0.5, 2.0, [1.0] * 16)
    ix = K.SpectralIndex(enc)
    ix.add([K.SpectralCodes([1], [1], [0], 0)])
    with pytest.raises(ValueError, match="^invalid input: "):
        ix.add([K.SpectralCodes([1], [2], [0], 0)])
    assert len(ix) == 1


@pytest.mark.parametrize("grid", ["mag", "norm"])
def test_raw_vectors_through_an_empty_grid_are_refused(grid):
    enc = K.SpectralEncoder(8, 3, 4, 4, 4)
    grids = {"mag": enc.mag_grid.tolist(), "norm": enc.norm_grid.tolist(), grid: []}
    enc.set_grids(0.1, 1.0, grids["mag"], enc.phase_grid.tolist(), 0.5, 2.0, grids["norm"])
    ix = K.SpectralIndex(enc)
    with pytest.raises(ValueError, match="^invalid input: "):
        ix.add_embeddings([[1.0] * 8])
    with pytest.raises(ValueError, match="^invalid input: "):
        ix.search_batch([[1.0] * 8], 2)
    assert len(ix) == 0


# ---- ranking order ---------------------------------------------------------


@pytest.mark.parametrize("k", [1, 3, 6, 10])
def test_equal_scores_rank_by_id(enc, query, k):
    ix = K.SpectralIndex(enc)
    ix.add([query] * 6)
    ids, scores = ix.search(query, k)
    assert ids.tolist() == list(range(min(k, 6)))
    assert len(set(scores.view(np.uint32).tolist())) == 1


def nan_index():
    enc = K.SpectralEncoder(8, 3, 4, 4, 4)
    phase = [i * 2 * math.pi / 16 for i in range(16)]
    mag = [0.5, float("nan"), 1.0] + [0.25] * 13
    enc.set_grids(0.1, 1.0, mag, phase, 0.5, 2.0, [1.0] * 16)
    ix = K.SpectralIndex(enc)
    ix.add([
        K.SpectralCodes([1], [1], [0], 0),  # NaN magnitude: NaN score
        K.SpectralCodes([1], [2], [0], 0),  # in phase: positive
        K.SpectralCodes([1], [2], [8], 0),  # opposite phase: negative
        K.SpectralCodes([1], [1], [0], 0),  # NaN
        K.SpectralCodes([1], [2], [0], 0),  # ties with id 1
    ])
    return ix


@pytest.mark.parametrize("k, want", [(1, [1]), (3, [1, 4, 2]), (4, [1, 4, 2, 0]), (5, [1, 4, 2, 0, 3])])
def test_nan_scores_rank_last(k, want):
    ids, scores = nan_index().search(K.SpectralCodes([1], [2], [0], 0), k)
    assert ids.tolist() == want
    finite = [s for s in scores.tolist() if not math.isnan(s)]
    assert finite[0] > 0 and (len(finite) < 3 or finite[2] < 0)
    assert sum(math.isnan(s) for s in scores.tolist()) == max(0, k - 3)
