"""init_logging: a refused filter installs nothing; a second installation is refused and the first stays."""

import pytest
from conftest import run_python


@pytest.mark.parametrize("code, printed", [
    ("""
velk_odom.init_logging()
try:
    velk_odom.init_logging("debug")
except ValueError as e:
    print("refused:", e)
""", "refused: a global default trace dispatcher has already been set"),
    ("""
try:
    velk_odom.init_logging("velk_slam=loud")
except ValueError as e:
    print(str(e).startswith("level: "))
velk_odom.init_logging("warn")
print("installed")
""", "True\ninstalled"),
])
def test_installation(code, printed):
    out = run_python("import velk_odom\n" + code)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == printed
