"""One tensor for couplings averaged over an ensemble.

A coupling measured on a molecule that moves is the average of its value
over the molecule's states, and the alignment is one tensor for all of
them.  So each coupling's design row (the five order-matrix coefficients of
its unit vector, :func:`~kelfit_tools.fitting.tensor_rows`) is averaged
over the members (the models of an ensemble, the frames of a trajectory,
the chains of a symmetric oligomer), and one tensor is fitted to the
averaged rows: a different answer from the mean of one tensor per member.

:class:`RowMeans` keeps running means, one member at a time, so a
trajectory is averaged in one pass without holding its frames; the rows of
identical members are their rows to the bit (``m += (x - m) / k`` leaves
``m`` alone when ``x == m``), so an averaged fit of identical models is the
single model's fit, to the bit.

Where a row's dipolar constant follows the structure's distance
(``bond_lengths="structure"``), the row is weighted by each member's
``r^-3``: the averaged row is ``<r^-3 row> / <r^-3>`` and its distance
``<r^-3>^(-1/3)``, so that the constant of that distance times the row is
the mean of the members' constants times their rows.
"""

from __future__ import annotations

import math
from collections.abc import Iterable, Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np
from numpy.typing import ArrayLike, NDArray

from .fitting import DesignRows, as_vectors, fit, tensor_rows

__all__ = [
    "AveragedRows",
    "Convergence",
    "ConvergenceMeans",
    "RowMeans",
    "average_rows",
]


@dataclass(frozen=True, eq=False)
class AveragedRows:
    """Each coupling's design row averaged over the members of an ensemble.

    Attributes:
        terms: N x 5, the mean of each row's tensor columns.
        weighted: N x 5, the mean of each row's columns weighted by its
            ``r^-3`` (the rows of :attr:`terms` where every member has the
            same distance).
        distances: N, each row's distance ``<r^-3>^(-1/3)`` (angstrom;
            the one distance where every member has the same).
        members: how many members were averaged.
        symmetric: the members include copies related by a symmetry (the
            chains of a symmetric oligomer): the rows determine only the
            tensor the symmetry leaves unchanged, which the fit finds as
            :class:`~kelfit_tools.fitting.DesignRows` ``minimum_norm``.
    """

    terms: NDArray[np.float64]
    weighted: NDArray[np.float64]
    distances: NDArray[np.float64]
    members: int
    symmetric: bool = False

    def __len__(self) -> int:
        return int(self.terms.shape[0])

    def __getitem__(self, keep: Any) -> AveragedRows:
        return AveragedRows(
            self.terms[keep],
            self.weighted[keep],
            self.distances[keep],
            self.members,
            self.symmetric,
        )

    def design(self, by_distance: ArrayLike | None = None) -> DesignRows:
        """The rows to fit: :attr:`weighted` where ``by_distance`` (the rows
        whose constant follows the structure's distance), else
        :attr:`terms`."""
        if by_distance is None:
            return DesignRows(self.terms, self.symmetric)
        mask = np.asarray(by_distance, dtype=bool)
        rows = np.where(mask[:, None], self.weighted, self.terms)
        return DesignRows(rows, self.symmetric)


class RowMeans:
    """Running means of each coupling's design row over members added one
    at a time (no member is kept)."""

    def __init__(self) -> None:
        self.members = 0
        self._terms: NDArray[np.float64] | None = None
        self._weighted: NDArray[np.float64] | None = None
        self._inverse_cube: NDArray[np.float64] | None = None
        self._first: NDArray[np.float64] | None = None
        self._same: NDArray[np.bool_] | None = None

    def add(self, vectors: ArrayLike) -> None:
        """Add one member's N x 3 vectors (their lengths are the distances).

        Raises:
            ValueError: not as many rows as the members before;
                ``kelfit.InputError`` for a vector the fits refuse.
        """
        v = as_vectors(vectors)
        terms = tensor_rows(v)
        # The distances as a single fit reads them from its vectors.
        distance = np.linalg.norm(v, axis=1)
        inverse_cube = distance**-3.0
        weighted = terms * inverse_cube[:, None]
        if self._terms is None:
            self.members = 1
            self._terms, self._weighted = terms.copy(), weighted
            self._inverse_cube, self._first = inverse_cube, distance
            self._same = np.ones(distance.shape, dtype=bool)
            self._added(terms)
            return
        assert self._weighted is not None and self._inverse_cube is not None
        assert self._first is not None and self._same is not None
        if v.shape[0] != self._terms.shape[0]:
            raise ValueError(
                f"every member needs {self._terms.shape[0]} vectors, got {v.shape[0]}"
            )
        self.members += 1
        k = float(self.members)
        self._terms += (terms - self._terms) / k
        self._weighted += (weighted - self._weighted) / k
        self._inverse_cube += (inverse_cube - self._inverse_cube) / k
        self._same &= distance == self._first
        self._added(terms)

    def _added(self, terms: NDArray[np.float64]) -> None:
        """What a subclass does with each member's rows once they are in."""

    @classmethod
    def merged(cls, parts: Sequence[RowMeans]) -> RowMeans:
        """The running means of several runs over disjoint members (the
        frames that parallel workers took), weighted by their counts; one
        run alone is returned as it is."""
        filled = [p for p in parts if p.members]
        if len(filled) <= 1:
            return filled[0] if filled else cls()
        out = cls()
        first = filled[0]
        assert first._terms is not None and first._weighted is not None
        assert first._inverse_cube is not None and first._same is not None
        out.members = first.members
        out._terms, out._weighted = first._terms.copy(), first._weighted.copy()
        out._inverse_cube, out._first = first._inverse_cube.copy(), first._first
        out._same = first._same.copy()
        for p in filled[1:]:
            assert p._terms is not None and p._weighted is not None
            assert p._inverse_cube is not None and p._same is not None
            share = p.members / (out.members + p.members)
            out._terms += (p._terms - out._terms) * share
            out._weighted += (p._weighted - out._weighted) * share
            out._inverse_cube += (p._inverse_cube - out._inverse_cube) * share
            out._same &= p._same & (p._first == out._first)
            out.members += p.members
        return out

    def result(self, symmetric: bool = False) -> AveragedRows:
        """The averaged rows so far (``symmetric``: see
        :attr:`AveragedRows.symmetric`).

        Raises:
            ValueError: no member was added.
        """
        if self._terms is None:
            raise ValueError("an average needs at least one member")
        assert self._weighted is not None and self._inverse_cube is not None
        assert self._first is not None and self._same is not None
        same = self._same
        weighted = np.where(
            same[:, None], self._terms, self._weighted / self._inverse_cube[:, None]
        )
        distances = np.where(same, self._first, self._inverse_cube ** (-1.0 / 3.0))
        return AveragedRows(
            self._terms.copy(), weighted, distances, self.members, symmetric
        )


def average_rows(
    members: Iterable[ArrayLike], *, symmetric: bool = False
) -> AveragedRows:
    """The averaged rows of members' N x 3 vectors (models, frames or
    chains, the same couplings in the same order in each; ``symmetric``
    when they include a symmetric oligomer's chains).

    Raises:
        ValueError: no member, or members of different lengths.
    """
    means = RowMeans()
    for vectors in members:
        means.add(vectors)
    return means.result(symmetric)


@dataclass(frozen=True)
class Convergence:
    """How the fit to couplings averaged over a trajectory's frames settles.

    Attributes:
        frames: the numbers of frames of the growing fits: the first 1, 2,
            4, ... frames, and all of them.
        da, r, q: the canonical Da and R, and Q, of each growing fit.
        block_lengths: frames per block: 2, 4, 8, ... (at least two whole
            blocks of each).
        blocks: how many whole blocks of each length.
        q_se, da_se: the standard error of Q and of Da that the blocks'
            own averaged fits give: their standard deviation over the
            blocks over the square root of the blocks' number.  Where it
            stops growing with the block length, the blocks are
            independent and it is the error of the whole run's averaged
            fit (block averaging); while it grows, the run is too short.
    """

    frames: list[int]
    da: list[float]
    r: list[float]
    q: list[float]
    block_lengths: list[int]
    blocks: list[int]
    q_se: list[float]
    da_se: list[float]


class ConvergenceMeans(RowMeans):
    """:class:`RowMeans` that also follow how the averaged fit converges, as
    the frames come (what ``fit_frames(means=...)`` takes): a fit at 1, 2,
    4, ... frames, and one per block of 2, 4, 8, ... frames, each block's
    rows the mean of the two half-blocks before it, so every frame costs a
    fixed amount of work and no frame is kept.

    The rows are the frames' directions only, as a trajectory's fits are.
    """

    def __init__(
        self,
        observed: ArrayLike,
        *,
        offset: bool = False,
        sigma: ArrayLike | None = None,
    ) -> None:
        super().__init__()
        self._observed = np.asarray(observed, dtype=np.float64)
        self._offset = offset
        self._sigma = None if sigma is None else np.asarray(sigma, dtype=np.float64)
        self._growing: list[tuple[int, float, float, float]] = []
        # pending[k]: the first half of the block of 2^(k+1) frames in progress.
        self._pending: list[NDArray[np.float64] | None] = []
        self._block_fits: list[list[tuple[float, float]]] = []

    def _quantities(self, rows: NDArray[np.float64]) -> tuple[float, float, float]:
        """Da, R and Q of the linear fit of averaged rows (NaN where they do
        not determine the tensor)."""
        try:
            result = fit(
                DesignRows(rows), self._observed, offset=self._offset,
                sigma=self._sigma, method="linear",
            )  # fmt: skip
        except ValueError:
            return math.nan, math.nan, math.nan
        tensor = result.tensor()
        return tensor.da, tensor.r, result.q

    def _added(self, terms: NDArray[np.float64]) -> None:
        count = self.members
        if count & (count - 1) == 0:  # a power of two
            assert self._terms is not None
            self._growing.append((count, *self._quantities(self._terms)))
        level, rows = 0, terms
        while True:
            if level == len(self._pending):
                self._pending.append(None)
                self._block_fits.append([])
            first = self._pending[level]
            if first is None:
                self._pending[level] = rows
                return
            self._pending[level] = None
            rows = (first + rows) / 2.0
            da, _, q = self._quantities(rows)
            self._block_fits[level].append((q, da))
            level += 1

    def convergence(self) -> Convergence:
        """The growing fits and the blocks' standard errors so far.

        Raises:
            ValueError: no frame was added.
        """
        if self._terms is None:
            raise ValueError("an average needs at least one member")
        growing = list(self._growing)
        if growing[-1][0] != self.members:
            growing.append((self.members, *self._quantities(self._terms)))
        lengths, counts, q_se, da_se = [], [], [], []
        for level, fits in enumerate(self._block_fits):
            if len(fits) < 2:
                continue
            values = np.array(fits)
            root = math.sqrt(len(fits))
            lengths.append(2 ** (level + 1))
            counts.append(len(fits))
            q_se.append(float(np.std(values[:, 0], ddof=1)) / root)
            da_se.append(float(np.std(values[:, 1], ddof=1)) / root)
        return Convergence(
            frames=[g[0] for g in growing],
            da=[g[1] for g in growing],
            r=[g[2] for g in growing],
            q=[g[3] for g in growing],
            block_lengths=lengths,
            blocks=counts,
            q_se=q_se,
            da_se=da_se,
        )
