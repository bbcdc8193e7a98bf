"""The sky map: where the principal axes of every refit (or frame) point.

Each axis direction is drawn in the Sanson-Flamsteed (sinusoidal)
projection, x = longitude cos(latitude) and y = latitude, which keeps
areas, so a cloud's size reads the same anywhere on the map.  An axis and
its negative are one axis: every direction is folded onto the upper
hemisphere (z >= 0) before it is projected, so the map is the half-plane
y >= 0, from the equator (y = 0) to the structure's z axis (y = 90).  An
axis near the equator may show at both ends of the map (longitudes near
+180 and -180 are one place on the sphere).
"""

from __future__ import annotations

import numpy as np
from numpy.typing import ArrayLike, NDArray

__all__ = [
    "AXIS_COLOURS",
    "SKY_REFITS",
    "map_extent",
    "sky_outline",
    "sky_points",
    "sky_sample",
]

#: Most refits (or frames) a report carries for its sky map, evenly spaced:
#: a denser cloud looks no different, and the page and JSON stay small.
SKY_REFITS = 1000

#: The colour of the x, y and z axes, in every sky map.
AXIS_COLOURS = ("#c0392b", "#2e8b57", "#1f5fa8")

#: The map's longitude runs over a half turn either side of the x axis.
_HALF_TURN_DEG = 180.0

#: The pole of the folded hemisphere.
_POLE_DEG = 90.0


def sky_points(
    directions: ArrayLike,
) -> tuple[NDArray[np.float64], NDArray[np.float64]]:
    """The map coordinates (x, y), in degrees, of directions (... x 3).

    Each direction is folded onto z >= 0 (an axis and its negative are one
    axis), then x = longitude cos(latitude) and y = latitude, with the
    longitude atan2(y, x) in (-180, 180] and the latitude asin(z) in
    [0, 90].  A direction need not be a unit vector.
    """
    d = np.asarray(directions, dtype=np.float64)
    d = d / np.linalg.norm(d, axis=-1, keepdims=True)
    d = np.where(d[..., 2:3] < 0.0, -d, d)
    latitude = np.degrees(np.arcsin(np.clip(d[..., 2], 0.0, 1.0)))
    longitude = np.degrees(np.arctan2(d[..., 1], d[..., 0]))
    x: NDArray[np.float64] = longitude * np.cos(np.radians(latitude))
    return x, latitude


def sky_sample(axes: ArrayLike, most: int = SKY_REFITS) -> NDArray[np.float64]:
    """At most ``most`` of K sets of axes (K x 3 x 3), evenly spaced over
    the K, first and last included."""
    stack = np.asarray(axes, dtype=np.float64)
    if stack.shape[0] <= most:
        return stack
    picked = np.unique(np.round(np.linspace(0, stack.shape[0] - 1, most)).astype(int))
    out: NDArray[np.float64] = stack[picked]
    return out


def sky_outline(steps: int = 91) -> tuple[NDArray[np.float64], NDArray[np.float64]]:
    """The map's border, (x, y) in degrees: the meridians at longitude -180
    and +180 from the equator to the pole and back, closed along the
    equator."""
    latitude = np.linspace(0.0, _POLE_DEG, steps)
    edge = _HALF_TURN_DEG * np.cos(np.radians(latitude))
    x = np.concatenate([-edge, edge[::-1], [-edge[0]]])
    y = np.concatenate([latitude, latitude[::-1], [0.0]])
    return x, y


def map_extent() -> tuple[float, float, float, float]:
    """The map's (x low, x high, y low, y high), in degrees."""
    return (-_HALF_TURN_DEG, _HALF_TURN_DEG, 0.0, _POLE_DEG)
