"""Numeric codes shared between the Python layer and the native remap kernels.

Every enumeration here is an :class:`enum.IntEnum` whose values are part of
the binary contract with the kernels: never renumber them.

What the native entries read:

- from the border configuration, ``config.mode.value``,
  ``config.feathering_mode.value`` and ``config.distance_mode.value``,
  each converted to a C int. The ``.value`` is read, not ``int()`` called,
  so a duck-typed configuration needs objects with a ``value`` there (enum
  members, or anything else with that attribute); a plain int raises
  ``AttributeError`` naming the attribute, e.g. ``mode.value: 'int' object
  has no attribute 'value' ...``;
- the ``interpolation`` argument as any other ``int`` parameter: an int is
  used as is, another number (such as an :class:`InterpMethod` member)
  becomes ``int(value)``.
"""

import enum


class BorderMode(enum.IntEnum):
    """What a remap does with coordinates outside the unit square.

    Coordinates are in unit space: 0 is the first source sample of an axis
    and 1 the last.

    ``CLAMP``
        Clamp the coordinate to [0, 1], repeating the edge sample.
    ``CONSTANT``
        Clamp, then replace or feather the edge sample toward a constant
        border value.
    ``REFLECT``
        Mirror about the first and last sample centres (period 2); the edge
        sample is not repeated.
    ``WRAP``
        Periodic with period 1, so u = 1 lands on the first sample again.
    ``REFLECT_101``
        The same mirror as ``REFLECT`` written with another formula; the two
        can differ in the last bit of the resolved coordinate.
    ``ARRAY``
        As ``CONSTANT``, but the border value of each output element comes
        from a border image indexed at the output position.
    """

    CLAMP = 0
    CONSTANT = 1
    REFLECT = 2
    WRAP = 3
    REFLECT_101 = 4
    ARRAY = 5


class FeatheringMode(enum.IntEnum):
    """Which side of the source edge the feathering band lies on.

    ``OUTWARD``
        Only output elements whose coordinates fall outside the source are
        blended: from the edge sample at distance 0 to the border value at
        the feather width.
    ``INWARD``
        Elements inside the source within the feather width of an enabled
        edge are blended toward the border value; elements outside get the
        border value itself.
    """

    OUTWARD = 0
    INWARD = 1


class DistanceMode(enum.IntEnum):
    """How outward feathering merges the two per-axis edge distances.

    With ``dx``, ``dy`` the per-axis distances (0 for an axis whose
    coordinate lies inside the source), ``mn = min(dx, dy)`` and
    ``mx = max(dx, dy)``; an infinite axis distance (disabled side) always
    gives an infinite result.  The 1-D remap has a single axis and ignores
    this setting, as does inward feathering.

    ``EUCLIDEAN`` (0)
        ``sqrt(dx*dx + dy*dy)``: round corners.  Codes without a member
        here (such as 7) behave like it too.
    ``CHEBYSHEV`` (1), alias ``MAX``
        ``mx``: square corners.
    ``MANHATTAN`` (2)
        ``dx + dy``: diamond-shaped corners.
    ``SCALED_MANHATTAN`` (3)
        ``(dx + dy) * 0.7071067811865476`` (the double nearest 1/sqrt(2)),
        so a diagonal step and an axis step of equal Euclidean length agree.
    ``OCTAGONAL`` (4)
        ``mn * 0.41421356237309503 + mx`` (the double nearest sqrt(2) - 1):
        exact along the axes and the diagonals, octagonal in between.
    ``MAX_PLUS_HALF_MIN`` (5)
        ``mn * 0.5 + mx``: a cheap Euclidean estimate that never
        underestimates.
    ``QUADRATIC_CORRECTED`` (6)
        ``((mn * 0.5 + mx) - (0.25*dx)*dx) - (0.25*dy)*dy``: the previous
        estimate pulled down by a quadratic term, which peaks at mx = 2;
        where mx >= 2 the distance is taken as infinite, so the pixel takes
        the border value.
    ``ALPHA_MAX_BETA_MIN`` (8)
        ``mx * 0.9604 + mn * 0.3981``: the alpha-max-plus-beta-min
        approximation of the Euclidean norm, within about 4 %.
    """

    EUCLIDEAN = 0
    CHEBYSHEV = 1
    MAX = 1
    MANHATTAN = 2
    SCALED_MANHATTAN = 3
    OCTAGONAL = 4
    MAX_PLUS_HALF_MIN = 5
    QUADRATIC_CORRECTED = 6
    ALPHA_MAX_BETA_MIN = 8


class InterpMethod(enum.IntEnum):
    """Interpolation kernel codes accepted as ``interpolation=`` by the remaps.

    The entries convert a member with ``int()``; any code outside 0..4
    falls back to linear interpolation in the kernels.

    ``NEAREST`` (0), alias ``NEAREST_EXACT``
        The nearest sample, halves rounding up (position + 0.5, truncated).
        ``NEAREST_EXACT`` names the same code for callers who spell the
        nearest-neighbour family ``NEAREST_*``.
    ``LINEAR`` (1)
        Bilinear in 2-D, linear in 1-D.
    ``CUBIC`` (2)
        Catmull-Rom cubic convolution (a = -0.5), 4 taps per axis,
        normalised by the weight sum.
    ``LANCZOS3`` (3)
        Lanczos window a = 3, 6 taps per axis, normalised.
    ``LANCZOS4`` (4)
        Lanczos window a = 4, 8 taps per axis, normalised.
    """

    NEAREST = 0
    NEAREST_EXACT = 0
    LINEAR = 1
    CUBIC = 2
    LANCZOS3 = 3
    LANCZOS4 = 4


__all__ = ["BorderMode", "DistanceMode", "FeatheringMode", "InterpMethod"]
