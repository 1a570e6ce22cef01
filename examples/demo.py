"""Encode, index, search, save and reload a few thousand sample vectors."""

import ctypes
import gc
import os
import tempfile
import time

import numpy as np

import korvane

DIM, TOP_K, MAG_BITS, PHASE_BITS, NORM_BITS = 384, 48, 6, 6, 8
N_ITEMS, N_QUERIES, K = 4000, 100, 10


def sample_vectors(rng, n):
    """Unit vectors whose spectra decay with frequency, as smooth signals do."""
    f = DIM // 2 + 1
    spectra = (rng.standard_normal((n, f)) + 1j * rng.standard_normal((n, f))) * np.exp(-0.08 * np.arange(f))
    vectors = np.fft.irfft(spectra, n=DIM)
    vectors /= np.linalg.norm(vectors, axis=1, keepdims=True)
    return vectors.astype(np.float32)


class _Mallinfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks",
                 "keepcost")]


def heap_in_use():
    """Bytes the C allocator has handed out (heap and mapped blocks)."""
    libc = ctypes.CDLL(None)
    libc.mallinfo2.restype = _Mallinfo2
    info = libc.mallinfo2()
    return info.uordblks + info.hblkhd


def timed(fn, *args):
    start = time.perf_counter()
    out = fn(*args)
    return out, time.perf_counter() - start


def main():
    rng = np.random.default_rng(7)
    items = sample_vectors(rng, N_ITEMS)
    picks = rng.choice(N_ITEMS, size=N_QUERIES, replace=False)
    noise = 0.3 * items.std() * rng.standard_normal((N_QUERIES, DIM)).astype(np.float32)
    queries = items[picks] + noise
    queries /= np.linalg.norm(queries, axis=1, keepdims=True)

    encoder = korvane.SpectralEncoder(DIM, TOP_K, MAG_BITS, PHASE_BITS, NORM_BITS)
    rows = items.tolist()
    _, t_cal = timed(encoder.calibrate, [v for row in rows[:500] for v in row])
    print(f"{encoder!r}, calibrated on 500 rows in {t_cal * 1e3:.1f} ms "
          f"(mag grid {encoder.mag_lo:.4g} .. {encoder.mag_hi:.4g})")

    retention = korvane.spectral_energy_retention(rows[:500], DIM, [8, 16, 32, TOP_K, 96])
    print("energy kept by the k strongest bins:", ", ".join(f"k={k}: {r:.3f}" for k, r in retention))

    gc.collect()
    before = heap_in_use()
    index = korvane.SpectralIndex(encoder)
    _, t_add = timed(index.add_embeddings, items)
    resident = heap_in_use() - before
    raw = items.nbytes
    print(f"indexed {len(index)} vectors in {t_add:.2f} s ({N_ITEMS / t_add:,.0f} vectors/s); "
          f"the index holds {resident:,} bytes in memory, {resident / N_ITEMS:.0f} per vector "
          f"({raw / resident:.1f}x smaller than the float32 vectors; packed codes: "
          f"{index.bytes_per_chunk()} bytes per vector)")

    qrows = queries.tolist()
    (ids, scores), t_search = timed(index.search_batch, qrows, K)
    print(f"searched {N_QUERIES} queries in {t_search * 1e3:.1f} ms "
          f"({t_search / N_QUERIES * 1e3:.2f} ms per query over {len(index)} items)")

    exact = np.argsort(-(queries @ items.T), axis=1)[:, :K]
    recall = np.mean([len(set(ids[q].tolist()) & set(exact[q].tolist())) / K for q in range(N_QUERIES)])
    self_hits = np.mean([ids[q][0] == picks[q] for q in range(N_QUERIES)])
    print(f"recall@{K} against exact cosine search: {recall:.3f}; "
          f"query's source vector ranked first: {self_hits:.0%}")
    print(f"first query: ids {ids[0][:5].tolist()}, scores {np.round(scores[0][:5], 4).tolist()}")

    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "demo.krvn")
        written, t_save = timed(index.save, path)
        loaded, t_load = timed(korvane.SpectralIndex.load, path)
        print(f"saved {written:,} bytes in {t_save * 1e3:.1f} ms (file {os.path.getsize(path):,} bytes), "
              f"loaded {len(loaded)} items in {t_load * 1e3:.1f} ms")
        ids2, scores2 = loaded.search_batch(qrows, K)
        same = all(np.array_equal(a, b) for a, b in zip(ids, ids2)) and all(
            a.tobytes() == b.tobytes() for a, b in zip(scores, scores2))
        print("reloaded index answers identically (ids and score bits):", "yes" if same else "NO")
        if not same:
            raise SystemExit(1)


if __name__ == "__main__":
    main()
