"""The shipped type stubs satisfy ``mypy --strict`` on a typed caller.

Runs mypy (a test dependency) on ``typing_example.py`` and on a small file
of deliberate mistakes, which must be caught: that shows the stubs of the
native modules are found and used, not silently replaced by ``Any``.
"""

import shutil
import subprocess
import sys
from pathlib import Path

import pytest

pytest.importorskip("mypy")

HERE = Path(__file__).resolve().parent

# tessaro.core.border_config is not annotated yet; until it is, calls into it
# are exempt from --strict's untyped-call check (everything else is strict).
MYPY_FLAGS = ["--strict", "--untyped-calls-exclude", "tessaro.core.border_config"]

MISTAKES = '''\
import numpy as np
import tessaro
from tessaro.cython._brisel import clip_abs
from tessaro.cython._tovik import remap_tensor
from tessaro.cython._tovik_1d import remap_tensor_1d

img = np.zeros((4, 4))
remap_tensor(img, img, img, interpolation="cubic")
remap_tensor(img, img, img, 2)
remap_tensor_1d(img[0], img[0], border_config="wrap")
clip_abs(np.zeros(3, dtype=np.int64), 0.1)
clip_abs(np.zeros(3), 0.1, zero_sign=-1)
tessaro.warp(img, img, img, out=img.tolist())
tessaro.remap_tensor_1d(img[0], img[0], interpolation=tessaro.BorderMode.WRAP.name)
'''


def test_stubs_pass_mypy_strict_and_catch_mistakes(tmp_path, request):
    shutil.copy(HERE / "typing_example.py", tmp_path / "typing_example.py")
    (tmp_path / "mistakes.py").write_text(MISTAKES)
    # Warm across runs through pytest's cache folder, when it is enabled.
    if hasattr(request.config, "cache"):
        cache = request.config.cache.mkdir("mypy")
    else:
        cache = tmp_path / "cache"
    # Run from tmp_path so that mypy resolves the installed package.
    proc = subprocess.run(
        [sys.executable, "-m", "mypy", *MYPY_FLAGS, "--cache-dir", str(cache),
         "--no-error-summary", "typing_example.py", "mistakes.py"],
        cwd=tmp_path, capture_output=True, text=True, timeout=300,
    )
    errors = [line for line in proc.stdout.splitlines() if ": error:" in line]
    in_example = [e for e in errors if e.startswith("typing_example.py")]
    assert not in_example, proc.stdout
    flagged = {int(e.split(":")[1]) for e in errors if e.startswith("mistakes.py")}
    # Lines 8..14 of MISTAKES each hold one mistake.
    assert flagged == set(range(8, 15)), proc.stdout + proc.stderr


def test_typing_example_runs():
    proc = subprocess.run(
        [sys.executable, str(HERE / "typing_example.py")],
        capture_output=True, text=True, timeout=120,
    )
    assert proc.returncode == 0, proc.stderr


def test_top_level_names_load_on_first_use():
    code = """if True:
        import sys, tessaro
        assert not [m for m in sys.modules if m.startswith(("numpy", "tessaro."))], sys.modules
        assert set(tessaro.__all__) <= set(dir(tessaro))
        for name in tessaro.__all__:
            assert getattr(tessaro, name).__name__.rpartition(".")[2] == name
        assert tessaro.warp.__module__ == "tessaro.cython._warp"
        """
    proc = subprocess.run([sys.executable, "-c", code], cwd=HERE, capture_output=True, text=True,
                          timeout=120)
    assert proc.returncode == 0, proc.stderr
