"""Conversions between the module's parameters and the tensor they describe.

The module describes the orientation tensor by three z-x-z angles, the axial
component Da and the rhombicity R.  The rhombic component is Dr = R Da, as
the field writes it; the module's own coefficient 1.5 Da R is called
``dr_model`` wherever it appears.  In the tensor's own frame the model value
of a unit vector u' is

    Da (3 z'^2 - 1) + 1.5 Dr (x'^2 - y'^2)
        =  u'^T diag(1.5 Dr - Da, -1.5 Dr - Da, 2 Da) u'

so in the molecular frame the value is u^T A u with the traceless symmetric
matrix A = M^T diag(...) M, where M maps molecular to tensor coordinates.
Working with A sidesteps the many angle triples that describe one tensor.
"""

from __future__ import annotations

import math
from collections.abc import Sequence
from typing import NamedTuple, TypeVar

import numpy as np
from numpy.typing import ArrayLike, NDArray

__all__ = [
    "Tensor",
    "aligned",
    "alignment_amplitudes",
    "angles_from_rotation",
    "angles_in_degrees",
    "axis_angle",
    "axis_angles",
    "canonical",
    "canonical_triple",
    "degree_of_order",
    "dr_model",
    "euler_solutions",
    "followed",
    "following",
    "frame_zyz_solutions",
    "generalised_angle",
    "normalised_scalar_product",
    "order_matrix",
    "principal_frames",
    "principal_values",
    "rhombic_component",
    "rhombicity",
    "rotation_matrix",
    "tensor_from_matrix",
    "tensor_from_params",
    "tensors_from_matrices",
    "zyz_from_zxz",
    "zyz_solutions",
]

#: Below this, sin(a2) is treated as zero and a1, a3 merge into one angle.
_GIMBAL_EPS = 1e-12

#: The module's rhombic coefficient is this multiple of R Da.
_MODEL_RHOMBIC_FACTOR = 1.5

#: A single value or one per refit, frame or model.
Amount = TypeVar("Amount", float, NDArray[np.float64])


def rhombic_component(da: Amount, r: Amount) -> Amount:
    """Dr = R Da, the rhombic component as the field writes it."""
    return r * da


def dr_model(da: Amount, r: Amount) -> Amount:
    """The module's rhombic coefficient 1.5 Da R (the half-difference of the
    tensor's x and y principal values)."""
    return _MODEL_RHOMBIC_FACTOR * da * r


def rhombicity(da: float, dr: float) -> float:
    """R = Dr / Da for Dr = R Da; 0 for a zero tensor."""
    return dr / da if da != 0.0 else 0.0


def principal_values(da: float, r: float) -> tuple[float, float, float]:
    """The principal values (xx, yy, zz) of the tensor of Da and R:
    1.5 Dr - Da, -1.5 Dr - Da and 2 Da, in Da's unit."""
    half_difference = dr_model(da, r)
    return (half_difference - da, -half_difference - da, 2.0 * da)


class Tensor(NamedTuple):
    """A tensor in canonical form: |Azz| >= |Ayy| >= |Axx|, so 0 <= R <= 2/3.

    ``axes`` holds the principal axes x, y, z as rows of a proper rotation.
    """

    a1: float
    a2: float
    a3: float
    da: float
    r: float
    axes: NDArray[np.float64]

    @property
    def dr(self) -> float:
        """Rhombic component Dr = R Da."""
        return rhombic_component(self.da, self.r)

    @property
    def dr_model(self) -> float:
        """The module's rhombic coefficient 1.5 Da R."""
        return dr_model(self.da, self.r)

    @property
    def principal_values(self) -> tuple[float, float, float]:
        """Principal values along the axes x, y, z (|zz| >= |yy| >= |xx|)."""
        return principal_values(self.da, self.r)

    @property
    def angles(self) -> tuple[float, float, float]:
        """The z-x-z angles in radians."""
        return (self.a1, self.a2, self.a3)

    @property
    def angles_deg(self) -> tuple[float, float, float]:
        """The z-x-z angles in degrees, each in [0, 360)."""
        return angles_in_degrees(self.angles)


def angles_in_degrees(angles: Sequence[float]) -> tuple[float, float, float]:
    """Three angles (radians) in degrees, each in [0, 360), as reports show
    them."""
    a1, a2, a3 = (math.degrees(a) % 360.0 for a in angles)
    return (a1, a2, a3)


def rotation_matrix(a1: float, a2: float, a3: float) -> NDArray[np.float64]:
    """Rotation M (rows: tensor x, y, z axes) for z-x-z angles in radians.

    A molecular-frame vector r has tensor-frame coordinates M @ r.
    """
    c1, s1 = math.cos(a1), math.sin(a1)
    c2, s2 = math.cos(a2), math.sin(a2)
    c3, s3 = math.cos(a3), math.sin(a3)
    return np.array(
        [
            [c1 * c3 - s1 * c2 * s3, s1 * c3 + c1 * c2 * s3, s2 * s3],
            [-c1 * s3 - s1 * c2 * c3, c1 * c2 * c3 - s1 * s3, s2 * c3],
            [s1 * s2, -c1 * s2, c2],
        ]
    )


def angles_from_rotation(m: ArrayLike) -> tuple[float, float, float]:
    """The z-x-z angles (radians) of a proper rotation matrix.

    When a2 is 0 or pi only a1 + a3 (or a1 - a3) is defined; a3 is then 0.
    """
    m = np.asarray(m, dtype=np.float64)
    a2 = math.acos(min(1.0, max(-1.0, float(m[2, 2]))))
    if math.hypot(m[2, 0], m[2, 1]) > _GIMBAL_EPS:
        a1 = math.atan2(m[2, 0], -m[2, 1])
        a3 = math.atan2(m[0, 2], m[1, 2])
    else:
        a1 = math.atan2(m[0, 1], m[0, 0])
        a3 = 0.0
    return a1, a2, a3


def tensor_from_params(params: ArrayLike) -> NDArray[np.float64]:
    """The 3x3 molecular-frame matrix A of parameters (a1, a2, a3, Da, R, ...)."""
    p = np.asarray(params, dtype=np.float64).ravel()
    if p.size < 5:
        raise ValueError(f"need at least 5 parameters, got {p.size}")
    a1, a2, a3, da, r = (float(v) for v in p[:5])
    m = rotation_matrix(a1, a2, a3)
    return m.T @ np.diag(principal_values(da, r)) @ m


def tensor_from_matrix(a: ArrayLike) -> Tensor:
    """Canonical angles, Da and R of a traceless symmetric matrix.

    The eigenvalues are ordered so that |Azz| >= |Ayy| >= |Axx|; then
    Da = Azz / 2, 1.5 Dr = (Axx - Ayy) / 2 and R = Dr / Da lies in
    [0, 2/3].  The eigenvector frame is made a proper rotation before its
    angles are read; the axes are read-only, since one canonical tensor is
    computed once and shared.
    """
    return tensors_from_matrices(np.asarray(a, dtype=np.float64)[None])[0]


def tensors_from_matrices(matrices: ArrayLike) -> list[Tensor]:
    """:func:`tensor_from_matrix` of each matrix of an F x 3 x 3 stack, the
    eigendecompositions in one pass over the stack (the same bits as one
    matrix at a time)."""
    da, r, axes = principal_frames(matrices)
    axes.setflags(write=False)
    return [
        Tensor(*angles_from_rotation(m), d, q, m)
        for d, q, m in zip(da.tolist(), r.tolist(), axes)
    ]


def principal_frames(
    matrices: ArrayLike,
) -> tuple[NDArray[np.float64], NDArray[np.float64], NDArray[np.float64]]:
    """Canonical Da, R and principal axes of a stack of F traceless
    symmetric matrices (F x 3 x 3), in one pass over the stack.

    Each matrix's eigenvalues are ordered so that |Azz| >= |Ayy| >= |Axx|;
    Da = Azz / 2 and R = (Axx - Ayy) / 2 / (1.5 Da) (0 for Da = 0). The
    axes (F x 3 x 3) hold each frame's x, y, z as the rows of a proper
    rotation. Every step works matrix by matrix, so each frame has the bits
    of its matrix given alone.
    """
    given = np.asarray(matrices, dtype=np.float64)
    values, vectors = np.linalg.eigh(0.5 * (given + np.swapaxes(given, -1, -2)))
    order = np.argsort(np.abs(values), axis=-1, kind="stable")
    ordered = np.take_along_axis(values, order, axis=-1)
    axes = np.swapaxes(np.take_along_axis(vectors, order[:, None, :], axis=-1), -1, -2)
    axes = np.ascontiguousarray(axes)
    improper = np.linalg.det(axes) < 0
    axes[improper, 0] = -axes[improper, 0]
    da = 0.5 * ordered[:, 2]
    half_difference = 0.5 * (ordered[:, 0] - ordered[:, 1])
    # R from the half-difference 1.5 Da R directly: one division, the same
    # rounding the start of every fit has always had.
    with np.errstate(divide="ignore", invalid="ignore"):
        r = np.where(da != 0.0, half_difference / (_MODEL_RHOMBIC_FACTOR * da), 0.0)
    return da, r, axes


def canonical(params: ArrayLike) -> Tensor:
    """Canonical form of the tensor described by (a1, a2, a3, Da, R, ...)."""
    return tensor_from_matrix(tensor_from_params(params))


#: Sign flips of two principal axes: each keeps the frame proper and the
#: tensor unchanged.
_FLIPS = ((1, 1, 1), (1, -1, -1), (-1, 1, -1), (-1, -1, 1))


def aligned(tensor: Tensor, reference: ArrayLike) -> Tensor:
    """``tensor`` with its axes' signs chosen closest to a reference rotation.

    The signs of principal axes are arbitrary; flipping two of them keeps the
    frame proper and the tensor unchanged but alters the angles.  Choosing
    the flips nearest a reference makes angles of two similar tensors
    comparable side by side.
    """
    ref = np.asarray(reference, dtype=np.float64)
    best = tensor.axes
    best_score = -np.inf
    for signs in _FLIPS:
        m = tensor.axes * np.array(signs, dtype=np.float64)[:, None]
        score = float(np.sum(m * ref))
        if score > best_score:
            best, best_score = m, score
    a1, a2, a3 = angles_from_rotation(best)
    return Tensor(a1, a2, a3, tensor.da, tensor.r, best)


def _solutions(
    axes: ArrayLike,
) -> list[tuple[tuple[float, float, float], NDArray[np.float64]]]:
    """Each sign choice of the axes with its angles (degrees), canonical first."""
    m = np.asarray(axes, dtype=np.float64)
    out = []
    for signs in _FLIPS:
        flipped = m * np.array(signs, dtype=np.float64)[:, None]
        a1, a2, a3 = (math.degrees(a) for a in angles_from_rotation(flipped))
        out.append(((a1 % 360.0, a2, a3 % 360.0), flipped))

    def key(
        s: tuple[tuple[float, float, float], NDArray[np.float64]],
    ) -> tuple[bool, bool, float, float]:
        t = s[0]
        return (t[1] > 90.0, t[2] >= 180.0, t[1], t[2])

    return sorted(out, key=key)


def euler_solutions(axes: ArrayLike) -> list[tuple[float, float, float]]:
    """The four z-x-z angle triples (degrees) of one set of principal axes.

    Each triple is in the stated range: a1 in [0, 360), a2 in [0, 180],
    a3 in [0, 360).  They are ordered so that the first has a2 <= 90 and
    a3 < 180: the canonical triple.
    """
    return [angles for angles, _ in _solutions(axes)]


#: The z-y'-z'' angles of the same rotation, from its z-x-z angles (degrees):
#: (alpha, beta, gamma) = (-a3 - 270, a2, 270 - a1), each modulo 360.
_ZYZ_QUARTER_TURNS = 270.0


def zyz_from_zxz(
    triple: tuple[float, float, float],
) -> tuple[float, float, float]:
    """The z-y'-z'' angles (alpha, beta, gamma) in degrees of a z-x-z triple.

    This is the convention of programs that report "Euler angles for
    clockwise rotation about z, y', z''": (alpha, beta, gamma) =
    (-a3 - 270, a2, 270 - a1) modulo 360, so alpha and gamma are in
    [0, 360) and beta is a2.
    """
    a1, a2, a3 = triple
    alpha = (-a3 - _ZYZ_QUARTER_TURNS) % 360.0
    gamma = (_ZYZ_QUARTER_TURNS - a1) % 360.0
    return (alpha, a2, gamma)


def zyz_solutions(axes: ArrayLike) -> list[tuple[float, float, float]]:
    """The four z-y'-z'' triples (degrees) of one set of principal axes,
    ordered as such programs list them: beta <= 90 first, then by alpha."""
    triples = [zyz_from_zxz(t) for t in euler_solutions(axes)]
    return sorted(triples, key=lambda t: (t[1] > 90.0, t[0]))


def _zyz_angles(r: NDArray[np.float64]) -> tuple[float, float, float]:
    """(alpha, beta, gamma) in degrees of R = Rz(alpha) Ry(beta) Rz(gamma),
    alpha and gamma in [0, 360); gamma 0 where only their sum is defined."""
    beta = math.acos(min(1.0, max(-1.0, float(r[2, 2]))))
    if math.hypot(r[0, 2], r[1, 2]) > _GIMBAL_EPS:
        alpha = math.atan2(r[1, 2], r[0, 2])
        gamma = math.atan2(r[2, 1], -r[2, 0])
    else:
        sign = 1.0 if r[2, 2] > 0 else -1.0
        alpha = math.atan2(sign * r[1, 0], sign * r[0, 0])
        gamma = 0.0
    return (
        math.degrees(alpha) % 360.0,
        math.degrees(beta),
        math.degrees(gamma) % 360.0,
    )


def frame_zyz_solutions(axes: ArrayLike) -> list[tuple[float, float, float]]:
    """The four z-y-z triples (degrees) of the rotation taking the tensor's
    frame to the molecule's, as structure-calculation and modelling programs
    print them.

    The rotation is R = Rz(alpha) Ry(beta) Rz(gamma) (rotations of vectors,
    counter-clockwise, about the fixed z, y and z axes in turn, the last
    first) whose columns are the principal axes x, y and z in the molecule's
    frame: the transpose of :func:`rotation_matrix`.  Flipping the signs of
    two axes gives the other three triples: beta and 180 - beta, alpha and
    alpha + 180, gamma and gamma + 180.  Listed with the one that has alpha
    and gamma below 180 first (the one such programs print), then by beta
    and alpha.
    """
    m = np.asarray(axes, dtype=np.float64)
    triples = [
        _zyz_angles((m * np.array(signs, dtype=np.float64)[:, None]).T)
        for signs in _FLIPS
    ]
    return sorted(
        triples, key=lambda t: (t[0] >= 180.0 or t[2] >= 180.0, t[1], t[0], t[2])
    )


def canonical_triple(tensor: Tensor) -> Tensor:
    """``tensor`` with the axes' signs of its canonical triple.

    That is the first of :func:`euler_solutions` (a2 <= 90, a3 < 180), the
    triple a fit report leads with; the eigenvectors' own signs are
    arbitrary.
    """
    _, axes = _solutions(tensor.axes)[0]
    a1, a2, a3 = angles_from_rotation(axes)
    return Tensor(a1, a2, a3, tensor.da, tensor.r, axes)


def following(tensor: Tensor, previous: Tensor | None) -> Tensor:
    """The rule for a series of tensors (frames, models, the members of a
    summary): which of the equivalent angle triples each one reports.

    The first of a series (``previous`` None) takes the canonical triple;
    every later one the sign choice nearest ``previous``, so that angles
    never jump between equivalent triples from one to the next.  The
    tensor itself is unchanged: only the signs of its axes, and so its
    angles, are chosen.
    """
    if previous is None:
        return canonical_triple(tensor)
    return aligned(tensor, previous.axes)


#: The sign choices of :data:`_FLIPS` as rows, to score them all at once.
_FLIP_ROWS = np.array(_FLIPS, dtype=np.float64)


def followed(tensors: Sequence[Tensor], previous: Tensor | None) -> list[Tensor]:
    """:func:`following` over a series at once, each tensor after the one
    before it (the first after ``previous``).

    Flipping two axes is a group: the choice nearest the previous tensor's
    chosen axes is the previous choice times the flip that best matches
    the two canonical frames.  Those flips are found for every consecutive
    pair at once and their running product gives every choice.
    """
    if not tensors:
        return []
    axes = np.array([t.axes for t in tensors], dtype=np.float64)
    if previous is None:
        head = canonical_triple(tensors[0])
        before = head.axes
        out, rest, rest_axes = [head], tensors[1:], axes[1:]
    else:
        before = np.asarray(previous.axes, dtype=np.float64)
        out, rest, rest_axes = [], list(tensors), axes
    if not rest:
        return out
    prior = np.concatenate([before[None], rest_axes[:-1]])
    # Each axis's agreement with the same axis of the frame before.
    agree = np.einsum("kij,kij->ki", rest_axes, prior)
    flips = _FLIP_ROWS[np.argmax(agree @ _FLIP_ROWS.T, axis=1)]
    chosen = rest_axes * np.cumprod(flips, axis=0)[:, :, None]
    for tensor, m in zip(rest, chosen):
        a1, a2, a3 = angles_from_rotation(m)
        out.append(Tensor(a1, a2, a3, tensor.da, tensor.r, m))
    return out


def order_matrix(tensor_matrix: ArrayLike, constant: float) -> NDArray[np.float64]:
    """The order (Saupe) matrix S of a tensor in Hz for a bond of ``constant``.

    value = constant * u^T S u, so S is the tensor over the constant; its
    largest principal value is 2 Da / constant.
    """
    s: NDArray[np.float64] = np.asarray(tensor_matrix, dtype=np.float64) / constant
    return s


def alignment_amplitudes(da: float, r: float, constant: float) -> tuple[float, float]:
    """The dimensionless axial and rhombic amplitudes (Aa, Ar) of a tensor.

    Aa = 2 Da / constant is the zz principal value of the order matrix and
    Ar = 2 R Da / constant = 2 Dr / constant, for Da in Hz of a bond whose
    dipolar constant is ``constant`` Hz.
    """
    return (2.0 * da / constant, 2.0 * rhombic_component(da, r) / constant)


#: Sum of squares of the principal values (1.5 Dr - Da, -1.5 Dr - Da, 2 Da)
#: is 6 Da^2 + 4.5 Dr^2; times 2/3 it is 4 Da^2 (1 + 3/4 R^2).
_GDO_RHOMBIC_WEIGHT = 0.75


def degree_of_order(da: Amount, r: Amount, constant: float = 1.0) -> Amount:
    """The generalized degree of order sqrt(2/3 sum_ij S_ij^2) of a tensor.

    S is the order matrix, the tensor over the dipolar ``constant`` of a
    row of scale 1 (see :func:`order_matrix`); its squares sum to those of
    its principal values, so the degree is 2 |Da| sqrt(1 + 3/4 R^2) /
    ``constant``: |Szz| for an axially symmetric tensor.  With the default
    constant 1 it is in Da's unit.  Da and R may be arrays (one per refit).
    """
    degree: Amount = (
        2.0 * np.abs(da) * np.sqrt(1.0 + _GDO_RHOMBIC_WEIGHT * r * r) / abs(constant)
    )
    return degree


def axis_angle(a: ArrayLike, b: ArrayLike) -> float:
    """Angle (degrees, 0 to 90) between two axes; an axis and its negative agree."""
    u = np.asarray(a, dtype=np.float64)
    v = np.asarray(b, dtype=np.float64)
    c = abs(float(np.dot(u, v))) / float(np.linalg.norm(u) * np.linalg.norm(v))
    return math.degrees(math.acos(min(1.0, c)))


def axis_angles(reference: ArrayLike, axes: ArrayLike) -> NDArray[np.float64]:
    """Angles (degrees, 0 to 90) between matching rows of two sets of unit axes."""
    cosines = np.clip(
        np.abs(
            np.sum(
                np.asarray(reference, dtype=np.float64)
                * np.asarray(axes, dtype=np.float64),
                axis=-1,
            )
        ),
        0.0,
        1.0,
    )
    angles: NDArray[np.float64] = np.degrees(np.arccos(cosines))
    return angles


def normalised_scalar_product(a: ArrayLike, b: ArrayLike) -> float:
    """<A, B> / (|A| |B|) of two tensors: 1 for the same alignment, near 0
    for independent ones."""
    x = np.asarray(a, dtype=np.float64)
    y = np.asarray(b, dtype=np.float64)
    return float(np.sum(x * y) / math.sqrt(float(np.sum(x * x) * np.sum(y * y))))


def generalised_angle(a: ArrayLike, b: ArrayLike) -> float:
    """The angle (degrees, 0 to 180) between two tensors seen as vectors of
    five independent components: arccos of their normalised scalar product.
    0 for the same alignment, 90 for orthogonal ones."""
    cosine = normalised_scalar_product(a, b)
    return math.degrees(math.acos(min(1.0, max(-1.0, cosine))))
