import numpy as np
import pytest

from korvane import spectral_energy_retention as retention
from helpers import notes

THIRD = 0.3333333432674408  # 1/3 in single precision
TWO_THIRDS = 0.6666666865348816


def reference(batch, dim, ks):
    """Pooled retained-energy ratios computed in double precision."""
    x = np.asarray(batch, dtype=np.float64).reshape(-1, dim)
    x = x / np.maximum(np.linalg.norm(x, axis=1, keepdims=True), 1e-9)
    f = dim // 2 + 1
    power = -np.sort(-np.abs(np.fft.fft(x, axis=1)[:, :f]) ** 2, axis=1)
    total = power.sum()
    return [1.0 if k in (0, f) else power[:, :k].sum() / total for k in ks]


@pytest.mark.parametrize("embeddings", [[], [[], []], ((),)])
@pytest.mark.parametrize("dim", [0, 1, 4, 7])
@pytest.mark.parametrize("ks", [[], [1], [100, 0]])
def test_no_values_give_no_pairs(embeddings, dim, ks):
    assert retention(embeddings, dim, ks) == []


def test_single_row_example_exact():
    result = retention([[1, 0, 0, 0]], 4, [0, 1, 2, 3, 1])
    assert result == [(0, 1.0), (1, THIRD), (2, TWO_THIRDS), (3, 1.0), (1, THIRD)]
    assert all(type(k) is int and type(r) is float for k, r in result)


@pytest.mark.parametrize("embeddings", [[[1, 0], [0, 0]], [[1], [0, 0, 0]], [[], [1, 0, 0, 0], []]])
def test_rows_are_concatenated_before_cutting(embeddings):
    assert retention(embeddings, 4, [1, 2]) == [(1, THIRD), (2, TWO_THIRDS)]


def test_energy_is_pooled_over_the_batch():
    rng = np.random.default_rng(1)
    batch = rng.standard_normal((6, 10)).astype(np.float32).tolist()
    ks = [1, 2, 3, 4, 5, 6]
    got = retention(batch, 10, ks)
    assert [k for k, _ in got] == ks
    assert [r for _, r in got] == pytest.approx(reference(batch, 10, ks), rel=1e-5)
    # Vector length does not matter: each row is normalised first.
    scaled = [[v * s for v in row] for row, s in zip(batch, [1e-3, 1, 7, 1e3, 0.5, 2])]
    assert [r for _, r in retention(scaled, 10, ks)] == pytest.approx([r for _, r in got], rel=1e-5)


@pytest.mark.parametrize(
    "batch, ks, want",
    [
        # A zero row adds no energy.
        ([[1, 0, 0, 0], [0, 0, 0, 0]], [1, 2], [(1, THIRD), (2, TWO_THIRDS)]),
        # No energy at all: 0.0 between the ends, 1.0 at k = 0 and k = F.
        ([[0, 0, 0, 0], [0, 0, 0, 0]], [0, 1, 2, 3], [(0, 1.0), (1, 0.0), (2, 0.0), (3, 1.0)]),
        # A row whose sum of squares overflows is scaled to zeros.
        ([[1e30] * 4, [1, 0, 0, 0]], [1, 2], [(1, THIRD), (2, TWO_THIRDS)]),
        ([[1e30, -1e30, 1e30, 3e30]], [0, 1, 3], [(0, 1.0), (1, 0.0), (3, 1.0)]),
    ],
)
def test_rows_without_energy(batch, ks, want):
    assert retention(batch, 4, ks) == want


@pytest.mark.parametrize("dim", [8, 9])
def test_largest_k_is_named(dim):
    row = [[1.0] * dim]
    with pytest.raises(ValueError) as info:
        retention(row, dim, [3, 9, 7])
    assert info.value.args == ("top_k (9) exceeds F (5)",)
    assert retention(row, dim, [5]) == [(5, 1.0)]


def test_dim_one_has_one_bin():
    assert retention([[0.5, -2.0, 3.0]], 1, [0, 1, 1]) == [(0, 1.0), (1, 1.0), (1, 1.0)]
    with pytest.raises(ValueError, match=r"^top_k \(2\) exceeds F \(1\)$"):
        retention([[0.5]], 1, [2])


@pytest.mark.parametrize(
    "embeddings, dim, ks, message",
    [
        ([[1.0] * 7], 4, [100], "buffer length 7 is not a multiple of dimension 4"),
        ([[1.0] * 3], 4, [], "buffer length 3 is not a multiple of dimension 4"),
        ([[1.0]], 0, [1], "buffer length 1 is not a multiple of dimension 0"),
        ([[1.0, 2.0]], 0, [], "buffer length 2 is not a multiple of dimension 0"),
    ],
)
def test_length_is_checked_first(embeddings, dim, ks, message):
    with pytest.raises(ValueError) as info:
        retention(embeddings, dim, ks)
    assert info.value.args == (message,)


@pytest.mark.parametrize("value", [float("nan"), float("inf"), float("-inf"), 1e39])
@pytest.mark.parametrize("ks", [[1], [0], []])
def test_rows_with_nan_or_infinity_are_refused(value, ks):
    batch = [[1, 0, 0, 0], [0, 2, value, 0]]
    with pytest.raises(ValueError, match="^invalid input: "):
        retention(batch, 4, ks)


@pytest.mark.parametrize(
    "embeddings, dim, ks, exc, note",
    [
        ([[1.0] * 4], 4, "ab", TypeError, "top_k_list"),
        ([[1.0] * 4], 4, 3, TypeError, "top_k_list"),
        ([[1.0] * 4], 4, [1, -1], OverflowError, "top_k_list"),
        ([[1.0] * 4], 4, [1.0], TypeError, "top_k_list"),
        ("bad", 4, [2**64], OverflowError, "top_k_list"),
        ("bad", -1, [1], OverflowError, "dim"),
        ([[1.0] * 4], 4.0, [1], TypeError, "dim"),
        ([[1.0] * 4], 2**64, "ab", OverflowError, "dim"),
        ("abcd", 4, [1], TypeError, None),
        (["abcd"], 4, [1], TypeError, None),
        ([[1.0, 2.0, "x", 4.0]], 4, [1], TypeError, None),
        ([{1.0, 2.0}], 4, [1], TypeError, None),
    ],
)
def test_conversion_errors(embeddings, dim, ks, exc, note):
    with pytest.raises(exc) as info:
        retention(embeddings, dim, ks)
    assert type(info.value) is exc
    assert notes(info.value) == (None if note is None else [f"while processing '{note}'"])


def test_str_message_and_keywords():
    with pytest.raises(TypeError, match="^Can't extract `str` to `Vec`$"):
        retention(["abcd"], 4, [1])
    assert retention(top_k_list=[1], dim=4, embeddings=[[1, 0, 0, 0]]) == [(1, THIRD)]
