"""Module entry: the exception type, a single module object, load-time settings, transform functions, and the
typed stub held against the module."""

import ast
import inspect
import math
import subprocess
import sys
from pathlib import Path

import pytest
from conftest import IDENTITY, run_python

import velk_odom
from velk_odom import _native, compose, invert
from velk_odom._geometry import quat_from_axis_angle, rotate


def test_one_module_object_and_a_base_exception():
    assert velk_odom.PanicException is _native.PanicException
    assert issubclass(velk_odom.PanicException, BaseException) and not issubclass(velk_odom.PanicException, Exception)
    code = """
import sys, importlib
import velk_odom._native as first
del sys.modules["velk_odom._native"]
second = importlib.import_module("velk_odom._native")
print(second is first and second.ImageFrame is first.ImageFrame)
"""
    assert run_python(code).stdout.strip() == "True"


def test_the_package_imports_in_the_checkouts_root():
    # Where the README leaves a new user: a script, `python` or `python -m` there must find the installed
    # build, not a source folder without the compiled module.
    root = Path(__file__).resolve().parents[2]
    done = subprocess.run([sys.executable, "-m", "velk_odom.cli", "--version"], cwd=root, capture_output=True, text=True,
                          timeout=300)
    assert done.returncode == 0 and done.stdout.startswith("velk-odom "), done.stderr


def test_the_library_modules_do_not_import_the_command_line():
    # The command line sits on top of the package: a library module importing it would pull the whole
    # command line (and its optional dependencies) into every node that only fuses.
    package = Path(velk_odom.__file__).resolve().parent
    upward = []
    for source in sorted(package.glob("*.py")):
        for node in ast.walk(ast.parse(source.read_text())):
            names = [node.module or ""] if isinstance(node, ast.ImportFrom) else [a.name for a in getattr(node, "names", [])] \
                if isinstance(node, ast.Import) else []
            upward += [f"{source.name}: {n}" for n in names if n == "velk_odom.cli" or n.startswith("velk_odom.cli.")]
    assert not upward


def test_sub_interpreter_gets_import_error(tmp_path):
    run_in_subinterp = getattr(pytest.importorskip("_testcapi"), "run_in_subinterp", None) or pytest.skip("no runner")
    out = tmp_path / "result.txt"
    run_in_subinterp(f"""
result = "imported"
try:
    import velk_odom._native
except ImportError:
    result = "ImportError"
open({str(out)!r}, "w").write(result)
""")
    assert out.read_text() == "ImportError"


def test_metal_device_addresses_set_at_load_unless_present():
    probe = "import ctypes, os, velk_odom; libc = ctypes.CDLL(None); libc.getenv.restype = ctypes.c_char_p; " \
            "print(libc.getenv(b'CUMETAL_USE_METAL_DEVICE_ADDRESSES').decode())"
    unset = "import os; os.environ.pop('CUMETAL_USE_METAL_DEVICE_ADDRESSES', None); os.unsetenv('CUMETAL_USE_METAL_DEVICE_ADDRESSES'); "
    assert run_python(unset + probe).stdout.strip() == "1"
    assert run_python(probe, CUMETAL_USE_METAL_DEVICE_ADDRESSES="0").stdout.strip() == "0"


@pytest.mark.parametrize("q", [(0.0, 0.0, 0.0, -1.0), (1.0, 0.0, 0.0, 0.0), quat_from_axis_angle((0.3, -1, 0.2), math.pi - 1e-7),
                               quat_from_axis_angle((-1, 1, 1), 2.0)])
def test_compose_and_invert(q):
    # Negative zeros kept and the quaternion normalised; a ∘ b applied to a point is a(b(p)).
    inverse = invert(((1, 0, 0), (0, 0, 0, 2)))
    assert inverse == ((-1.0, -0.0, -0.0), (-0.0, -0.0, -0.0, 1.0)) and math.copysign(1, inverse[1][0]) == -1
    a, b, p = ((0.5, -2.0, 7.0), q), ((1.0, 2.0, -3.0), quat_from_axis_angle((0, 1, 0), 0.7)), (0.3, -0.4, 1.1)

    def apply(tf, v):
        return tuple(r + d for r, d in zip(rotate(tf[1], v), tf[0]))

    assert apply(compose(a, b), p) == pytest.approx(apply(a, apply(b, p)), abs=1e-12)
    assert apply(invert(a), apply(a, p)) == pytest.approx(p, abs=1e-12)
    assert all(math.isnan(c) for c in invert((a[0], (0, 0, 0, 0)))[1])  # no direction: NaN


@pytest.mark.parametrize("call, exc, arg", [
    (lambda: invert([[0, 0, 0], [0, 0, 0, 1]]), TypeError, "t"),
    (lambda: invert(((0, 0), (0, 0, 0, 1))), ValueError, "t"),
    (lambda: invert(((0, 0, 0), (0, 0, 0, 1), 3)), ValueError, "t"),
    (lambda: invert(((0, 0, 0), (0, 0, "x", 1))), TypeError, "t"),
    (lambda: compose(IDENTITY, ((0, 0, 0), [0, 0, 0, 1])), TypeError, "b"),
    (lambda: compose(((0, 0, 0, 0), (0, 0, 0, 1)), IDENTITY), ValueError, "a"),
    (lambda: compose(IDENTITY), TypeError, "b"),
    (lambda: invert(t=IDENTITY, extra=1), TypeError, "invert"),
    (lambda: velk_odom.init_logging(3), TypeError, "level"),
])
def test_argument_errors_name_the_argument(call, exc, arg):
    with pytest.raises(exc, match=arg):
        call()
    assert invert(t=IDENTITY) == IDENTITY and compose(a=IDENTITY, b=IDENTITY) == IDENTITY


def test_config_defaults_follow_the_key_tree_and_convert_back():
    def same_tree(keys, defaults, where):
        if isinstance(keys, dict):
            assert isinstance(defaults, dict) and list(defaults) == list(keys), where
            for k in keys:
                same_tree(keys[k], defaults[k], f"{where}.{k}")
        elif isinstance(keys, list):  # a list of records: one record of defaults
            assert isinstance(defaults, list) and len(defaults) == 1, where
            same_tree(keys[0], defaults[0], f"{where}[0]")
        else:
            assert defaults is None or isinstance(defaults, (bool, int, float, str, list)), where

    fusion, vo = _native.OdometryFusion, _native.CuvslamOdometry
    for engine in (fusion, vo):
        same_tree(engine.CONFIG_KEYS, engine.CONFIG_DEFAULTS, engine.__name__)
    # Each value in the type its conversion takes back (an int for an int, six values for six, None for unset).
    fusion(fusion.CONFIG_DEFAULTS)
    cameras = [dict(vo.CONFIG_DEFAULTS["cameras"][0], frame_id=name) for name in ("left", "right")]
    vo(dict(vo.CONFIG_DEFAULTS, cameras=cameras), tf=lambda target, source: None)
    assert fusion.CONFIG_DEFAULTS["imus"][0]["init_samples"] == 200 and fusion.CONFIG_DEFAULTS["odom_sources"][0]["odom_from_parent"] is None


def test_the_stub_states_the_modules_names_signatures_and_docstrings():
    def params(args):  # (name, kind, has a default) of each parameter but self / cls
        pos = [(a.arg, "POSITIONAL_ONLY") for a in args.posonlyargs] + [(a.arg, "POSITIONAL_OR_KEYWORD") for a in args.args]
        defaults = [False] * (len(pos) - len(args.defaults)) + [True] * len(args.defaults)
        kw = [(a.arg, "KEYWORD_ONLY", d is not None) for a, d in zip(args.kwonlyargs, args.kw_defaults)]
        return [(n, k, d) for (n, k), d in zip(pos, defaults) if n not in ("self", "cls")] + kw

    def signature(obj):
        return [(n, p.kind.name, p.default is not p.empty) for n, p in inspect.signature(obj).parameters.items() if n != "self"]

    def words(doc):
        return " ".join((doc or "").split())

    def check(body, runtime, where):
        stubbed = set()
        for node in body:
            name = node.target.id if isinstance(node, ast.AnnAssign) else getattr(node, "name", None)
            if name is None or name in ("__new__", "__init__"):
                if name is not None:  # the constructor: the class's own signature
                    assert params(node.args) == signature(runtime), f"{where}: constructor"
                continue
            stubbed.add(name)
            assert hasattr(runtime, name), f"{where}.{name} is in the stub only"
            obj = getattr(runtime, name)
            if isinstance(node, ast.ClassDef):
                check(node.body, obj, name)
            if isinstance(node, (ast.ClassDef, ast.FunctionDef)) and not node.decorator_list and not name.startswith("__"):
                # The module's docstring, which the stub may follow with what the typed interface adds.
                assert words(ast.get_docstring(node)).startswith(words(obj.__doc__)), f"{where}.{name}: docstring"
            if isinstance(node, ast.FunctionDef) and not node.decorator_list:
                assert params(node.args) == signature(obj), f"{where}.{name}: signature"
        names = vars(runtime) if isinstance(runtime, type) else dir(runtime)
        assert {n for n in names if not n.startswith("_")} <= stubbed, f"{where}: names missing from the stub"

    check(ast.parse(Path(_native.__file__).with_name("_native.pyi").read_text()).body, _native, "_native")
