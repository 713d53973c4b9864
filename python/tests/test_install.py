"""The package works from an install prefix, not only from the build tree."""
import os
import subprocess
import sys

import pytest


def test_import_from_an_install_prefix(tmp_path):
    build, cmake = os.environ.get("MORVANE_TEST_BUILD_DIR"), os.environ.get("MORVANE_TEST_CMAKE")
    if not build or not cmake:
        pytest.skip("MORVANE_TEST_BUILD_DIR and MORVANE_TEST_CMAKE name no build tree")
    prefix = tmp_path / "prefix"
    subprocess.run([cmake, "--install", build, "--prefix", prefix], check=True, capture_output=True)
    site = prefix / "lib" / "python3" / "dist-packages"
    for name in ("__init__.py", "__init__.pyi", "py.typed"):
        assert (site / "morvane" / name).is_file(), name
    script = (
        "import morvane, numpy as np, sys\n"
        "assert morvane.__file__.startswith(sys.argv[1]), morvane.__file__\n"
        "with morvane.open(sys.argv[2], create=True) as a:\n"
        "    a.add_group().add_points(np.zeros(0, morvane.POINT_DTYPE))\n"
        "print(morvane.__version__)\n"
    )
    env = {"PATH": os.environ.get("PATH", ""), "PYTHONPATH": str(site)}
    done = subprocess.run([sys.executable, "-c", script, str(site), str(tmp_path / "a.gcp")], env=env,
                          capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip().count(".") == 2
