"""The companion configuration: validation, immutability, per-channel widths."""

import pickle

import numpy as np
import pytest

from tessaro.core.border_config import BorderConfig, compute_feather_d
from tessaro.core.enums import BorderMode, DistanceMode, FeatheringMode, InterpMethod


def test_enum_codes_are_the_kernel_codes():
    assert [m.value for m in BorderMode] == [0, 1, 2, 3, 4, 5]
    assert [m.name for m in BorderMode] == [
        "CLAMP", "CONSTANT", "REFLECT", "WRAP", "REFLECT_101", "ARRAY"]
    assert FeatheringMode.INWARD == 1
    assert sorted({int(m) for m in DistanceMode}) == [0, 1, 2, 3, 4, 5, 6, 8]
    assert [int(m) for m in (InterpMethod.NEAREST, InterpMethod.LINEAR, InterpMethod.CUBIC,
                             InterpMethod.LANCZOS3, InterpMethod.LANCZOS4)] == [0, 1, 2, 3, 4]


@pytest.mark.parametrize("make, mode", [
    (BorderConfig.clamp, BorderMode.CLAMP),
    (BorderConfig.constant, BorderMode.CONSTANT),
    (BorderConfig.reflect, BorderMode.REFLECT),
    (BorderConfig.wrap, BorderMode.WRAP),
    (BorderConfig.reflect_101, BorderMode.REFLECT_101),
    (lambda: BorderConfig.array(np.zeros((2, 3))), BorderMode.ARRAY),
])
def test_named_constructors_set_the_mode(make, mode):
    bc = make()
    assert bc.mode is mode
    assert (bc.array is None) == (mode != BorderMode.ARRAY)


def test_clamp_is_shared_and_immutable():
    bc = BorderConfig.clamp()
    assert bc is BorderConfig.clamp()
    with pytest.raises(AttributeError, match="immutable"):
        bc.feathering_width = 1.0
    with pytest.raises(AttributeError, match="immutable"):
        del bc.mode


def test_border_image_is_a_private_read_only_copy():
    img = np.arange(6, dtype=np.int16).reshape(2, 3)
    bc = BorderConfig.array(img)
    img[0, 0] = 99
    assert bc.array.dtype == np.float64 and bc.array[0, 0] == 0.0
    assert not bc.array.flags.writeable and bc.array.flags.c_contiguous


@pytest.mark.parametrize("kwargs, exc, match", [
    ({"mode": 9}, ValueError, "not a valid BorderMode"),
    ({"mode": "CLAMP"}, TypeError, "mode must be a BorderMode"),
    ({"mode": BorderMode.ARRAY}, ValueError, "requires a border array"),
    ({"mode": BorderMode.CLAMP, "array": np.zeros((2, 2))}, ValueError, "only used in ARRAY"),
    ({"mode": BorderMode.ARRAY, "array": np.zeros((1, 1, 1, 1))}, ValueError, "got 4-D"),
    ({"mode": BorderMode.ARRAY, "array": np.zeros((2, 2), complex)}, TypeError, "real numbers"),
    ({"feathering_width": -0.1}, ValueError, "feathering_width"),
    ({"feathering_width": float("inf")}, ValueError, "feathering_width"),
    ({"feathering_width": True}, TypeError, "feathering_width"),
    ({"feathering_x_overshoot_multiplier": float("nan")}, ValueError, "must not be NaN"),
    ({"constant_value": np.zeros(3)}, ValueError, "constant_value"),
    ({"constant_value": "0"}, TypeError, "constant_value"),
    ({"preserve_non_feather_dims": 1}, TypeError, "preserve_non_feather_dims"),
    ({"feather_widths": [0.1, -1.0]}, ValueError, "feather widths"),
    ({"feather_widths": "0.1"}, TypeError, "feather_widths"),
    ({"feathering_mode": 2}, ValueError, "FeatheringMode"),
])
def test_bad_settings_are_refused(kwargs, exc, match):
    with pytest.raises(exc, match=match):
        BorderConfig(**kwargs)


def test_negative_multiplier_is_allowed_to_disable_a_side():
    bc = BorderConfig.constant(1.0, feathering_width=0.2, feathering_y_undershoot_multiplier=-1)
    assert bc.feathering_y_undershoot_multiplier == -1.0


def test_constant_value_forms():
    assert BorderConfig.constant(None).constant_value == 0.0
    assert BorderConfig.constant(np.array(2.5)).constant_value == 2.5
    assert BorderConfig.constant(3).constant_value == 3.0


def test_pickle_round_trip_keeps_every_setting():
    bc = BorderConfig.array(np.ones((2, 2)), feathering_width=0.3, feather_widths=[0.1, 0.2],
                            feathering_mode=FeatheringMode.INWARD,
                            distance_mode=DistanceMode.MANHATTAN)
    back = pickle.loads(pickle.dumps(bc))
    assert repr(back) == repr(bc)
    np.testing.assert_array_equal(back.array, bc.array)


@pytest.mark.parametrize("widths, C, want", [
    (None, 3, None),
    ([], 3, None),
    ([0.1, 0.2, 0.3], 3, [0.1, 0.2, 0.3]),
    ([0.1, 0.2, 0.3, 0.4], 3, [0.1, 0.2, 0.3, 0.4]),
    ([0.25], 4, [0.25] * 4),
])
def test_compute_feather_d(widths, C, want):
    fd = compute_feather_d(BorderConfig.constant(feather_widths=widths), C)
    if want is None:
        assert fd is None
    else:
        assert fd.dtype == np.float64 and fd.ndim == 1 and fd.flags.c_contiguous
        np.testing.assert_array_equal(fd, want)


def test_compute_feather_d_refuses_widths_that_do_not_fit():
    with pytest.raises(ValueError, match="2 feather widths given for 3 channels"):
        compute_feather_d(BorderConfig.constant(feather_widths=[0.1, 0.2]), 3)


def test_compute_feather_d_accepts_attribute_bags():
    class Bag:
        feather_widths = (0.5, 0.25)

    np.testing.assert_array_equal(compute_feather_d(Bag(), 2), [0.5, 0.25])
    assert compute_feather_d(object(), 2) is None
