"""Module entry: the exception type, a single module object, load-time settings, transform functions."""

import math

import pytest
from conftest import IDENTITY, run_python

import velk_odom
from velk_odom import _native, compose, invert
from velk_odom._geometry import quat_from_axis_angle, rotate


def test_panic_exception_is_a_base_exception_only():
    assert velk_odom.PanicException is _native.PanicException
    assert issubclass(velk_odom.PanicException, BaseException) and not issubclass(velk_odom.PanicException, Exception)


def test_second_initialisation_returns_the_same_module():
    code = """
import sys, importlib
import velk_odom._native as first
cls = first.ImageFrame
del sys.modules["velk_odom._native"]
second = importlib.import_module("velk_odom._native")
assert second is first and second.ImageFrame is cls
print("same")
"""
    assert run_python(code).stdout.strip() == "same"


def test_sub_interpreter_gets_import_error(tmp_path):
    testcapi = pytest.importorskip("_testcapi")
    if not hasattr(testcapi, "run_in_subinterp"):
        pytest.skip("no sub-interpreter runner in this interpreter")
    out = tmp_path / "result.txt"
    code = f"""
try:
    import velk_odom._native
    result = "imported"
except ImportError:
    result = "ImportError"
open({str(out)!r}, "w").write(result)
"""
    testcapi.run_in_subinterp(code)
    assert out.read_text() == "ImportError"


def test_metal_device_addresses_set_at_load_unless_present():
    probe = "import ctypes, os, velk_odom; libc = ctypes.CDLL(None); libc.getenv.restype = ctypes.c_char_p; " \
            "print(libc.getenv(b'CUMETAL_USE_METAL_DEVICE_ADDRESSES').decode())"
    unset = "import os; os.environ.pop('CUMETAL_USE_METAL_DEVICE_ADDRESSES', None); os.unsetenv('CUMETAL_USE_METAL_DEVICE_ADDRESSES'); "
    assert run_python(unset + probe).stdout.strip() == "1"
    assert run_python(probe, CUMETAL_USE_METAL_DEVICE_ADDRESSES="0").stdout.strip() == "0"


@pytest.mark.parametrize("t, inverse", [
    (((1.0, 2.0, 3.0), (0.0, 0.0, 0.0, 1.0)), ((-1.0, -2.0, -3.0), (-0.0, -0.0, -0.0, 1.0))),  # negative zeros kept
    (((1, 0, 0), (0, 0, 0, 2)), ((-1.0, -0.0, -0.0), (-0.0, -0.0, -0.0, 1.0))),  # the quaternion normalised
])
def test_invert_worked_cases(t, inverse):
    result = invert(t)
    assert result == inverse
    assert [math.copysign(1.0, c) for c in result[1]] == [math.copysign(1.0, c) for c in inverse[1]]


HARD_ROTATIONS = [
    (0.0, 0.0, 0.0, 1.0),
    (0.0, 0.0, 0.0, -1.0),
    (1.0, 0.0, 0.0, 0.0),  # pi about x
    quat_from_axis_angle((1, 2, 3), 1e-9),
    quat_from_axis_angle((0.3, -1, 0.2), math.pi - 1e-7),
    quat_from_axis_angle((-1, 1, 1), 2.0),
]


@pytest.mark.parametrize("q", HARD_ROTATIONS)
def test_compose_with_inverse_is_identity_and_matches_matrices(q):
    a = ((0.5, -2.0, 7.0), q)
    b = ((1.0, 2.0, -3.0), quat_from_axis_angle((0, 1, 0), 0.7))
    t, r = compose(a, invert(a))
    assert t == pytest.approx((0, 0, 0), abs=1e-12)
    assert abs(abs(r[3]) - 1.0) < 1e-12
    # a ∘ b applied to a point equals a(b(p)), checked with rotation matrices.
    p = (0.3, -0.4, 1.1)

    def apply(tf, v):
        return tuple(r + d for r, d in zip(rotate(tf[1], v), tf[0]))

    ab = compose(a, b)
    assert apply(ab, p) == pytest.approx(apply(a, apply(b, p)), abs=1e-12)
    assert all(math.isnan(c) for c in invert((a[0], (0, 0, 0, 0)))[1])  # no direction: NaN


@pytest.mark.parametrize(
    "call, exc, arg",
    [
        (lambda: invert([[0, 0, 0], [0, 0, 0, 1]]), TypeError, "t"),
        (lambda: invert(((0, 0), (0, 0, 0, 1))), ValueError, "t"),
        (lambda: invert(((0, 0, 0), (0, 0, 0, 1), 3)), ValueError, "t"),
        (lambda: invert(((0, 0, 0), (0, 0, "x", 1))), TypeError, "t"),
        (lambda: compose(IDENTITY, ((0, 0, 0), [0, 0, 0, 1])), TypeError, "b"),
        (lambda: compose(((0, 0, 0, 0), (0, 0, 0, 1)), IDENTITY), ValueError, "a"),
        (lambda: compose(IDENTITY), TypeError, "b"),
        (lambda: invert(t=IDENTITY, extra=1), TypeError, "invert"),
        (lambda: velk_odom.init_logging(3), TypeError, "level"),
    ],
)
def test_argument_errors_name_the_argument(call, exc, arg):
    with pytest.raises(exc, match=arg):
        call()
    assert invert(t=IDENTITY) == IDENTITY and compose(a=IDENTITY, b=IDENTITY) == IDENTITY
