"""The shared extension-module frame, as seen through tessaro.cython._brisel:
initialisation rules, the C-level export table, the function object and its
argument binding."""

import builtins
import copy
import ctypes
import importlib
import inspect
import json
import os
import pickle
import shutil
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import tessaro.cython
import tessaro.cython._zero_sign
from tessaro.cython import _brisel
from tessaro.cython._brisel import clip_abs
from tessaro.cython._zero_sign import ZERO_SIGN

MODNAME = "tessaro.cython._brisel"
HERE = os.path.dirname(os.path.abspath(__file__))
CHANGE_MSG = ("Interpreter change detected - this module can only be loaded into one "
              "interpreter per process.")
F32_SIG = ("void (__Pyx_memviewslice, __Pyx_memviewslice, __pyx_t_5numpy_float32_t, "
           "__pyx_t_5numpy_float32_t, Py_ssize_t)")
F64_SIG = ("void (__Pyx_memviewslice, __Pyx_memviewslice, __pyx_t_5numpy_float64_t, "
           "__pyx_t_5numpy_float64_t, Py_ssize_t)")
EXPORTS = [
    ("_brisel_f32_kernel", F32_SIG),
    ("_brisel_f32_parallel", F32_SIG),
    ("_brisel_f64_kernel", F64_SIG),
    ("_brisel_f64_parallel", F64_SIG),
]


def run_python(code, *flags):
    """Runs code in a fresh interpreter and returns the JSON it prints last."""
    proc = subprocess.run([sys.executable, *flags, "-c", textwrap.dedent(code)],
                          capture_output=True, text=True, cwd=HERE, timeout=120)
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout.strip().splitlines()[-1])


# ---------------------------------------------------------------------------
# one module object per process

def test_repeated_import_gives_the_same_module():
    first = importlib.import_module(MODNAME)
    assert importlib.import_module(MODNAME) is first is _brisel
    assert tessaro.cython._brisel is first


def test_import_after_removal_from_sys_modules_reuses_module_and_runs_nothing():
    fn = _brisel.clip_abs
    test_dict = _brisel.__test__
    capi = _brisel.__pyx_capi__
    saved = sys.modules.pop(MODNAME)
    try:
        again = importlib.import_module(MODNAME)
    finally:
        sys.modules[MODNAME] = saved
    assert again is saved
    assert again.clip_abs is fn
    # module-level statements were not re-run: their objects are the old ones
    assert again.__test__ is test_dict
    assert again.__pyx_capi__ is capi


def test_reload_reruns_nothing():
    fn = _brisel.clip_abs
    test_dict = _brisel.__test__
    assert importlib.reload(_brisel) is _brisel
    assert _brisel.clip_abs is fn
    assert _brisel.__test__ is test_dict


# ---------------------------------------------------------------------------
# module attributes

def test_module_docstring():
    assert _brisel.__doc__ == (
        "\nSign-preserving absolute-value clip kernel for float32/float64 arrays.\n")


def test_module_attributes():
    assert _brisel.__name__ == MODNAME
    assert _brisel.np is np
    assert _brisel.ZERO_SIGN is ZERO_SIGN is tessaro.cython._zero_sign.ZERO_SIGN
    assert _brisel.__test__ == {} and type(_brisel.__test__) is dict
    assert _brisel.__builtins__ is builtins
    assert _brisel.__package__ == "tessaro.cython"
    assert _brisel.__loader__ is _brisel.__spec__.loader
    assert _brisel.__file__ == _brisel.__spec__.origin
    assert not hasattr(_brisel, "__path__")
    public = {k for k in vars(_brisel) if not k.startswith("__")}
    assert public == {"np", "ZERO_SIGN", "clip_abs"}


# ---------------------------------------------------------------------------
# export table

def capsule_name(capsule):
    get_name = ctypes.pythonapi.PyCapsule_GetName
    get_name.restype = ctypes.c_char_p
    get_name.argtypes = [ctypes.py_object]
    return get_name(capsule).decode()


def capsule_pointer(capsule, name):
    get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
    get_pointer.restype = ctypes.c_void_p
    get_pointer.argtypes = [ctypes.py_object, ctypes.c_char_p]
    return get_pointer(capsule, name.encode())


def test_export_table_keys_in_order():
    assert type(_brisel.__pyx_capi__) is dict
    assert list(_brisel.__pyx_capi__) == [key for key, _ in EXPORTS]


@pytest.mark.parametrize("key, signature", EXPORTS)
def test_capsule_named_by_signature_without_context_or_destructor(key, signature):
    capsule = _brisel.__pyx_capi__[key]
    assert type(capsule).__name__ == "PyCapsule"
    assert capsule_name(capsule) == signature
    assert capsule_pointer(capsule, signature)
    get_context = ctypes.pythonapi.PyCapsule_GetContext
    get_context.restype = ctypes.c_void_p
    get_context.argtypes = [ctypes.py_object]
    assert get_context(capsule) is None
    get_destructor = ctypes.pythonapi.PyCapsule_GetDestructor
    get_destructor.restype = ctypes.c_void_p
    get_destructor.argtypes = [ctypes.py_object]
    assert get_destructor(capsule) is None


def test_the_four_exports_are_distinct_functions():
    pointers = {capsule_pointer(_brisel.__pyx_capi__[k], s) for k, s in EXPORTS}
    assert len(pointers) == 4


class View(ctypes.Structure):
    _fields_ = [
        ("memview", ctypes.c_void_p),
        ("data", ctypes.c_void_p),
        ("shape", ctypes.c_ssize_t * 8),
        ("strides", ctypes.c_ssize_t * 8),
        ("suboffsets", ctypes.c_ssize_t * 8),
    ]


def view_of(a, full=True):
    v = View()
    v.data = a.ctypes.data
    if full:
        v.memview = id(a)
        v.shape[0] = a.shape[0]
        v.strides[0] = a.strides[0]
        v.suboffsets[0] = -1
    return v


def kernel(key, functype=ctypes.CFUNCTYPE):
    scalar = ctypes.c_float if "f32" in key else ctypes.c_double
    proto = functype(None, View, View, scalar, scalar, ctypes.c_ssize_t)
    signature = dict(EXPORTS)[key]
    return proto(capsule_pointer(_brisel.__pyx_capi__[key], signature))


def kernel_input(dtype):
    vals = [0.05, -0.05, 0.0, -0.0, 0.1, -0.1, 0.5, -7.0, np.nan, -np.nan, np.inf, -np.inf,
            1e-310, -1e-40, 3e-3, -2e-3] * 5
    with np.errstate(under="ignore"):
        return np.array(vals, dtype=np.float64).astype(dtype)


def bits(a):
    return a.view(np.uint64 if a.dtype == np.float64 else np.uint32)


@pytest.mark.parametrize("key", [k for k, _ in EXPORTS])
@pytest.mark.parametrize("functype", [ctypes.CFUNCTYPE, ctypes.PYFUNCTYPE],
                         ids=["lock-released", "lock-held"])
@pytest.mark.parametrize("full", [True, False], ids=["full-record", "data-only"])
@pytest.mark.parametrize("zero_sign", [ZERO_SIGN.POSITIVE, ZERO_SIGN.NEGATIVE])
def test_exported_kernels_match_clip_abs(key, functype, full, zero_sign):
    dtype = np.float32 if "f32" in key else np.float64
    fn = kernel(key, functype)
    src = kernel_input(dtype)
    before = src.copy()
    t = dtype(0.1)
    zero_val = t if zero_sign is ZERO_SIGN.POSITIVE else -t
    expected = clip_abs(src, 0.1, zero_sign)

    dst = np.full_like(src, 42.0)
    fn(view_of(src, full), view_of(dst, full), t, zero_val, src.size)
    np.testing.assert_array_equal(bits(dst), bits(expected))
    np.testing.assert_array_equal(bits(src), bits(before))

    same = src.copy()
    fn(view_of(same, full), view_of(same, full), t, zero_val, same.size)
    np.testing.assert_array_equal(bits(same), bits(expected))


@pytest.mark.parametrize("key", [k for k, _ in EXPORTS])
@pytest.mark.parametrize("functype", [ctypes.CFUNCTYPE, ctypes.PYFUNCTYPE],
                         ids=["lock-released", "lock-held"])
@pytest.mark.parametrize("n", [0, -1, -1000, 7])
def test_exported_kernels_write_only_the_first_n(key, functype, n):
    dtype = np.float32 if "f32" in key else np.float64
    fn = kernel(key, functype)
    src = np.zeros(16, dtype=dtype)
    dst = np.full(16, 42.0, dtype=dtype)
    fn(view_of(src), view_of(dst), dtype(1.0), dtype(-1.0), n)
    written = max(n, 0)
    assert np.all(dst[:written] == -1.0)
    assert np.all(dst[written:] == 42.0)


# ---------------------------------------------------------------------------
# the function object

def test_function_names_and_doc():
    assert clip_abs.__name__ == "clip_abs"
    assert clip_abs.__qualname__ == "clip_abs"
    assert clip_abs.__module__ == MODNAME
    assert clip_abs.__doc__ is None


def test_defaults():
    assert type(clip_abs.__defaults__) is tuple and len(clip_abs.__defaults__) == 1
    assert clip_abs.__defaults__[0] is ZERO_SIGN.POSITIVE
    assert clip_abs.__kwdefaults__ == {"out": None, "in_place": False}
    assert clip_abs.__kwdefaults__["in_place"] is False


def test_annotations():
    assert clip_abs.__annotations__ == {
        "arr": "np.ndarray", "threshold": "float", "zero_sign": "ZERO_SIGN",
        "out": "np.ndarray | None", "in_place": "bool", "return": "np.ndarray"}
    assert list(clip_abs.__annotations__) == [
        "arr", "threshold", "zero_sign", "out", "in_place", "return"]


def test_annotations_resolve_in_module_namespace():
    hints = inspect.get_annotations(clip_abs, eval_str=True)
    assert hints["arr"] is np.ndarray
    assert hints["zero_sign"] is ZERO_SIGN
    assert hints["out"] == (np.ndarray | None)
    assert hints["return"] is np.ndarray


def test_code_object():
    code = clip_abs.__code__
    assert code.co_argcount == 3
    assert code.co_kwonlyargcount == 2
    assert code.co_posonlyargcount == 0
    assert code.co_varnames == ("arr", "threshold", "zero_sign", "out", "in_place",
                                "zero_val", "N", "use_parallel")


def test_signature():
    assert str(inspect.signature(clip_abs)) == (
        "(arr: 'np.ndarray', threshold: 'float', zero_sign: 'ZERO_SIGN' = "
        "<ZERO_SIGN.POSITIVE: 1>, *, out: 'np.ndarray | None' = None, "
        "in_place: 'bool' = False) -> 'np.ndarray'")


def test_pickle_and_copy_give_the_same_object():
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        assert pickle.loads(pickle.dumps(clip_abs, protocol)) is clip_abs
    assert copy.copy(clip_abs) is clip_abs
    assert copy.deepcopy(clip_abs) is clip_abs


# ---------------------------------------------------------------------------
# argument binding

A = np.array([0.05, -0.0, 2.0])


@pytest.mark.parametrize("args, kwargs, msg", [
    ((), {}, "clip_abs() takes at least 2 positional arguments (0 given)"),
    ((A,), {}, "clip_abs() takes at least 2 positional arguments (1 given)"),
    ((), {"threshold": 1.0}, "clip_abs() takes at least 2 positional arguments (0 given)"),
    ((A,), {"zero_sign": ZERO_SIGN.POSITIVE},
     "clip_abs() takes at least 2 positional arguments (1 given)"),
    ((), {"arr": A, "in_place": True},
     "clip_abs() takes at least 2 positional arguments (1 given)"),
    ((A, 0.1, ZERO_SIGN.POSITIVE, None), {},
     "clip_abs() takes at most 3 positional arguments (4 given)"),
    ((A, 0.1, ZERO_SIGN.POSITIVE, None, False), {},
     "clip_abs() takes at most 3 positional arguments (5 given)"),
    ((A, 0.1), {"foo": 1}, "clip_abs() got an unexpected keyword argument 'foo'"),
    ((A, -1.0), {"foo": 1}, "clip_abs() got an unexpected keyword argument 'foo'"),
    ((A, 0.1), {"arr": A}, "clip_abs() got multiple values for keyword argument 'arr'"),
    ((A, 0.1), {"threshold": 0.2},
     "clip_abs() got multiple values for keyword argument 'threshold'"),
    ((A, 0.1, ZERO_SIGN.NEGATIVE), {"zero_sign": ZERO_SIGN.POSITIVE},
     "clip_abs() got multiple values for keyword argument 'zero_sign'"),
])
def test_binding_errors(args, kwargs, msg):
    with pytest.raises(TypeError) as info:
        clip_abs(*args, **kwargs)
    assert str(info.value) == msg


def test_binding_errors_come_before_any_check():
    with pytest.raises(TypeError, match="positional arguments"):
        clip_abs(-1.0)


@pytest.mark.parametrize("call", [
    lambda: clip_abs(arr=A, threshold=0.1),
    lambda: clip_abs(A, threshold=0.1),
    lambda: clip_abs(threshold=0.1, arr=A),
    lambda: clip_abs(**{"arr": A, "threshold": 0.1}),
    lambda: clip_abs(A, **{"".join(["thresh", "old"]): 0.1}),
    lambda: clip_abs(A, 0.1, ZERO_SIGN.POSITIVE),
    lambda: clip_abs(A, 0.1, zero_sign=ZERO_SIGN.POSITIVE),
    lambda: clip_abs(*[A, 0.1], **{"out": None, "in_place": False}),
    lambda: clip_abs(A, 0.1, out=None),
], ids=["kw", "mixed", "kw-reordered", "dict", "runtime-key", "three-pos", "zero_sign-kw",
        "star-args", "out-none"])
def test_accepted_call_forms(call):
    got = call()
    assert got is not A
    np.testing.assert_array_equal(got, [0.1, 0.1, 2.0])
    assert np.signbit(A[1])


def test_keyword_only_options_by_dict():
    a = A.copy()
    out = np.empty_like(a)
    assert clip_abs(a, 0.1, **{"out": out}) is out
    assert clip_abs(a, 0.1, ZERO_SIGN.NEGATIVE, **{"in_place": True}) is a
    np.testing.assert_array_equal(a, [0.1, -0.1, 2.0])


# ---------------------------------------------------------------------------
# module globals are looked up per call: module dict first, then builtins

def test_missing_np_global_raises_name_error(monkeypatch):
    monkeypatch.delattr(_brisel, "np")
    with pytest.raises(NameError) as info:
        clip_abs(np.zeros(2), 0.1)
    assert str(info.value) == "name 'np' is not defined"


def test_globals_fall_back_to_builtins(monkeypatch):
    monkeypatch.delattr(_brisel, "np")
    monkeypatch.setattr(builtins, "np", np, raising=False)
    np.testing.assert_array_equal(clip_abs(np.zeros(2), 0.5), [0.5, 0.5])


def test_missing_zero_sign_global_raises_name_error(monkeypatch):
    monkeypatch.delattr(_brisel, "ZERO_SIGN")
    with pytest.raises(NameError) as info:
        clip_abs(np.zeros(2), 0.1)
    assert str(info.value) == "name 'ZERO_SIGN' is not defined"


# ---------------------------------------------------------------------------
# initialisation in fresh interpreters

SUBINTERP_MAIN_FIRST = """
    import json, _xxsubinterpreters as si
    import numpy as np
    import tessaro.cython._brisel as b
    interp = si.create(isolated=False)
    try:
        si.run_string(interp, "import tessaro.cython._brisel")
        result = None
    except Exception as e:
        result = [type(e).__name__, str(e)]
    si.destroy(interp)
    ok = float(b.clip_abs(np.array([0.0]), 0.5)[0])
    print(json.dumps([result, ok]))
"""


def test_second_interpreter_is_refused():
    (kind, text), ok = run_python(SUBINTERP_MAIN_FIRST)
    assert kind == "RunFailedError"
    assert "ImportError" in text
    assert text.endswith(CHANGE_MSG)
    assert ok == 0.5


SUBINTERP_SUB_FIRST = """
    import json, warnings, _xxsubinterpreters as si
    interp = si.create(isolated=False)
    si.run_string(interp, '''
    import warnings
    warnings.simplefilter("ignore")
    import numpy as np
    import tessaro.cython._brisel as b
    assert b.clip_abs(np.array([0.0]), 0.5)[0] == 0.5
    ''')
    try:
        import tessaro.cython._brisel
        result = None
    except ImportError as e:
        result = [type(e).__name__, str(e)]
    print(json.dumps(result))
"""


def test_main_interpreter_is_refused_after_a_sub_interpreter_loaded_it():
    assert run_python(SUBINTERP_SUB_FIRST) == ["ImportError", CHANGE_MSG]


SUBINTERP_AFTER_FAILED = """
    import json, sys, traceback, _xxsubinterpreters as si
    sys.modules["numpy"] = None
    try:
        import tessaro.cython._brisel
        first = None
    except ImportError as e:
        first = [f.name for f in traceback.extract_tb(e.__traceback__)]
    del sys.modules["numpy"]
    interp = si.create(isolated=False)
    try:
        si.run_string(interp, "import tessaro.cython._brisel")
        result = None
    except Exception as e:
        result = str(e)
    print(json.dumps([first, result]))
"""


def test_second_interpreter_is_refused_after_a_failed_first_import():
    first, result = run_python(SUBINTERP_AFTER_FAILED)
    assert first is not None and "init tessaro.cython._brisel" in first
    assert result is not None and result.endswith(CHANGE_MSG)


FAILED_EXEC_RECOVERY = """
    import json, sys, traceback
    BLOCK = sys.argv[1]
    real = sys.modules.get(BLOCK)
    sys.modules[BLOCK] = None
    try:
        import tessaro.cython._brisel
        first = None
    except ImportError as e:
        names = [f.name for f in traceback.extract_tb(e.__traceback__)]
        first = ["init tessaro.cython._brisel" in names,
                 "tessaro.cython._brisel" in sys.modules]
    if real is None:
        del sys.modules[BLOCK]
    else:
        sys.modules[BLOCK] = real
    import numpy as np
    import tessaro.cython._brisel as b
    again = b is sys.modules["tessaro.cython._brisel"]
    print(json.dumps([first, again, float(b.clip_abs(np.array([-0.0]), 2.0)[0]),
                      list(b.__pyx_capi__)]))
"""


@pytest.mark.parametrize("blocked", ["numpy", "tessaro.cython._zero_sign"])
def test_failed_initialisation_can_be_retried(blocked):
    code = FAILED_EXEC_RECOVERY.replace("sys.argv[1]", repr(blocked))
    first, again, value, capi = run_python(code, "-W", "error::RuntimeWarning")
    assert first == [True, False]
    assert again is True
    assert value == 2.0
    assert capi == [key for key, _ in EXPORTS]


MISSING_NAME = """
    import json, sys, types
    sys.modules["tessaro.cython._zero_sign"] = types.ModuleType("tessaro.cython._zero_sign")
    try:
        import tessaro.cython._brisel
        print(json.dumps(None))
    except ImportError as e:
        print(json.dumps(str(e)))
"""


def test_companion_without_zero_sign_fails_import():
    msg = run_python(MISSING_NAME)
    assert msg.startswith("cannot import name 'ZERO_SIGN'")


FAKE_NUMPY_API = """
    import ctypes, json, sys, types
    import numpy as np
    CASE = sys.argv[1]
    KEY = "numpy._core._multiarray_umath"
    real = sys.modules[KEY]
    get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
    get_pointer.restype = ctypes.c_void_p
    get_pointer.argtypes = [ctypes.py_object, ctypes.c_char_p]
    new_capsule = ctypes.pythonapi.PyCapsule_New
    new_capsule.restype = ctypes.py_object
    new_capsule.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
    table = (ctypes.c_void_p * 212).from_address(get_pointer(real._ARRAY_API, None))
    fake = (ctypes.c_void_p * 212)(*table)
    UINT_FN = ctypes.CFUNCTYPE(ctypes.c_uint)
    INT_FN = ctypes.CFUNCTYPE(ctypes.c_int)
    replacements = {
        "abi": (0, UINT_FN(lambda: 0x3000000)),
        "feature": (211, UINT_FN(lambda: 0x10)),
        "unknown-endian": (210, INT_FN(lambda: 0)),
        "big-endian": (210, INT_FN(lambda: 2)),
    }
    if CASE == "not-capsule":
        api = 1
    else:
        index, fn = replacements[CASE]
        fake[index] = ctypes.cast(fn, ctypes.c_void_p)
        api = new_capsule(ctypes.addressof(fake), None, None)
    stand_in = types.ModuleType(KEY)
    stand_in._ARRAY_API = api
    sys.modules[KEY] = stand_in
    try:
        import tessaro.cython._brisel
        failure = None
    except ImportError as e:
        ctx = e.__context__
        failure = [str(e), type(ctx).__name__, str(ctx)]
    finally:
        sys.modules[KEY] = real
    import tessaro.cython._brisel as b
    print(json.dumps([failure, float(b.clip_abs(np.array([0.01]), 0.5)[0])]))
"""


@pytest.mark.parametrize("case, reason", [
    ("not-capsule", "_ARRAY_API is not PyCapsule object"),
    ("abi", "module compiled against ABI version 0x2000000 but this version of numpy is "
            "0x3000000"),
    ("feature", "module was compiled against NumPy C-API version 0x11 (NumPy 1.25) but the "
                "running NumPy has C-API version 0x10."),
    ("unknown-endian", "FATAL: module compiled as unknown endian"),
    ("big-endian", "FATAL: module compiled as little endian, but detected different "
                   "endianness at runtime"),
], ids=lambda v: v if v in ("not-capsule", "abi", "feature", "unknown-endian", "big-endian")
   else "")
def test_unusable_numpy_c_api_becomes_import_error(case, reason):
    code = FAKE_NUMPY_API.replace("sys.argv[1]", repr(case))
    failure, value = run_python(code)
    assert failure is not None
    msg, ctx_type, ctx_msg = failure
    assert msg == "numpy._core.multiarray failed to import"
    assert ctx_type == "RuntimeError"
    assert ctx_msg.startswith(reason)
    # a later import with a working NumPy succeeds
    assert value == 0.5


# ---------------------------------------------------------------------------
# the shared library

def test_only_the_init_entry_is_exported():
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm is not available")
    proc = subprocess.run([nm, "-D", "--defined-only", _brisel.__file__],
                          capture_output=True, text=True, check=True)
    symbols = [line.split()[-1] for line in proc.stdout.splitlines() if line.strip()]
    assert symbols == ["PyInit__brisel"]
