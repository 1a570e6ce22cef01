"""Recall@10 against exact cosine search, with add and search times beside it,
in one run: korvane at several top_k and bit widths, the NumPy implementation
of the same codec and scoring (numpy_codec.py) at one of them, and faiss-cpu's
IndexPQ and IndexScalarQuantizer (8 and 4 bits) at similar bytes when it is
installed. Noise-like rows (Gaussian: their energy spreads over every bin, as
sentence embeddings' does) and smooth signals, all scaled to unit length; the
queries are further rows drawn from the same source, not items. Then recall
through a calibrated magnitude grid beside the default one. Times are for one
thread (run with OMP_NUM_THREADS=1)."""

import argparse
import time

import numpy as np

import bench_search
import korvane
from numpy_codec import numpy_dense_rows, numpy_encode, numpy_search

try:
    import faiss
except ImportError:
    faiss = None

K = 10
WIDTHS = ((8, 8, 8), (6, 6, 8), (4, 4, 8))
# Configurations whose recall is measured with and without calibrate.
CALIBRATED = (((8, 8, 8), 48), ((8, 8, 8), None), ((6, 6, 8), 48), ((4, 4, 8), 48), ((4, 4, 8), None))


def unit_rows(x):
    return (x / np.linalg.norm(x, axis=1, keepdims=True)).astype(np.float32)


def gaussian(rng, n, dim):
    return unit_rows(bench_search.gaussian(rng, n, dim))


def smooth(rng, n, dim):
    """Signals whose spectra decay with frequency."""
    return unit_rows(bench_search.smooth(rng, n, dim))


def exact_neighbours(x, queries, block=2000):
    """The K best items by cosine for each query: brute force in float32."""
    out = []
    for i in range(0, len(queries), block):
        s = queries[i:i + block] @ x.T
        best = np.argpartition(-s, K - 1, axis=1)[:, :K]
        out.extend(set(row.tolist()) for row in best)
    return out


def recall(found, exact):
    return float(np.mean([len(set(np.asarray(ids[:K]).tolist()) & e) / K for ids, e in zip(found, exact)]))


def best_of(reps, fn):
    best, out = float("inf"), None
    for _ in range(reps):
        t0 = time.perf_counter()
        out = fn()
        best = min(best, time.perf_counter() - t0)
    return best, out


class Measure:
    """Recall, training time, add time per item and search time per query of
    one method, by dataset."""

    def __init__(self, label, code_bytes):
        self.label, self.code_bytes, self.cells = label, code_bytes, {}

    def set(self, dataset, rec, train_s, add_s, search_s):
        self.cells[dataset] = (rec, train_s, add_s, search_s)


def korvane_run(enc, x, queries, exact, reps):
    add_s, index = best_of(reps, lambda: _korvane_index(enc, x))
    search_s, (ids, _) = best_of(reps, lambda: index.search_batch(queries, K))
    return recall(ids, exact), None, add_s / len(x), search_s / len(queries)


def _korvane_index(enc, x):
    index = korvane.SpectralIndex(enc)
    index.add_embeddings(x)
    return index


def numpy_run(enc, x, queries, exact):
    f = x.shape[1] // 2 + 1
    grids = (enc.mag_grid, enc.phase_grid, enc.norm_grid)
    add_s, dense = best_of(1, lambda: numpy_dense_rows(numpy_encode(x, enc.top_k, *grids), f, *grids))

    def search():
        q = numpy_encode(queries, enc.top_k, *grids)
        return [numpy_search(dense, tuple(v[i] for v in q), x.shape[1], K, *grids)[0] for i in range(len(queries))]

    search_s, ids = best_of(1, search)
    return recall(ids, exact), None, add_s / len(x), search_s / len(queries)


def faiss_run(make, x, queries, exact, reps, train_rows):
    index = make()
    train_s, _ = best_of(1, lambda: index.train(x[:train_rows]))
    add_s, _ = best_of(1, lambda: index.add(x))
    search_s, (_, ids) = best_of(reps, lambda: index.search(queries, K))
    return recall(ids, exact), train_s, add_s / len(x), search_s / len(queries)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--items", type=int, default=20000)
    ap.add_argument("--queries", type=int, default=200)
    ap.add_argument("--dim", type=int, default=384)
    ap.add_argument("--top-k", type=int, nargs="+", default=[16, 48, 96, 0],
                    help="kept bins; 0 stands for all F = dim/2 + 1")
    ap.add_argument("--pq-bytes", type=int, nargs="+", default=[48, 96],
                    help="code sizes of the faiss-cpu IndexPQ rows")
    ap.add_argument("--reps", type=int, default=3, help="best of this many runs for each time")
    ap.add_argument("--train-rows", type=int, default=10000, help="rows faiss-cpu trains on")
    ap.add_argument("--calibration-rows", type=int, default=2000)
    ap.add_argument("--quick", action="store_true",
                    help="10,000 items, 100 queries, top_k 16, 48 and all, IndexPQ at 48 bytes, one run per time")
    args = ap.parse_args()
    if args.quick:
        args.items, args.queries, args.top_k, args.pq_bytes, args.reps = 10000, 100, [16, 48, 0], [48], 1
    dim, f = args.dim, args.dim // 2 + 1
    top_ks = [k if k > 0 else f for k in args.top_k]
    if faiss is not None:
        faiss.omp_set_num_threads(1)
    else:
        print("faiss-cpu is not installed: its rows are skipped (pip install faiss-cpu to add them)")

    rng = np.random.default_rng(23)
    datasets = []
    for name, make in (("noise-like", gaussian), ("smooth", smooth)):
        x = make(rng, args.items, dim)
        queries = make(rng, args.queries, dim)
        datasets.append((name, x, queries, exact_neighbours(x, queries)))

    rows = []
    for mag_bits, phase_bits, norm_bits in WIDTHS:
        for top_k in top_ks:
            enc = korvane.SpectralEncoder(dim, top_k, mag_bits, phase_bits, norm_bits)
            m = Measure(f"korvane top_k {top_k}, {mag_bits}/{phase_bits}/{norm_bits}", enc.bytes_per_chunk())
            for name, x, queries, exact in datasets:
                m.set(name, *korvane_run(enc, x, queries, exact, args.reps))
            rows.append(m)

    enc = korvane.SpectralEncoder(dim, 48, 8, 8, 8)
    m = Measure("NumPy implementation, top_k 48, 8/8/8", enc.bytes_per_chunk())
    for name, x, queries, exact in datasets:
        m.set(name, *numpy_run(enc, x, queries, exact))
    rows.append(m)

    if faiss is not None:
        makers = [(f"faiss-cpu IndexPQ, {b} B", b, lambda b=b: faiss.IndexPQ(dim, b, 8))
                  for b in args.pq_bytes if dim % b == 0]
        for bits, qtype in ((8, faiss.ScalarQuantizer.QT_8bit), (4, faiss.ScalarQuantizer.QT_4bit)):
            makers.append((f"faiss-cpu IndexScalarQuantizer, {bits} bit", dim * bits // 8,
                           lambda qtype=qtype: faiss.IndexScalarQuantizer(dim, qtype)))
        for label, code_bytes, make in makers:
            m = Measure(label, code_bytes)
            for name, x, queries, exact in datasets:
                m.set(name, *faiss_run(make, x, queries, exact, args.reps, min(args.train_rows, len(x))))
            rows.append(m)

    names = [name for name, _, _, _ in datasets]
    both = " / ".join(names)
    print(f"\nrecall@{K} against exact cosine (brute force in float32): {args.items:,} items, {args.queries} queries, "
          f"dim {dim}, unit-length rows; one thread; times best of {args.reps}; add: encoding and storing; "
          f"search: the whole batch of queries, their encoding included; train: faiss-cpu on "
          f"{min(args.train_rows, args.items):,} rows\n")
    print(f"| | code bytes | recall, {names[0]} | recall, {names[1]} | add µs/item, {both} "
          f"| search ms/query, {both} | train s, {both} |")
    print("|---|---|---|---|---|---|---|")
    for m in rows:
        cells = [m.cells[n] for n in names]
        recalls = " | ".join(f"{c[0]:.3f}" for c in cells)
        add = " / ".join(f"{c[2] * 1e6:.1f}" for c in cells)
        search = " / ".join(f"{c[3] * 1e3:.3f}" for c in cells)
        train = " / ".join(f"{c[1]:.1f}" for c in cells) if cells[0][1] is not None else "-"
        print(f"| {m.label} | {m.code_bytes} | {recalls} | {add} | {search} | {train} |")

    print(f"\ncalibrate (first {args.calibration_rows:,} items as the sample) against the default magnitude grid, "
          f"recall@{K}:\n")
    print("| | " + " | ".join(f"{n}, default | {n}, calibrated" for n in names) + " |")
    print("|---|" + "---|---|" * len(names))
    for (mag_bits, phase_bits, norm_bits), top_k in CALIBRATED:
        top_k = top_k or f
        cells = []
        for name, x, queries, exact in datasets:
            enc = korvane.SpectralEncoder(dim, top_k, mag_bits, phase_bits, norm_bits)
            plain = korvane_run(enc, x, queries, exact, 1)[0]
            enc.calibrate(x[:args.calibration_rows].ravel())
            cells.append(f"{plain:.3f} | {korvane_run(enc, x, queries, exact, 1)[0]:.3f}")
        print(f"| top_k {top_k}, {mag_bits}/{phase_bits}/{norm_bits} | " + " | ".join(cells) + " |")


if __name__ == "__main__":
    main()
