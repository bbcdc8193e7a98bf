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

from collections.abc import Iterable, Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np
from numpy.typing import ArrayLike, NDArray

from .fitting import DesignRows, as_vectors, tensor_rows

__all__ = ["AveragedRows", "RowMeans", "average_rows"]


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
            self._added(v, terms)
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
        self._added(v, terms)

    def _added(self, vectors: NDArray[np.float64], terms: NDArray[np.float64]) -> None:
        """What a subclass does with each member's vectors and rows once
        they are in."""

    @staticmethod
    def merged(parts: Sequence[RowMeans]) -> RowMeans:
        """The running means of several runs over disjoint members (the
        frames that parallel workers took), weighted by their counts; one
        run alone is returned as it is."""
        filled = [p for p in parts if p.members]
        if len(filled) <= 1:
            return filled[0] if filled else RowMeans()
        out = RowMeans()
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
