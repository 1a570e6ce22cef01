"""A straightforward NumPy implementation of the same codec and scoring: the
baseline the benchmarks measure korvane against in the same run."""

import numpy as np


def numpy_encode(x, top_k, mag_grid, phase_grid, norm_grid):
    """The codec in NumPy, batch at a time: scale to unit length, real FFT,
    the top_k strongest bins, nearest grid entries in the logarithm (magnitude,
    norm) and by plain difference (phase). Grids must be ascending."""
    x = np.asarray(x, dtype=np.float32)
    norms = np.sqrt(np.einsum("ij,ij->i", x, x, dtype=np.float32))
    scaled = x * (np.float32(1.0) / np.maximum(norms, np.float32(1e-9)))[:, None]
    spectrum = np.fft.rfft(scaled, axis=1)
    mags = np.abs(spectrum).astype(np.float32)
    part = np.argpartition(-mags, top_k - 1, axis=1)[:, :top_k]
    order = np.argsort(-np.take_along_axis(mags, part, 1), axis=1, kind="stable")
    idx = np.take_along_axis(part, order, 1)
    kept = np.take_along_axis(spectrum, idx, 1)
    phases = np.angle(kept).astype(np.float32)
    phases[phases < 0] += np.float32(2 * np.pi)

    def nearest(values, table):
        pos = np.clip(np.searchsorted(table, values), 1, len(table) - 1)
        lower = np.abs(values - table[pos - 1]) <= np.abs(table[pos] - values)
        return pos - lower

    with np.errstate(divide="ignore", invalid="ignore"):
        mag_q = nearest(np.log(np.abs(kept).astype(np.float32)), np.log(mag_grid))
        norm_q = nearest(np.log(norms), np.log(norm_grid))
    phase_q = nearest(phases, phase_grid)
    return idx.astype(np.uint16), mag_q.astype(np.uint8), phase_q.astype(np.uint8), norm_q.astype(np.uint16)


def numpy_dense_rows(codes, f, mag_grid, phase_grid, norm_grid):
    """The decoded dense arrays a plain implementation searches, one column
    per bin so that scoring reads each bin's values contiguously: F columns
    of n magnitudes and phases (0 where a bin was not kept) and n norms."""
    idx, mag_q, phase_q, norm_q = codes
    n = idx.shape[0]
    mags = np.zeros((f, n), dtype=np.float32)
    phases = np.zeros((f, n), dtype=np.float32)
    items = np.arange(n)[:, None]
    mags[idx, items] = np.asarray(mag_grid, dtype=np.float32)[mag_q]
    phases[idx, items] = np.asarray(phase_grid, dtype=np.float32)[phase_q]
    return mags, phases, np.asarray(norm_grid, dtype=np.float32)[norm_q]


def numpy_search(dense, query, dim, top_k, mag_grid, phase_grid, norm_grid):
    """Column-wise scoring of every item against one encoded query, then the
    top_k best, highest first."""
    mags, phases, norms = dense
    idx, mag_q, phase_q, norm_q = query
    f = mags.shape[0]
    q = np.asarray(mag_grid, dtype=np.float32)[mag_q]
    phi = np.asarray(phase_grid, dtype=np.float32)[phase_q]
    a = np.where((idx > 0) & (idx < f - 1), np.float32(2) * q, q)
    s = np.zeros(mags.shape[1], dtype=np.float32)
    for j, h in enumerate(idx):
        s += (a[j] * mags[h]) * np.cos(phi[j] - phases[h])
    d = (np.float32(norm_grid[norm_q]) * norms) * np.float32(dim)
    with np.errstate(divide="ignore", invalid="ignore"):
        s = np.where(d > 0, s / d, np.float32(0))
    best = np.argpartition(-s, min(top_k, len(s)) - 1)[:top_k]
    best = best[np.argsort(-s[best], kind="stable")]
    return best, s[best]
