"""Shared helpers for the kelfit tests."""

from __future__ import annotations

import ctypes
import ctypes.util
import math
import os
import resource
import struct
import subprocess
import sys

import numpy as np


def f32(value: float) -> float:
    """Round a double to single precision and widen it back."""
    return struct.unpack("f", struct.pack("f", value))[0]


def reference_value(
    params: np.ndarray, row: np.ndarray, da: float, dr: float, offset: float = 0.0
) -> float:
    """The model value of one vector, following the module's precision rules.

    An independent scalar rendering with the C library's functions: the
    angles and the rotated components are single precision, everything in
    between is double, and the value is narrowed once.
    """
    a1, a2, a3 = (f32(float(a)) for a in params[:3])
    c1, s1 = math.cos(a1), math.sin(a1)
    c2, s2 = math.cos(a2), math.sin(a2)
    c3, s3 = math.cos(a3), math.sin(a3)
    m = (
        (c1 * c3 - s1 * c2 * s3, s1 * c3 + c1 * c2 * s3, s2 * s3),
        (-c1 * s3 - s1 * c2 * c3, c1 * c2 * c3 - s1 * s3, s2 * c3),
        (s1 * s2, -c1 * s2, c2),
    )
    x, y, z = (f32(float(v)) for v in row[:3])
    rotated = []
    for coefficients in m:
        component = f32(coefficients[0] * x)
        component = f32(component + coefficients[1] * y)
        component = f32(component + coefficients[2] * z)
        rotated.append(component)
    xr, yr, zr = rotated
    length = f32(math.sqrt(xr * xr + yr * yr + zr * zr))
    theta = math.acos(zr / length)
    phi = math.atan2(yr, xr)
    value = (
        da * (3.0 * math.cos(theta) * math.cos(theta) - 1.0)
        + dr * math.sin(theta) * math.sin(theta) * math.cos(2.0 * phi)
        + offset
    )
    return f32(value)


def run_python(code: str) -> subprocess.CompletedProcess[str]:
    """Run code in a fresh interpreter; fails the test if it exits non-zero."""
    return subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, check=True
    )


class _Mallinfo2(ctypes.Structure):
    _fields_ = [
        (name, ctypes.c_size_t)
        for name in (
            "arena",
            "ordblks",
            "smblks",
            "hblks",
            "hblkhd",
            "usmblks",
            "fsmblks",
            "uordblks",
            "fordblks",
            "keepcost",
        )
    ]


def _mallinfo2():  # type: ignore[no-untyped-def]
    try:
        libc = ctypes.CDLL(ctypes.util.find_library("c"))
        function = libc.mallinfo2
    except (OSError, AttributeError, TypeError):
        return None
    function.restype = _Mallinfo2
    return function


_MALLINFO2 = _mallinfo2()


def heap_in_use_kib() -> int:
    """Bytes the C heap holds in use (glibc), else the resident size, in KiB.

    The resident size misses small leaks that land in pages the heap already
    holds; the allocator's own count does not.
    """
    if _MALLINFO2 is not None:
        info = _MALLINFO2()
        return (info.uordblks + info.hblkhd) // 1024
    try:
        with open("/proc/self/statm") as statm:
            pages = int(statm.read().split()[1])
        return pages * os.sysconf("SC_PAGE_SIZE") // 1024
    except OSError:
        return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
