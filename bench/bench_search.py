"""Encode, add and search throughput, side by side with an exact float32
brute-force search in NumPy (the baseline) over the same vectors."""

import argparse
import time

import numpy as np

import korvane


def best_of(reps, fn, *args):
    best, out = float("inf"), None
    for _ in range(reps):
        t0 = time.perf_counter()
        out = fn(*args)
        best = min(best, time.perf_counter() - t0)
    return best, out


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--items", type=int, default=20000)
    ap.add_argument("--queries", type=int, default=50)
    ap.add_argument("--dim", type=int, default=384)
    ap.add_argument("--top-k", type=int, default=48)
    args = ap.parse_args()

    rng = np.random.default_rng(3)
    f = args.dim // 2 + 1
    spectra = (rng.standard_normal((args.items, f)) + 1j * rng.standard_normal((args.items, f))) * np.exp(
        -0.08 * np.arange(f))
    items = np.fft.irfft(spectra, n=args.dim).astype(np.float32)
    items /= np.linalg.norm(items, axis=1, keepdims=True)
    queries = items[: args.queries] + 0.02 * rng.standard_normal((args.queries, args.dim)).astype(np.float32)
    rows, qrows = items.tolist(), queries.tolist()

    enc = korvane.SpectralEncoder(args.dim, args.top_k, 6, 6, 8)
    t_enc, _ = best_of(3, enc.encode_batch, rows)
    index = korvane.SpectralIndex(enc)
    t_add, _ = best_of(1, index.add_embeddings, rows)
    t_korvane, (ids, _) = best_of(3, index.search_batch, qrows, 10)

    def brute():
        return np.argsort(-(queries @ items.T), axis=1)[:, :10]

    t_numpy, exact = best_of(3, brute)
    recall = np.mean([len(set(ids[q].tolist()) & set(exact[q].tolist())) / 10 for q in range(args.queries)])

    print(f"{args.items} items, dim {args.dim}, top_k {args.top_k}, {args.queries} queries")
    print(f"{'encode_batch':<34}{t_enc * 1e3:10.1f} ms  ({args.items / t_enc:,.0f} vectors/s)")
    print(f"{'add_embeddings':<34}{t_add * 1e3:10.1f} ms")
    print(f"{'search_batch, top 10':<34}{t_korvane / args.queries * 1e3:10.3f} ms/query")
    print(f"{'numpy float32 exact (baseline)':<34}{t_numpy / args.queries * 1e3:10.3f} ms/query")
    dense = args.items * (2 * f + 1) * 4
    print(f"{'codes (total_bytes)':<34}{index.total_bytes():>10,} B")
    print(f"{'dense search arrays (resident)':<34}{dense:>10,} B")
    print(f"{'float32 vectors (baseline)':<34}{items.nbytes:>10,} B")
    print(f"recall@10 against the exact search: {recall:.3f}")


if __name__ == "__main__":
    main()
