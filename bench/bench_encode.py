"""Encode throughput, side by side in one run: encode_batch given a 2-D
float32 array, given lists of Python floats (conversion included),
add_embeddings given the array (encoding and storing), and a straightforward
NumPy implementation of the same codec over the same array."""

import argparse
import time

import numpy as np

import korvane
from numpy_codec import numpy_encode


def best_times(reps, runs):
    """The best time of each run over `reps` rounds; every round runs each
    once in turn, so that a slow spell of a shared machine falls on all."""
    best = [float("inf")] * len(runs)
    for _ in range(reps):
        for i, fn in enumerate(runs):
            t0 = time.perf_counter()
            fn()
            best[i] = min(best[i], time.perf_counter() - t0)
    return best


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--rows", type=int, default=20000)
    ap.add_argument("--dim", type=int, default=768)
    ap.add_argument("--top-k", type=int, default=64)
    ap.add_argument("--bits", type=int, default=8, help="magnitude, phase and norm widths")
    ap.add_argument("--reps", type=int, default=5)
    args = ap.parse_args()

    rng = np.random.default_rng(7)
    x = rng.standard_normal((args.rows, args.dim)).astype(np.float32)
    lists = x.tolist()
    enc = korvane.SpectralEncoder(args.dim, args.top_k, args.bits, args.bits, args.bits)
    grids = (enc.mag_grid, enc.phase_grid, enc.norm_grid)

    # The NumPy implementation agrees with the codec on nearly every code
    # (it rounds differently in places); report the share of kept bins.
    ours = enc.encode_batch(x[:200])
    idx, _, _, _ = numpy_encode(x[:200], args.top_k, *grids)
    agree = np.mean([c.idx.tolist() == i.tolist() for c, i in zip(ours, idx)])

    runs = [
        ("encode_batch, 2-D float32 array", lambda: enc.encode_batch(x)),
        ("encode_batch, lists of floats", lambda: enc.encode_batch(lists)),
        ("add_embeddings, 2-D float32 array", lambda: korvane.SpectralIndex(enc).add_embeddings(x)),
        ("NumPy implementation, same array", lambda: numpy_encode(x, args.top_k, *grids)),
    ]
    timings = list(zip([name for name, _ in runs], best_times(args.reps, [fn for _, fn in runs])))
    base = args.rows / timings[-1][1]
    print(f"encode: {args.rows} rows, dim {args.dim}, top_k {args.top_k}, "
          f"{args.bits}/{args.bits}/{args.bits} bits, best of {args.reps}")
    for name, t in timings:
        rate = args.rows / t
        print(f"  {name:<36}{rate:12,.0f} vectors/s  {rate / base:5.2f}x")
    print(f"  rows whose kept bins the NumPy implementation matches: {agree:.3f}")


if __name__ == "__main__":
    main()
