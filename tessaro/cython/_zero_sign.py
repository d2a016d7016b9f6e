"""The sign that :func:`tessaro.cython._brisel.clip_abs` gives to exact zeros."""

import enum


class ZERO_SIGN(enum.Enum):
    """Sign written for elements equal to zero when their magnitude is raised.

    ``POSITIVE`` writes ``+threshold``; ``NEGATIVE`` writes ``-threshold``.
    """

    POSITIVE = 1
    NEGATIVE = -1


__all__ = ["ZERO_SIGN"]
