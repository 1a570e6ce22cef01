"""Search time and resident memory per item, side by side in one run:
korvane, the NumPy implementation of the same codec and scoring
(numpy_codec.py), and faiss-cpu's IndexPQ(dim, 64, 8) when it is installed.
Gaussian data and smooth signals; one pre-encoded query and a batch."""

import argparse
import ctypes
import gc
import time

import numpy as np

import korvane
from numpy_codec import numpy_dense_rows, numpy_encode, numpy_search

try:
    import faiss
except ImportError:
    faiss = None


class _Mallinfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks",
                 "keepcost")]


_libc = ctypes.CDLL(None)
_libc.mallinfo2.restype = _Mallinfo2


def heap_in_use():
    """Bytes the C allocator has handed out and not taken back (heap and
    mapped blocks): what an index holds, counted the same way for all three."""
    info = _libc.mallinfo2()
    return info.uordblks + info.hblkhd


def best_of(reps, fn, *args):
    best, out = float("inf"), None
    for _ in range(reps):
        t0 = time.perf_counter()
        out = fn(*args)
        best = min(best, time.perf_counter() - t0)
    return best, out


def resident(build):
    """What `build()` returns, and the memory it holds."""
    gc.collect()
    before = heap_in_use()
    out = build()
    gc.collect()
    return out, heap_in_use() - before


def gaussian(rng, n, dim):
    return rng.standard_normal((n, dim), dtype=np.float32)


def smooth(rng, n, dim, block=50000):
    """Signals whose spectra decay with frequency."""
    f = dim // 2 + 1
    decay = np.exp(-0.08 * np.arange(f))
    out = np.empty((n, dim), dtype=np.float32)
    for i in range(0, n, block):
        m = min(block, n - i)
        spectra = (rng.standard_normal((m, f)) + 1j * rng.standard_normal((m, f))) * decay
        out[i:i + m] = np.fft.irfft(spectra, n=dim)
    return out


def run(name, x, queries, args):
    n, dim = x.shape
    f = dim // 2 + 1
    enc = korvane.SpectralEncoder(dim, args.top_k, 8, 8, 8)
    grids = (enc.mag_grid, enc.phase_grid, enc.norm_grid)
    rows = []

    index, used = resident(lambda: _korvane_index(enc, x))
    code = enc.encode(queries[0])
    t1, _ = best_of(args.reps, index.search, code, 64)
    tb, _ = best_of(max(1, args.reps // 5), index.search_batch, queries, 64)
    rows.append(("korvane", t1, tb, used / n))
    del index
    gc.collect()

    dense, used = resident(lambda: _numpy_dense(x, args.top_k, f, grids))
    q = numpy_encode(queries[:1], args.top_k, *grids)
    query = tuple(v[0] for v in q)
    t1, _ = best_of(max(1, args.reps // 5), numpy_search, dense, query, dim, 64, *grids)
    tb = None
    if not args.skip_numpy_batch:
        def numpy_batch():
            qs = numpy_encode(queries, args.top_k, *grids)
            return [numpy_search(dense, tuple(v[i] for v in qs), dim, 64, *grids) for i in range(len(queries))]
        tb, _ = best_of(1, numpy_batch)
    rows.append(("NumPy implementation", t1, tb, used / n))
    del dense
    gc.collect()

    if faiss is not None:
        faiss.omp_set_num_threads(1)
        pq, used = resident(lambda: _faiss_index(x, dim))
        t1, _ = best_of(args.reps, pq.search, queries[:1], 64)
        tb, _ = best_of(max(1, args.reps // 5), pq.search, queries, 64)
        rows.append(("faiss-cpu IndexPQ(dim, 64, 8)", t1, tb, used / n))
        del pq
        gc.collect()

    print(f"\n{name}: {n:,} items, dim {dim}, top_k {args.top_k}, 8/8/8 bits; "
          f"search for the best 64, one thread; bytes_per_chunk() = {enc.bytes_per_chunk()}")
    print(f"  {'':<32}{'one query':>12}{f'batch of {len(queries)}':>16}{'resident B/item':>18}")
    for label, t1, tb, per_item in rows:
        batch = f"{tb * 1e3 / len(queries):10.3f} ms/q" if tb is not None else f"{'skipped':>14}"
        print(f"  {label:<32}{t1 * 1e3:9.3f} ms  {batch}  {per_item:16,.0f}")


def _korvane_index(enc, x):
    index = korvane.SpectralIndex(enc)
    index.add_embeddings(x)
    return index


def _numpy_dense(x, top_k, f, grids, block=20000):
    parts = [numpy_dense_rows(numpy_encode(x[i:i + block], top_k, *grids), f, *grids)
             for i in range(0, len(x), block)]
    mags, phases, norms = zip(*parts)
    return np.concatenate(mags, axis=1), np.concatenate(phases, axis=1), np.concatenate(norms)


def _faiss_index(x, dim):
    pq = faiss.IndexPQ(dim, 64, 8)
    pq.train(x[:min(len(x), 20000)])
    pq.add(x)
    return pq


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--items", type=int, default=100000)
    ap.add_argument("--million", action="store_true", help="1,000,000 items")
    ap.add_argument("--dim", type=int, default=768)
    ap.add_argument("--top-k", type=int, default=64)
    ap.add_argument("--queries", type=int, default=20)
    ap.add_argument("--reps", type=int, default=20)
    ap.add_argument("--skip-numpy-batch", action="store_true")
    args = ap.parse_args()
    if args.million:
        args.items = 1000000
    if faiss is None:
        print("faiss-cpu is not installed: its column is skipped (pip install faiss-cpu to add it)")
    rng = np.random.default_rng(11)
    for name, make in (("Gaussian data", gaussian), ("smooth signals", smooth)):
        x = make(rng, args.items, args.dim)
        noise = rng.standard_normal((args.queries, args.dim), dtype=np.float32)
        queries = x[:args.queries] + np.float32(0.05) * x[:args.queries].std(axis=1, keepdims=True) * noise
        run(name, x, queries, args)
        del x
        gc.collect()


if __name__ == "__main__":
    main()
