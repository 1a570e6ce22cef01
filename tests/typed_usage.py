"""A typed program using every member of korvane, in the input forms the
module takes. test_stubs.py has mypy check it against the installed stubs
(every assert_type must hold, every `type: ignore` must be needed) and then
runs it, so what the stubs promise is what the module does."""
import os
import sys
from collections.abc import Callable
from typing import Any, assert_type

import numpy as np
from numpy.typing import NDArray

import korvane


def array_of(a: NDArray[Any], dtype: type[np.generic]) -> None:
    assert type(a) is np.ndarray and a.ndim == 1 and a.dtype == dtype, (type(a), a.dtype)


def refuses(call: Callable[[], object], error: type[Exception]) -> None:
    try:
        call()
    except error:
        return
    raise AssertionError(f"no {error.__name__}")


def main(path: str) -> None:
    assert_type(korvane.__version__, str)
    assert isinstance(korvane.__version__, str)
    assert_type(korvane.__all__, list[str])

    enc = korvane.SpectralEncoder(dim=16, top_k=6, mag_bits=6, phase_bits=6, norm_bits=8)
    rows = np.random.default_rng(0).standard_normal((40, 16))
    rows /= np.linalg.norm(rows, axis=1, keepdims=True)  # unit length, as the norm grid expects
    vectors = rows.astype(np.float32)

    for count in (enc.dim, enc.top_k, enc.f, enc.bytes_per_chunk()):
        assert_type(count, int)
        assert type(count) is int
    for end in (enc.mag_lo, enc.mag_hi):
        assert_type(end, float)
        assert type(end) is float
    for grid in (enc.mag_grid, enc.phase_grid, enc.norm_grid):
        assert_type(grid, NDArray[np.float32])
        array_of(grid, np.float32)

    # Samples and vectors: float32 and float64 arrays, integer arrays, lists
    # and tuples of floats, ints and NumPy scalars.
    enc.calibrate(vectors[:10].ravel())
    enc.calibrate(rows[:10].ravel().tolist())
    codes = enc.encode(vectors[0])
    assert_type(codes, korvane.SpectralCodes)
    for e in (rows[0], np.arange(16), tuple(range(1, 17)), [np.float32(1.0)] * 16):
        assert type(enc.encode(e)) is korvane.SpectralCodes
    batch = enc.encode_batch(vectors[:4])
    assert_type(batch, list[korvane.SpectralCodes])
    assert type(batch) is list and all(type(c) is korvane.SpectralCodes for c in batch)
    assert len(enc.encode_batch([rows[0], vectors[1].tolist(), tuple(range(16))])) == 3

    assert_type(codes.idx, NDArray[np.uint16])
    array_of(codes.idx, np.uint16)
    for q in (codes.mag_q, codes.phase_q):
        assert_type(q, NDArray[np.uint8])
        array_of(q, np.uint8)
    for n in (codes.norm_q, codes.k):
        assert_type(n, int)
        assert type(n) is int
    copy = korvane.SpectralCodes(idx=codes.idx, mag_q=bytes(codes.mag_q), phase_q=bytearray(codes.phase_q),
                                 norm_q=np.uint16(codes.norm_q))
    assert copy.idx.tolist() == codes.idx.tolist() and copy.mag_q.tolist() == codes.mag_q.tolist()
    korvane.SpectralCodes(codes.idx.tolist(), codes.mag_q.astype(np.int64), list(codes.phase_q), codes.norm_q)

    index = korvane.SpectralIndex(enc)
    index.add([codes, copy])
    index.add((codes,))
    index.add_embeddings(vectors)
    index.add_embeddings(rows.tolist())
    assert_type(len(index), int)
    assert len(index) == 83
    ids, scores = index.search(codes, np.int64(10))
    assert_type(ids, NDArray[np.uint32])
    assert_type(scores, NDArray[np.float32])
    array_of(ids, np.uint32)
    array_of(scores, np.float32)
    id_lists, score_lists = index.search_batch(query_embeddings=rows[:3], top_k=5)
    assert_type(id_lists, list[NDArray[np.uint32]])
    assert_type(score_lists, list[NDArray[np.float32]])
    assert type(id_lists) is list and type(score_lists) is list and len(id_lists) == len(score_lists) == 3
    for i, s in zip(id_lists, score_lists):
        array_of(i, np.uint32)
        array_of(s, np.float32)
    for size in (index.bytes_per_chunk(), index.total_bytes()):
        assert_type(size, int)
        assert type(size) is int

    written = index.save(path)
    assert_type(written, int)
    assert written == os.path.getsize(path)
    same = korvane.SpectralIndex.load(path)
    assert_type(same, korvane.SpectralIndex)
    assert type(same) is korvane.SpectralIndex and len(same) == len(index)
    assert type(index.load(path=path)) is korvane.SpectralIndex

    pairs = korvane.spectral_energy_retention(vectors, 16, [0, 3, np.int32(9)])
    assert_type(pairs, list[tuple[int, float]])
    assert type(pairs) is list and all(type(k) is int and type(r) is float for k, r in pairs)
    korvane.spectral_energy_retention(embeddings=rows.tolist(), dim=np.uint64(16), top_k_list=np.array([1, 2]))

    enc.set_grids(0.001, 2, enc.mag_grid, enc.phase_grid.tolist(), np.float32(0.5), 2.0, tuple(enc.norm_grid))

    # What the module refuses, the stubs refuse.
    refuses(lambda: enc.encode("0123456789abcdef"), TypeError)  # type: ignore[arg-type]
    refuses(lambda: index.add(codes), TypeError)  # type: ignore[arg-type]
    refuses(lambda: index.search(codes, 2.0), TypeError)  # type: ignore[arg-type]
    refuses(lambda: index.save(path.encode()), TypeError)  # type: ignore[arg-type]
    refuses(lambda: korvane.SpectralCodes([1.5], [1], [1], 1), TypeError)  # type: ignore[list-item]
    refuses(lambda: korvane.SpectralEncoder(16, 6, 6, 6), TypeError)  # type: ignore[call-arg]
    refuses(lambda: enc.encode(x=vectors[0]), TypeError)  # type: ignore[call-arg]

    def assign() -> None:
        enc.dim = 32  # type: ignore[misc]

    refuses(assign, AttributeError)

    def subclass() -> None:
        class Index(korvane.SpectralIndex):  # type: ignore[misc]
            pass

    refuses(subclass, TypeError)


if __name__ == "__main__":
    main(sys.argv[1])
