"""Small helpers shared by the Python tests."""

import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import korvane

# For tests that cap a child's address space: under AddressSanitizer (the
# Makefile's py-asan run sets KORVANE_SANITIZED) the shadow memory alone
# passes any such cap.
caps_memory = pytest.mark.skipif(bool(os.environ.get("KORVANE_SANITIZED")),
                                 reason="an address-space cap cannot hold under AddressSanitizer")


def rows(n, dim=8, seed=0):
    """n random vectors of `dim` values, as lists of floats."""
    rng = np.random.default_rng(seed)
    return rng.standard_normal((n, dim)).astype(np.float32).tolist()


def exact(result):
    """A search result as plain lists, scores by bit pattern."""
    ids, scores = result
    return ids.tolist(), scores.view(np.uint32).tolist()


def exact_batch(result):
    """A batch search result as one exact() pair per query."""
    return [exact(pair) for pair in zip(*result)]


def fields(codes):
    """A SpectralCodes record as plain values."""
    return (codes.idx.tolist(), codes.mag_q.tolist(), codes.phase_q.tolist(), codes.norm_q)


def notes(exc):
    """The notes added to an exception, or None when it has none."""
    return getattr(exc, "__notes__", None)


def run_python(code, *flags, timeout=60):
    """Runs `code` in a new interpreter that imports the module under test."""
    env = dict(os.environ, PYTHONPATH=os.path.dirname(korvane.__file__))
    code = f"import sys; sys.path.insert(0, {os.path.dirname(korvane.__file__)!r})\n" + textwrap.dedent(code)
    return subprocess.run([sys.executable, *flags, "-c", code], env=env, capture_output=True, text=True, timeout=timeout)
