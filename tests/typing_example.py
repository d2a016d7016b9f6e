"""Uses the public API the way a typed caller would.

``tests/test_typing.py`` runs ``mypy --strict`` on this file, so it checks
that the shipped stubs (``tessaro/cython/*.pyi`` and ``tessaro/py.typed``)
describe the native functions: the ``assert_type`` lines fail type checking
if a signature loses its precision.  The file also runs as a plain script,
which keeps every call here honest at run time.
"""

from typing import assert_type

import numpy as np
from numpy.typing import NDArray

import tessaro
from tessaro.core import BorderConfig, BorderMode, DistanceMode, FeatheringMode, InterpMethod
from tessaro.cython._brisel import clip_abs
from tessaro.cython._tovik import remap_tensor
from tessaro.cython._tovik_1d import remap_tensor_1d
from tessaro.cython._zero_sign import ZERO_SIGN


def identity_maps(h: int, w: int) -> tuple[NDArray[np.float64], NDArray[np.float64]]:
    """Unit-space maps that read every pixel at its own position."""
    map_x, map_y = np.meshgrid(np.linspace(0.0, 1.0, w), np.linspace(0.0, 1.0, h))
    return map_x, map_y


def remap_examples() -> None:
    img = np.random.default_rng(0).random((32, 48, 3)).astype(np.float32)
    map_x, map_y = identity_maps(32, 48)

    plain = remap_tensor(img, map_x, map_y)
    assert_type(plain, NDArray[np.float32])
    assert plain.shape == img.shape and plain.dtype == np.float32

    soft = BorderConfig.constant(
        0.0,
        feathering_width=0.1,
        distance_mode=DistanceMode.CHEBYSHEV,
        feather_widths=(0.05, 0.1, 0.2),
    )
    assert soft.mode == BorderMode.CONSTANT
    lanczos = remap_tensor(
        img, map_x * 1.2 - 0.1, map_y, interpolation=InterpMethod.LANCZOS3, border_config=soft
    )
    assert_type(lanczos, NDArray[np.float32])

    inward = BorderConfig.constant(
        1.0, feathering_width=0.05, feathering_mode=FeatheringMode.INWARD
    )
    gray = np.zeros((32, 48), dtype=np.float64)
    out64 = remap_tensor(gray, map_x, map_y, interpolation=2, border_config=inward)
    assert_type(out64, NDArray[np.float64])
    assert out64.shape == (32, 48)

    backdrop = np.full((32, 48, 3), 0.5)
    # The constructor rather than BorderConfig.array(backdrop): type checkers
    # read `array` as the instance attribute and reject the class-level call.
    framed = remap_tensor(img, map_x, map_y, border_config=BorderConfig(BorderMode.ARRAY, backdrop))
    assert_type(framed, NDArray[np.float32])


def remap_1d_examples() -> None:
    signal: NDArray[np.float64] = np.sin(np.linspace(0.0, 6.0, 100))
    u = np.linspace(-0.5, 1.5, 100)
    wrapped = remap_tensor_1d(signal, u, interpolation=InterpMethod.CUBIC, border_config=BorderConfig.wrap())
    assert_type(wrapped, NDArray[np.float64])
    stereo = np.stack([signal, -signal], axis=1).astype(np.float32)
    resampled = remap_tensor_1d(stereo, u, border_config=BorderConfig.reflect())
    assert_type(resampled, NDArray[np.float32])
    assert resampled.shape == (100, 2)


def clip_examples() -> None:
    x = np.asarray([0.05, -0.05, 0.0, 0.5], dtype=np.float64)
    y = clip_abs(x, 0.1)
    assert_type(y, NDArray[np.float64])
    z = clip_abs(x.astype(np.float32), 0.1, ZERO_SIGN.NEGATIVE)
    assert_type(z, NDArray[np.float32])
    buf = np.empty_like(x)
    same = clip_abs(x, 0.1, out=buf)
    assert same is buf
    clip_abs(x, 0.1, in_place=True)
    assert x[2] == 0.1


def warp_examples() -> None:
    img = np.random.default_rng(1).random((32, 48, 3)).astype(np.float32)
    map_x, map_y = identity_maps(20, 30)
    small = tessaro.warp(img, map_x, map_y, interpolation=InterpMethod.CUBIC)
    assert_type(small, NDArray[np.float32])
    assert small.shape == (20, 30, 3)
    buf = np.empty_like(small)
    tessaro.warp(img, map_x, map_y, border_config=BorderConfig.wrap(), out=buf)
    turn = np.array([[0.0, -1.0, 47.0], [1.0, 0.0, 0.0]])  # a quarter turn
    turned = tessaro.warp_affine(img, turn, (48, 32), interpolation=InterpMethod.NEAREST)
    assert_type(turned, NDArray[np.float32])
    assert (turned == np.rot90(img)).all()
    tilted = tessaro.warp_perspective(img, np.eye(3) + [[0, 0, 0], [0, 0, 0], [0.01, 0, 0]])
    assert_type(tilted, NDArray[np.float32])
    homography = [[1.0, 0.0, 0.0], [0.0, 1.0, 0.0], [0.01, 0.0, 1.0]]
    mx, my = tessaro.maps.perspective(homography, tilted.shape, img.shape)
    assert_type(mx, NDArray[np.float64])
    assert (tessaro.warp(img, mx, my) == tilted).all()


def top_level_examples() -> None:
    # The package's own names are the functions and classes above.
    img = np.zeros((8, 8), dtype=np.uint8)
    map_x, map_y = identity_maps(8, 8)
    config = tessaro.BorderConfig.reflect()
    assert config.mode == tessaro.BorderMode.REFLECT
    out = tessaro.remap_tensor(img, map_x, map_y, interpolation=tessaro.InterpMethod.CUBIC,
                               border_config=config)
    assert_type(out, NDArray[np.uint8])
    row: NDArray[np.int16] = np.arange(8, dtype=np.int16)
    line = tessaro.remap_tensor_1d(row, np.linspace(0.0, 1.0, 8))
    assert_type(line, NDArray[np.int16])
    floor = tessaro.clip_abs(map_x, 0.5)
    assert_type(floor, NDArray[np.float64])
    assert tessaro.remap_tensor is remap_tensor and tessaro.clip_abs is clip_abs


def main() -> None:
    top_level_examples()
    remap_examples()
    remap_1d_examples()
    clip_examples()
    warp_examples()


if __name__ == "__main__":
    main()
