"""Border and feathering settings of the remap kernels.

A :class:`BorderConfig` is validated once, when it is built, so that the
native remap entries can read its attributes on every call without checking
them again.  It is immutable: the border image is stored as a private
read-only float64 copy, and the per-channel widths as a tuple, so a
configuration can be shared between threads and reused across calls.

The attributes the remap entries read by name are ``mode``, ``array``,
``constant_value``, ``feathering_width``, the four
``feathering_{x,y}_{under,over}shoot_multiplier`` values,
``feathering_mode``, ``distance_mode`` and ``preserve_non_feather_dims``;
:func:`compute_feather_d` turns ``feather_widths`` into the per-channel
array they pass to the kernels.
"""

import functools
import math
import numbers
import operator

import numpy as np

from .enums import BorderMode, DistanceMode, FeatheringMode

_MULTIPLIERS = (
    "feathering_x_undershoot_multiplier",
    "feathering_x_overshoot_multiplier",
    "feathering_y_undershoot_multiplier",
    "feathering_y_overshoot_multiplier",
)

# Every setting of a configuration, in the constructor's order: the one list
# that the slots, pickling, repr and the Dask layer's per-tile rebuild follow.
_FIELDS = (
    "mode",
    "array",
    "constant_value",
    "feathering_width",
    *_MULTIPLIERS,
    "feathering_mode",
    "distance_mode",
    "preserve_non_feather_dims",
    "feather_widths",
)


def _is_real(value):
    # bool is an Integral, but a True width or multiplier is a caller bug.
    return isinstance(value, numbers.Real) and not isinstance(value, bool)


def _real(value, name):
    if not _is_real(value):
        raise TypeError(f"{name} must be a real number, got {type(value).__name__}")
    return float(value)


def _member(value, enum_cls, name):
    if isinstance(value, enum_cls):
        return value
    if isinstance(value, bool) or not isinstance(value, numbers.Integral):
        raise TypeError(
            f"{name} must be a {enum_cls.__name__}, got {type(value).__name__}"
        )
    try:
        return enum_cls(int(value))
    except ValueError:
        raise ValueError(f"{value!r} is not a valid {enum_cls.__name__}") from None


def _frozen_float64(values):
    out = np.array(values, dtype=np.float64, order="C", copy=True)
    out.flags.writeable = False
    return out


def _widths(widths):
    """Validated per-channel widths as a tuple, or None when there are none."""
    if widths is None:
        return None
    if isinstance(widths, (str, bytes)) or not hasattr(widths, "__iter__"):
        raise TypeError(
            "feather_widths must be None or a sequence of numbers, got "
            f"{type(widths).__name__}"
        )
    out = []
    for w in widths:
        w = _real(w, "each feather width")
        if not (math.isfinite(w) and w >= 0.0):
            raise ValueError(f"feather widths must be finite and >= 0, got {w!r}")
        out.append(w)
    # An empty list means the same as no list: every channel uses
    # feathering_width.
    return tuple(out) or None


class _ArrayAttribute:
    """``BorderConfig.array(img)`` builds an ARRAY-mode configuration, while
    ``config.array`` is that configuration's border image (or None).

    The native entries read the image under the name ``array``, and the
    named constructor of the mode reads best under the same name, so the
    attribute answers differently on the class and on an instance.
    """

    def __init__(self, constructor):
        self._constructor = constructor
        self.__doc__ = constructor.__doc__

    def __get__(self, instance, owner=None):
        if instance is None:
            return self._constructor.__get__(owner, type(owner))
        return instance._array


class BorderConfig:
    """Immutable border and feathering settings for the remap kernels.

    Build one with a named constructor (:meth:`clamp`, :meth:`constant`,
    :meth:`reflect`, :meth:`wrap`, :meth:`reflect_101`, :meth:`array`) or
    directly; every argument is validated here and a bad one raises
    TypeError (wrong kind of value) or ValueError (value out of range).

    Attributes:
        mode: a :class:`BorderMode`.
        array: the border image of ARRAY mode as a read-only C-contiguous
            float64 copy, indexed at the output position: (H, W) or
            (H, W, C) for images, (N,) or (N, C) for signals.  None in every
            other mode.
        constant_value: the border value of CONSTANT mode, a float
            (a 0-d array is taken as its scalar, None as 0.0).
        feathering_width: width of the feathering band, finite and >= 0,
            in unit-space distance scaled by the side multipliers.  0 gives
            a hard border.
        feathering_x_undershoot_multiplier,
        feathering_x_overshoot_multiplier,
        feathering_y_undershoot_multiplier,
        feathering_y_overshoot_multiplier: scale of the distance past the
            left, right, top and bottom edge (x < 0, x > 1, y < 0, y > 1).
            A negative value disables feathering on that side, so it
            switches straight to the border value.  Default 1.0; NaN is
            refused because its meaning would be accidental.
        feathering_mode: a :class:`FeatheringMode`.
        distance_mode: a :class:`DistanceMode`, used by outward feathering
            in 2-D only.
        preserve_non_feather_dims: with per-channel widths and outward
            feathering, keep the image sample of channels whose own width
            is 0 while the pixel lies within ``feathering_width`` of the
            edge, instead of switching them to the border value.
        feather_widths: per-channel feather widths (a tuple of finite
            floats >= 0), or None to use ``feathering_width`` for every
            channel.  See :func:`compute_feather_d`.

    Configurations compare and hash by identity: equality of two border
    images is not a question a config should answer implicitly.
    """

    # The image is held privately, behind the `array` descriptor.
    __slots__ = (*("_array" if name == "array" else name for name in _FIELDS), "_feather_d")

    def __init__(
        self,
        mode=BorderMode.CLAMP,
        array=None,
        constant_value=0.0,
        *,
        feathering_width=0.0,
        feathering_x_undershoot_multiplier=1.0,
        feathering_x_overshoot_multiplier=1.0,
        feathering_y_undershoot_multiplier=1.0,
        feathering_y_overshoot_multiplier=1.0,
        feathering_mode=FeatheringMode.OUTWARD,
        distance_mode=DistanceMode.EUCLIDEAN,
        preserve_non_feather_dims=False,
        feather_widths=None,
    ):
        put = functools.partial(object.__setattr__, self)

        mode = _member(mode, BorderMode, "mode")
        put("mode", mode)

        if mode == BorderMode.ARRAY:
            if array is None:
                raise ValueError("ARRAY mode requires a border array")
            arr = np.asarray(array)
            if arr.dtype.kind not in "biuf":
                raise TypeError(
                    f"border array must hold real numbers, got dtype {arr.dtype}"
                )
            if not 1 <= arr.ndim <= 3:
                raise ValueError(
                    "border array must be 1-D, 2-D or 3-D "
                    f"((N,), (N, C), (H, W) or (H, W, C)), got {arr.ndim}-D"
                )
            put("_array", _frozen_float64(arr))
        elif array is not None:
            raise ValueError(
                f"a border array is only used in ARRAY mode, not in {mode.name}"
            )
        else:
            put("_array", None)

        if constant_value is None:
            constant_value = 0.0
        elif isinstance(constant_value, np.ndarray):
            if constant_value.ndim != 0 or constant_value.dtype.kind not in "iuf":
                raise ValueError(
                    "constant_value must be a real scalar or a 0-d array, got an "
                    f"array of shape {constant_value.shape} and dtype "
                    f"{constant_value.dtype}"
                )
            constant_value = float(constant_value)
        else:
            constant_value = _real(constant_value, "constant_value")
        put("constant_value", constant_value)

        width = _real(feathering_width, "feathering_width")
        if not (math.isfinite(width) and width >= 0.0):
            raise ValueError(f"feathering_width must be finite and >= 0, got {width!r}")
        put("feathering_width", width)

        for name, value in zip(
            _MULTIPLIERS,
            (
                feathering_x_undershoot_multiplier,
                feathering_x_overshoot_multiplier,
                feathering_y_undershoot_multiplier,
                feathering_y_overshoot_multiplier,
            ),
        ):
            value = _real(value, name)
            if math.isnan(value):
                raise ValueError(f"{name} must not be NaN; use a negative value to disable a side")
            put(name, value)

        put("feathering_mode", _member(feathering_mode, FeatheringMode, "feathering_mode"))
        put("distance_mode", _member(distance_mode, DistanceMode, "distance_mode"))

        if not isinstance(preserve_non_feather_dims, (bool, np.bool_)):
            raise TypeError(
                "preserve_non_feather_dims must be a bool, got "
                f"{type(preserve_non_feather_dims).__name__}"
            )
        put("preserve_non_feather_dims", bool(preserve_non_feather_dims))

        widths = _widths(feather_widths)
        put("feather_widths", widths)
        # Built once here so that compute_feather_d, called on every remap,
        # only has to hand it out.
        put("_feather_d", None if widths is None else _frozen_float64(widths))

    def __setattr__(self, name, value):
        raise AttributeError(f"BorderConfig is immutable; cannot set {name!r}")

    def __delattr__(self, name):
        raise AttributeError(f"BorderConfig is immutable; cannot delete {name!r}")

    def __reduce__(self):
        # The default slot-state protocol restores through __setattr__,
        # which is blocked; rebuild through the validating constructor.
        fields = {name: getattr(self, name) for name in _FIELDS}
        positional = (fields.pop("mode"), fields.pop("array"), fields.pop("constant_value"))
        return (functools.partial(type(self), *positional, **fields), ())

    def __repr__(self):
        parts = []
        for name in _FIELDS:
            value = getattr(self, name)
            if name == "array" and value is not None:
                value = f"<float64 array of shape {value.shape}>"
            else:
                value = repr(value)
            parts.append(f"{name}={value}")
        return f"{type(self).__name__}({', '.join(parts)})"

    @classmethod
    def clamp(cls):
        """Repeat the edge sample.  Returns a shared instance: this is the
        default of every remap call, and a config cannot change."""
        if cls is BorderConfig:
            return _CLAMP
        return cls(BorderMode.CLAMP)

    @classmethod
    def constant(
        cls,
        value=0.0,
        *,
        feathering_width=0.0,
        feathering_x_undershoot_multiplier=1.0,
        feathering_x_overshoot_multiplier=1.0,
        feathering_y_undershoot_multiplier=1.0,
        feathering_y_overshoot_multiplier=1.0,
        feathering_mode=FeatheringMode.OUTWARD,
        distance_mode=DistanceMode.EUCLIDEAN,
        preserve_non_feather_dims=False,
        feather_widths=None,
    ):
        """Constant border ``value`` (a real number, a 0-d array, or None
        for 0.0), optionally feathered; the keywords are the attributes of
        the same name."""
        return cls(
            BorderMode.CONSTANT,
            None,
            value,
            feathering_width=feathering_width,
            feathering_x_undershoot_multiplier=feathering_x_undershoot_multiplier,
            feathering_x_overshoot_multiplier=feathering_x_overshoot_multiplier,
            feathering_y_undershoot_multiplier=feathering_y_undershoot_multiplier,
            feathering_y_overshoot_multiplier=feathering_y_overshoot_multiplier,
            feathering_mode=feathering_mode,
            distance_mode=distance_mode,
            preserve_non_feather_dims=preserve_non_feather_dims,
            feather_widths=feather_widths,
        )

    @classmethod
    def reflect(cls):
        """Mirror about the first and last sample, without repeating them."""
        return cls(BorderMode.REFLECT)

    @classmethod
    def wrap(cls):
        """Periodic continuation with period 1 in unit space."""
        return cls(BorderMode.WRAP)

    @classmethod
    def reflect_101(cls):
        """Mirror about the first and last sample (alternative formula)."""
        return cls(BorderMode.REFLECT_101)

    def array(
        cls,
        border_array,
        *,
        feathering_width=0.0,
        feathering_x_undershoot_multiplier=1.0,
        feathering_x_overshoot_multiplier=1.0,
        feathering_y_undershoot_multiplier=1.0,
        feathering_y_overshoot_multiplier=1.0,
        feathering_mode=FeatheringMode.OUTWARD,
        distance_mode=DistanceMode.EUCLIDEAN,
        preserve_non_feather_dims=False,
        feather_widths=None,
    ):
        """Border values from ``border_array``, indexed at the output position.

        ``border_array`` is (H, W) or (H, W, C) for image remaps, where an
        (H, W) image serves every channel of the source, and (N,) or (N, C)
        for signal remaps, where it must have one column per channel.  It is
        copied, so later changes to it do not reach the configuration.  The keywords are the attributes of the same name.
        """
        return cls(
            BorderMode.ARRAY,
            border_array,
            feathering_width=feathering_width,
            feathering_x_undershoot_multiplier=feathering_x_undershoot_multiplier,
            feathering_x_overshoot_multiplier=feathering_x_overshoot_multiplier,
            feathering_y_undershoot_multiplier=feathering_y_undershoot_multiplier,
            feathering_y_overshoot_multiplier=feathering_y_overshoot_multiplier,
            feathering_mode=feathering_mode,
            distance_mode=distance_mode,
            preserve_non_feather_dims=preserve_non_feather_dims,
            feather_widths=feather_widths,
        )

    array = _ArrayAttribute(array)


_CLAMP = BorderConfig(BorderMode.CLAMP)


def compute_feather_d(bc, C):
    """Per-channel feather widths of ``bc`` for a remap with ``C`` channels.

    Returns None when the configuration has no per-channel widths (every
    channel then uses ``bc.feathering_width``).  Otherwise returns a
    C-contiguous float64 1-D array with at least ``C`` widths: the widths
    as given when there are at least ``C`` of them (trailing extra widths
    are ignored, so one configuration can serve RGBA and RGB images), or a
    single given width repeated for all ``C`` channels.  Any other count
    raises ValueError.

    ``bc`` may be any object with the attributes of a border configuration;
    one without ``feather_widths`` has no per-channel widths.  For a
    :class:`BorderConfig` the common cases return a cached read-only array
    without allocating.
    """
    if isinstance(bc, BorderConfig):
        fd = bc._feather_d
    else:
        widths = _widths(getattr(bc, "feather_widths", None))
        fd = None if widths is None else _frozen_float64(widths)
    if fd is None:
        return None
    C = operator.index(C)
    n = fd.shape[0]
    if n >= C:
        if C < 0:
            raise ValueError(f"channel count must be >= 0, got {C}")
        return fd
    if n == 1:
        return np.full(C, fd[0], dtype=np.float64)
    raise ValueError(
        f"{n} feather widths given for {C} channels; give at least one per "
        "channel, or a single width for all of them"
    )


__all__ = ["BorderConfig", "compute_feather_d"]
