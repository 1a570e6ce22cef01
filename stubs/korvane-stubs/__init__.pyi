# Types of the korvane extension module, for type checkers and editors. The
# module is one compiled file, so its types ship as this stub-only package,
# installed beside it. tests/test_stubs.py checks them against the module.
from collections.abc import Sequence
from typing import Any, SupportsFloat, SupportsIndex, TypeAlias, final

import numpy as np
from numpy.typing import NDArray

__all__ = ["SpectralEncoder", "SpectralCodes", "SpectralIndex", "__version__", "spectral_energy_retention"]

__version__: str

# A number taken as a float (through __float__ or __index__), narrowed to
# single precision on entry.
_Real: TypeAlias = SupportsFloat | SupportsIndex
_RealArray: TypeAlias = NDArray[np.floating[Any] | np.integer[Any] | np.bool_]
# One vector: a sequence of numbers or a 1-D array (float32 and float64 ones
# are read in bulk).
_Vector: TypeAlias = Sequence[_Real] | _RealArray
# Rows of vectors: a 2-D array, or a sequence of vectors; the rows are
# concatenated and cut into vectors of `dim` values.
_Rows: TypeAlias = Sequence[_Vector] | _RealArray
# Integer codes: a sequence of integers or an integer array; 8-bit codes also
# come as bytes or bytearray, one code per byte.
_IntArray: TypeAlias = NDArray[np.integer[Any]]
_Codes16: TypeAlias = Sequence[SupportsIndex] | _IntArray
_Codes8: TypeAlias = bytes | bytearray | Sequence[SupportsIndex] | _IntArray

@final
class SpectralCodes:
    def __new__(cls, idx: _Codes16, mag_q: _Codes8, phase_q: _Codes8, norm_q: SupportsIndex) -> SpectralCodes: ...
    @property
    def idx(self) -> NDArray[np.uint16]: ...
    @property
    def mag_q(self) -> NDArray[np.uint8]: ...
    @property
    def phase_q(self) -> NDArray[np.uint8]: ...
    @property
    def norm_q(self) -> int: ...
    @property
    def k(self) -> int: ...

@final
class SpectralEncoder:
    def __new__(
        cls,
        dim: SupportsIndex,
        top_k: SupportsIndex,
        mag_bits: SupportsIndex,
        phase_bits: SupportsIndex,
        norm_bits: SupportsIndex,
    ) -> SpectralEncoder: ...
    # A flat sample: its values are cut into vectors of `dim` values.
    def calibrate(self, sample: _Vector) -> None: ...
    def encode(self, e: _Vector) -> SpectralCodes: ...
    def encode_batch(self, embeddings: _Rows) -> list[SpectralCodes]: ...
    def bytes_per_chunk(self) -> int: ...
    def set_grids(
        self,
        mag_lo: _Real,
        mag_hi: _Real,
        mag_grid: _Vector,
        phase_grid: _Vector,
        norm_lo: _Real,
        norm_hi: _Real,
        norm_grid: _Vector,
    ) -> None: ...
    @property
    def dim(self) -> int: ...
    @property
    def top_k(self) -> int: ...
    @property
    def f(self) -> int: ...
    @property
    def mag_lo(self) -> float: ...
    @property
    def mag_hi(self) -> float: ...
    @property
    def mag_grid(self) -> NDArray[np.float32]: ...
    @property
    def phase_grid(self) -> NDArray[np.float32]: ...
    @property
    def norm_grid(self) -> NDArray[np.float32]: ...

@final
class SpectralIndex:
    def __new__(cls, encoder: SpectralEncoder) -> SpectralIndex: ...
    def add(self, codes: Sequence[SpectralCodes]) -> None: ...
    def add_embeddings(self, embeddings: _Rows) -> None: ...
    # Ids (insertion order) and scores, best first.
    def search(self, query: SpectralCodes, top_k: SupportsIndex) -> tuple[NDArray[np.uint32], NDArray[np.float32]]: ...
    # One id array and one score array per query vector, in query order.
    def search_batch(
        self, query_embeddings: _Rows, top_k: SupportsIndex
    ) -> tuple[list[NDArray[np.uint32]], list[NDArray[np.float32]]]: ...
    def bytes_per_chunk(self) -> int: ...
    def total_bytes(self) -> int: ...
    # Returns the number of bytes written.
    def save(self, path: str) -> int: ...
    @staticmethod
    def load(path: str) -> SpectralIndex: ...
    def __len__(self) -> int: ...

# (k, share of the batch's spectral energy in each vector's k strongest bins),
# one pair per entry of `top_k_list`, in its order.
def spectral_energy_retention(
    embeddings: _Rows, dim: SupportsIndex, top_k_list: Sequence[SupportsIndex] | _IntArray
) -> list[tuple[int, float]]: ...
