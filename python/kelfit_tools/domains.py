"""Domains: one tensor per domain of a molecule, and how two domains relate.

A domain is a named set of residue ranges.  Its couplings are those whose
two atoms both lie in it; each domain of each medium becomes a medium of its
own (:func:`domain_media`), so it takes the one path from couplings to a fit
that every medium takes.  :func:`compare_domains` then says how two domains'
alignment frames relate: the rotation that superposes them, the angles
between their principal axes, the ratios of Da and R, the ratio of their
generalized degrees of order, and the normalised scalar product and
generalised angle of their tensors, each with its spread over Monte Carlo
refits.

For a rigid molecule every domain sees the same alignment: the rotation is
near the identity and the ratios near 1.  A domain that moves relative to
another shows as a rotation (of the second domain, bringing its frame onto
the first's), and as a lower degree of order: its motion averages its
alignment, so the ratio of the lower degree to the higher falls below 1.
"""

from __future__ import annotations

import math
from collections.abc import Sequence
from dataclasses import dataclass, replace

import numpy as np
from numpy.typing import ArrayLike, NDArray

from .io.tables import Coupling
from .prepare import Medium
from .superpose import ResidueRange, parse_selection
from .tensor import (
    Tensor,
    aligned,
    angles_from_rotation,
    axis_angles,
    degree_of_order,
    generalised_angle,
    normalised_scalar_product,
    tensor_from_matrix,
)

__all__ = [
    "Domain",
    "DomainComparison",
    "Rotation",
    "compare_domains",
    "domain_media",
    "domain_name",
    "frame_rotation",
    "gdo_meaning",
    "in_domain",
    "parse_domain",
    "rotation_angle",
]

#: Below this norm of its antisymmetric part, a rotation is taken as 0 or
#: 180 degrees, whose axis that part cannot give.
_SKEW_EPS = 1e-9


@dataclass(frozen=True)
class Domain:
    """A named set of residue ranges (a None chain: any chain)."""

    name: str
    ranges: tuple[ResidueRange, ...]

    def __str__(self) -> str:
        return f"{self.name}=" + ",".join(str(r) for r in self.ranges)


def parse_domain(text: str) -> Domain:
    """Read ``NAME=RANGES`` such as ``N=1-75`` or ``C=A/80-152,B/1-20``.

    Raises:
        ValueError: no name, no ranges, or a range that is not one, saying
            what is expected.
    """
    name, sep, ranges = text.partition("=")
    name = name.strip()
    expected = "expected NAME=RANGES such as N=1-75 or C=A/80-152,B/1-20"
    if not sep or not name or not ranges.strip():
        raise ValueError(f"{expected}; got {text!r}")
    try:
        # Residue ranges are read by the one rule superposition selections use.
        selected = parse_selection(f"ca:{ranges}").ranges
    except ValueError as exc:
        raise ValueError(f"{expected}; {exc}") from None
    return Domain(name, selected)


def _residue_in(chain: str | None, number: int, ranges: Sequence[ResidueRange]) -> bool:
    for r in ranges:
        if r.chain is not None and chain is not None and chain != r.chain:
            continue
        if r.first is None or r.last is None or r.first <= number <= r.last:
            return True
    return False


def in_domain(coupling: Coupling, domain: Domain) -> bool:
    """Whether both atoms of a coupling lie in the domain.

    A coupling that names no chain matches ranges of any chain.  A coupling
    across a domain boundary belongs to neither domain.
    """
    return _residue_in(
        coupling.chain_i, coupling.residue_i, domain.ranges
    ) and _residue_in(coupling.chain_j, coupling.residue_j, domain.ranges)


def domain_name(medium: str, domain: str) -> str:
    """The name of one domain's part of a medium, as reports show it."""
    return f"{medium} [{domain}]"


def domain_media(
    media: Sequence[Medium], domains: Sequence[Domain]
) -> list[tuple[Medium, str, str]]:
    """Every medium split into its domains: (medium, medium name, domain name).

    Each part is a :class:`~kelfit_tools.prepare.Medium` of its own, named
    by :func:`domain_name`, ordered by medium and then by domain.

    Raises:
        ValueError: domains that share a name or overlap in a coupling, or
            a domain that holds no coupling of a medium.
    """
    names = [d.name for d in domains]
    if len(set(names)) != len(names):
        raise ValueError(f"domain names must differ, got {', '.join(names)}")
    out: list[tuple[Medium, str, str]] = []
    for medium in media:
        for c in medium.couplings:
            owners = [d.name for d in domains if in_domain(c, d)]
            if len(owners) > 1:
                raise ValueError(
                    f"domains {' and '.join(owners)} overlap: both hold "
                    f"{c.label} (line {c.line})"
                )
        for d in domains:
            rows = [c for c in medium.couplings if in_domain(c, d)]
            if not rows:
                raise ValueError(
                    f"domain {d} holds no coupling of medium {medium.name!r}"
                )
            out.append(
                (replace(medium, name=domain_name(medium.name, d.name), couplings=rows),
                 medium.name, d.name)
            )  # fmt: skip
    return out


@dataclass(frozen=True)
class Rotation:
    """A proper rotation Q, as matrix, axis and angle, and z-x-z angles.

    ``euler_deg`` (a1, a2, a3) gives Q = Rz(a1) Rx(a2) Rz(a3), rotations of
    the coordinates about the fixed z, then the new x, then the new z.
    """

    matrix: NDArray[np.float64]
    axis: tuple[float, float, float]
    angle_deg: float
    euler_deg: tuple[float, float, float]


def rotation_angle(q: ArrayLike) -> float:
    """The angle (degrees, 0 to 180) of a rotation matrix."""
    m = np.asarray(q, dtype=np.float64)
    cosine = 0.5 * (float(np.trace(m)) - 1.0)
    return math.degrees(math.acos(min(1.0, max(-1.0, cosine))))


def _axis(q: NDArray[np.float64]) -> tuple[float, float, float]:
    skew = np.array([q[2, 1] - q[1, 2], q[0, 2] - q[2, 0], q[1, 0] - q[0, 1]])
    norm = float(np.linalg.norm(skew))
    if norm > _SKEW_EPS:
        a = skew / norm
    else:
        # Angle 0 (any axis) or 180 degrees: the axis is Q's eigenvector of
        # eigenvalue 1, the largest column of Q + I.
        sym = q + np.eye(3)
        column = int(np.argmax(np.linalg.norm(sym, axis=0)))
        a = sym[:, column] / float(np.linalg.norm(sym[:, column]))
    return (float(a[0]), float(a[1]), float(a[2]))


def frame_rotation(first: Tensor, second: Tensor) -> Rotation:
    """The rotation of the second domain that brings its alignment frame
    onto the first's.

    The signs of principal axes are arbitrary (four equivalent frames), so
    of the four rotations the smallest is taken.  Applied to the second
    domain's coordinates, it makes the second tensor's axes the first's.
    """
    second = aligned(second, first.axes)
    # Axes are rows (molecular -> tensor): Q M2^T = M1^T.
    q = first.axes.T @ second.axes
    a1, a2, a3 = angles_from_rotation(q.T)
    return Rotation(
        matrix=q,
        axis=_axis(q),
        angle_deg=rotation_angle(q),
        euler_deg=(
            math.degrees(a1) % 360.0,
            math.degrees(a2),
            math.degrees(a3) % 360.0,
        ),
    )


@dataclass(frozen=True)
class DomainComparison:
    """How two domains' tensors (of one medium) relate.

    Attributes:
        medium: the medium.
        first, second: the domains' names.
        rotation: the rotation of the second domain that superposes its
            alignment frame on the first's.
        axis_angles_deg: angles between their x, y and z principal axes.
        da_ratio, r_ratio: Da and R of the second over those of the first.
        scalar_product: normalised scalar product of the two tensors.
        generalised_angle_deg: its arccos, in degrees.
        gdo_ratio: the lower generalized degree of order of the two over
            the higher (:func:`~kelfit_tools.tensor.degree_of_order`; the
            dipolar constant cancels): 1 for a rigid relative orientation,
            below 1 when the domain of the lower degree moves relative to
            the other.
        gdo_lower: the name of the domain of the lower degree.
        refits: the number of Monte Carlo refit pairs the spreads rest on
            (0: none, and every ``*_sd`` is None).
        rotation_spread_deg: rms angle between each refit pair's rotation
            and the best fits' rotation.
        rotation_angle_sd, euler_sd_deg, axis_angles_sd_deg, da_ratio_sd,
        r_ratio_sd, scalar_product_sd, generalised_angle_sd_deg,
        gdo_ratio_sd: standard deviations over refit k of one domain
            against refit k of the other (``gdo_ratio_sd``: refit k of
            ``gdo_lower`` over refit k of the other).
    """

    medium: str
    first: str
    second: str
    rotation: Rotation
    axis_angles_deg: tuple[float, float, float]
    da_ratio: float
    r_ratio: float
    scalar_product: float
    generalised_angle_deg: float
    refits: int = 0
    rotation_spread_deg: float | None = None
    rotation_angle_sd: float | None = None
    euler_sd_deg: tuple[float, float, float] | None = None
    axis_angles_sd_deg: tuple[float, float, float] | None = None
    da_ratio_sd: float | None = None
    r_ratio_sd: float | None = None
    scalar_product_sd: float | None = None
    generalised_angle_sd_deg: float | None = None
    gdo_ratio: float = math.nan
    gdo_lower: str = ""
    gdo_ratio_sd: float | None = None

    @property
    def gdo_higher(self) -> str:
        """The name of the domain of the higher degree of order."""
        return self.second if self.gdo_lower == self.first else self.first

    @property
    def gdo_meaning(self) -> str:
        """What the degree-of-order ratio says, in one line."""
        return gdo_meaning(
            self.gdo_ratio, self.gdo_ratio_sd, self.gdo_lower, self.gdo_higher
        )


#: A ratio of degrees of order further below 1 than this many of its
#: standard deviations shows motion; nearer, it is consistent with 1.
_GDO_RATIO_SDS = 2.0


def gdo_meaning(ratio: float, sd: float | None, lower: str, higher: str) -> str:
    """One line saying what a ratio of degrees of order (lower over higher)
    means: 1 for a rigid relative orientation, below 1 for motion of the
    domain of the lower degree (``lower``) relative to ``higher``."""
    moving = (
        f"motion of {lower} (usually the smaller domain) relative to {higher} "
        "averages its alignment"
    )
    if not math.isfinite(ratio):
        return "no ratio: a domain's tensor is zero"
    if sd is None or not math.isfinite(sd):
        return f"1: a rigid relative orientation; below 1: {moving}"
    if 1.0 - ratio <= _GDO_RATIO_SDS * sd:
        return (
            f"within {_GDO_RATIO_SDS:g} sd of 1: consistent with a rigid relative "
            "orientation"
        )
    return f"below 1 by more than {_GDO_RATIO_SDS:g} sd: {moving}"


def _ratio(a: float, b: float) -> float:
    return b / a if a != 0.0 else math.nan


def _triple(values: NDArray[np.float64]) -> tuple[float, float, float]:
    return (float(values[0]), float(values[1]), float(values[2]))


def _circular_sd(degrees: NDArray[np.float64]) -> float:
    """Spread (degrees) of angles on a circle, about their circular mean:
    an angle near 0 and one near 360 are close."""
    radians = np.radians(degrees)
    mean = math.atan2(float(np.mean(np.sin(radians))), float(np.mean(np.cos(radians))))
    offsets = np.degrees(np.angle(np.exp(1j * (radians - mean))))
    return float(np.std(offsets, ddof=1))


def compare_domains(
    first: NDArray[np.float64],
    second: NDArray[np.float64],
    *,
    names: tuple[str, str] = ("1", "2"),
    medium: str = "",
    refits: tuple[NDArray[np.float64], NDArray[np.float64]] | None = None,
) -> DomainComparison:
    """Compare two domains' tensors, given as 3 x 3 matrices of one medium.

    Args:
        first, second: the best fits' tensors
            (:func:`~kelfit_tools.tensor.tensor_from_params`).
        names: the domains' names.
        medium: the medium's name.
        refits: each domain's Monte Carlo refit tensors (K x 3 x 3,
            :attr:`MonteCarloResult.matrices`); refit k of one is paired
            with refit k of the other.

    Raises:
        ValueError: refits of different counts, or fewer than 2.
    """
    a = np.asarray(first, dtype=np.float64)
    b = np.asarray(second, dtype=np.float64)
    ta, tb = tensor_from_matrix(a), tensor_from_matrix(b)
    rotation = frame_rotation(ta, tb)
    degrees = (float(degree_of_order(ta.da, ta.r)), float(degree_of_order(tb.da, tb.r)))
    # Each refit pair's ratio keeps the best fits' order (lower over higher),
    # so its spread is the reported ratio's, which a refit may put above 1.
    low = 1 if degrees[1] < degrees[0] else 0
    out = DomainComparison(
        medium=medium,
        first=names[0],
        second=names[1],
        rotation=rotation,
        axis_angles_deg=_triple(axis_angles(ta.axes, tb.axes)),
        da_ratio=_ratio(ta.da, tb.da),
        r_ratio=_ratio(ta.r, tb.r),
        scalar_product=normalised_scalar_product(a, b),
        generalised_angle_deg=generalised_angle(a, b),
        gdo_ratio=_ratio(degrees[1 - low], degrees[low]),
        gdo_lower=names[low],
    )
    if refits is None:
        return out
    ra, rb = (np.asarray(m, dtype=np.float64) for m in refits)
    if ra.shape != rb.shape or ra.ndim != 3 or ra.shape[0] < 2:
        raise ValueError(
            f"refits must be two K x 3 x 3 stacks with K >= 2, got {ra.shape} "
            f"and {rb.shape}"
        )
    spread, angles, eulers, axes, da, r, products, generalised, gdo = (
        [] for _ in range(9)
    )
    for ma, mb in zip(ra, rb):
        pa, pb = tensor_from_matrix(ma), tensor_from_matrix(mb)
        q = frame_rotation(pa, pb)
        spread.append(rotation_angle(q.matrix.T @ rotation.matrix))
        angles.append(q.angle_deg)
        eulers.append(q.euler_deg)
        axes.append(axis_angles(pa.axes, pb.axes))
        da.append(_ratio(pa.da, pb.da))
        r.append(_ratio(pa.r, pb.r))
        products.append(normalised_scalar_product(ma, mb))
        generalised.append(generalised_angle(ma, mb))
        pair = (
            float(degree_of_order(pa.da, pa.r)),
            float(degree_of_order(pb.da, pb.r)),
        )
        gdo.append(_ratio(pair[1 - low], pair[low]))
    e = np.array(eulers)

    def sd(values: list[float]) -> float:
        return float(np.std(np.asarray(values, dtype=np.float64), ddof=1))

    return replace(
        out,
        refits=int(ra.shape[0]),
        rotation_spread_deg=float(np.sqrt(np.mean(np.square(spread)))),
        rotation_angle_sd=sd(angles),
        euler_sd_deg=(_circular_sd(e[:, 0]), sd(list(e[:, 1])), _circular_sd(e[:, 2])),
        axis_angles_sd_deg=_triple(np.std(np.array(axes), axis=0, ddof=1)),
        da_ratio_sd=sd(da),
        r_ratio_sd=sd(r),
        scalar_product_sd=sd(products),
        generalised_angle_sd_deg=sd(generalised),
        gdo_ratio_sd=sd(gdo),
    )
