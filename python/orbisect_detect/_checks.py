"""Checks of settings, shared by the settings classes.

Each returns the value as a plain Python number, or raises ``TypeError`` (a
bool, a string, anything that is not a real number) or ``ValueError``
(not finite, or outside its range), naming the field and the range.
"""

from __future__ import annotations

import math
import numbers


def integer(name: str, value: object, lo: int, hi: int) -> int:
    """An int from lo to hi (inclusive).

    Examples
    --------
    >>> integer("iterations", 5, 0, 10)
    5
    >>> integer("iterations", -1, 0, 10)
    Traceback (most recent call last):
    ...
    ValueError: iterations must be from 0 to 10, got -1
    """
    if isinstance(value, bool) or not isinstance(value, numbers.Integral):
        raise TypeError(f"{name} must be an int from {lo} to {hi}, got {type(value).__name__}")
    v = int(value)
    if not lo <= v <= hi:
        raise ValueError(f"{name} must be from {lo} to {hi}, got {v}")
    return v


def real(name: str, value: object, lo: float, hi: float, *, open_lo: bool = False) -> float:
    """A finite float from lo to hi (inclusive; above lo with ``open_lo``).

    Examples
    --------
    >>> real("tolerance", 1, 0.0, 64.0, open_lo=True)
    1.0
    >>> real("tolerance", float("nan"), 0.0, 64.0, open_lo=True)
    Traceback (most recent call last):
    ...
    ValueError: tolerance must be a finite number above 0 and at most 64, got nan
    """
    span = f"above {lo:g} and at most {hi:g}" if open_lo else f"from {lo:g} to {hi:g}"
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"{name} must be a number {span}, got {type(value).__name__}")
    try:
        v = float(value)
    except (OverflowError, ValueError, TypeError):
        raise ValueError(f"{name} must be a finite number {span}, got {value!r}") from None
    if not math.isfinite(v) or v > hi or v < lo or (open_lo and v == lo):
        raise ValueError(f"{name} must be a finite number {span}, got {value!r}")
    return v
