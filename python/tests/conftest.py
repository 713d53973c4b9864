"""Shared fixtures of the Python tests.

The tests run against the package in the build tree (PYTHONPATH set by
ctest).  MORVANE_TEST_TOOL names the built command-line tool, which several
tests use as the reference; MORVANE_TEST_PG_URI a PostgreSQL server.
"""
import os
import pathlib
import subprocess

import numpy as np
import pytest

import morvane

ROOT = pathlib.Path(__file__).resolve().parents[2]
SAMPLES = ROOT / "tests" / "data" / "gcp"

# Sample files of different sizes and sources, read with the tool's readers.
SAMPLE_FILES = [
    "qgis-zoning-metro-hartford-1954-avon-present-zoning-ROTATED_modified.tif.points",
    "qgis-UBR-Geo-ubr05510_5776.tif.points",
    "gdal-autotest-gcore-gcps.vrt",
]


@pytest.fixture(scope="session")
def tool():
    """Runs the morvane tool; returns its standard output (bytes)."""
    path = os.environ.get("MORVANE_TEST_TOOL")
    if not path or not os.access(path, os.X_OK):
        pytest.skip("MORVANE_TEST_TOOL does not name the built morvane tool")

    def run(*args, stdin=None):
        done = subprocess.run([path, *map(str, args)], input=stdin, capture_output=True)
        assert done.returncode == 0, done.stderr.decode()
        return done.stdout

    return run


def sample(name):
    return SAMPLES / name


@pytest.fixture
def avon_file(tmp_path, tool):
    """A control-point file made by the tool: group 1, poly2, from a QGIS file."""
    path = tmp_path / "avon.gcp"
    tool("import", path, "-g", "1", "--type", "poly2", sample(SAMPLE_FILES[0]))
    return path


def grid(count, width=2000.0, height=1500.0):
    """count pixel/line positions spread over a width x height raster."""
    side = int(np.ceil(np.sqrt(count)))
    i = np.arange(count)
    return np.column_stack(((i % side) * width / side + 0.25, (i // side) * height / side + 0.5))


def make_points(count, seed=7):
    """count points on a slightly bent plane, names p1..pN, every third a check point."""
    rng = np.random.default_rng(seed)
    points = np.zeros(count, dtype=morvane.POINT_DTYPE)
    points["pixel"] = rng.uniform(0, 2000, count)
    points["line"] = rng.uniform(0, 1500, count)
    points["x"] = 500000 + 2.0 * points["pixel"] + 1e-4 * points["pixel"] * points["line"]
    points["y"] = 4600000 - 2.0 * points["line"] + rng.normal(0, 0.5, count)
    points["name"] = [f"p{i + 1}" for i in range(count)]
    points["id"] = np.arange(1, count + 1)
    points["use"] = np.arange(count) % 3 != 2
    points["edit"] = True
    return points


@pytest.fixture
def new_area(tmp_path):
    """A new, empty control-point file area, discarded at the end if left open."""
    area = morvane.open(tmp_path / "new.gcp", create=True)
    yield area
    area.discard()


