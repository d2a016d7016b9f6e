"""The demo (``python -m tessaro``) draws its figures offline, and the
README's examples run.

Runs the whole demo at a small size in a fresh folder and checks that every
figure is a real PNG of a sensible size; skipped when matplotlib (from the
``demo`` or ``test`` extra) is not installed.
"""

import re
import struct
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

README = Path(__file__).resolve().parent.parent / "README.md"

pytest.importorskip("matplotlib")

PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"
FIGURES = ("gallery.png", "remap_1d.png", "clip_abs.png", "geometric.png")


def png_size(path: Path) -> tuple[int, int]:
    """Width and height from a PNG's IHDR chunk, after checking the header."""
    head = path.read_bytes()[:33]
    assert head[:8] == PNG_SIGNATURE, f"{path.name} is not a PNG"
    length, kind = struct.unpack(">I4s", head[8:16])
    assert kind == b"IHDR" and length == 13, f"{path.name} has no IHDR chunk first"
    return struct.unpack(">II", head[16:24])


def run_demo(*args: str, cwd: Path) -> subprocess.CompletedProcess[str]:
    # From a folder outside the source tree, so the installed package runs.
    return subprocess.run(
        [sys.executable, "-m", "tessaro", *args],
        cwd=cwd, capture_output=True, text=True, timeout=300,
    )


def test_demo_writes_the_figures(tmp_path):
    out = tmp_path / "figures"
    proc = run_demo("--out", str(out), "--size", "64", "--no-timing", cwd=tmp_path)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    for name in FIGURES:
        path = out / name
        assert path.is_file(), f"{name} missing; stdout:\n{proc.stdout}"
        width, height = png_size(path)
        assert width >= 800 and height >= 400, (name, width, height)
        assert path.stat().st_size > 20_000, (name, path.stat().st_size)
        # The demo says where it wrote each file.
        assert str(path.resolve()) in proc.stdout
    assert not (out / "timing.txt").exists()
    # Plenty of distinct colours: the panels were drawn, not left blank.
    from matplotlib.image import imread

    img = imread(out / "gallery.png")
    colours = np.unique((img[..., :3] * 255).astype(np.uint8).reshape(-1, 3), axis=0)
    assert len(colours) > 500


def test_synthetic_picture_stands_in_for_the_photograph():
    from tessaro.demo import load_picture

    img = load_picture("synthetic", 48)
    assert img.shape == (48, 48, 3) and img.dtype == np.float64
    assert img.min() >= 0.0 and img.max() <= 1.0
    assert len(np.unique(img.reshape(-1, 3), axis=0)) > 100


def test_timing_table_lists_every_kernel():
    pytest.importorskip("cv2")
    from tessaro.demo import KERNELS, synthetic_picture, timing_table

    table = timing_table(synthetic_picture(32))
    for _code, name, _member in KERNELS:
        assert name in table
    assert "tessaro f64" in table and "cv2 f64" in table


def test_bad_size_is_refused(tmp_path):
    proc = run_demo("--size", "4", "--out", str(tmp_path), cwd=tmp_path)
    assert proc.returncode == 2
    assert "--size" in proc.stderr


@pytest.mark.parametrize("extra", [(), ("--affine",)])
def test_tiles_demo_warps_zarr_to_zarr_on_a_cluster(tmp_path, extra):
    pytest.importorskip("distributed")
    proc = run_demo("tiles", "--size", "300", "--chunk", "128", "--compare-size", "300",
                    "--dir", str(tmp_path / "stores"), *extra, cwd=tmp_path)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert "store complete: True" in proc.stdout
    assert "4 of 4 sampled tiles identical" in proc.stdout


def test_readme_snippets_run(tmp_path):
    if not README.is_file():
        pytest.skip("no README next to the tests")
    # The Python blocks, in order, as one script: later ones use earlier names.
    blocks = re.findall(r"^```python\n(.*?)^```", README.read_text(), re.S | re.M)
    assert blocks
    proc = subprocess.run([sys.executable, "-c", "\n".join(blocks)], cwd=tmp_path,
                          capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stderr
