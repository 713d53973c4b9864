"""Exchange files (QGIS .points, VRT, CSV, GeoJSON) from Python."""
import numpy as np
import pytest

import morvane
from conftest import SAMPLE_FILES, make_points, sample

# What each format carries besides pixel, line, x and y (docs/formats.md).
CARRIED = {
    "points": ["use"],
    "vrt": ["z", "name"],
    "csv": ["z", "name", "id", "use", "edit"],
    "geojson": ["z", "name", "id", "use", "edit"],
}


@pytest.mark.parametrize("format", sorted(CARRIED))
@pytest.mark.parametrize("name", SAMPLE_FILES)
def test_formats_round_trip(tmp_path, name, format):
    points = morvane.read_points(sample(name))
    points["name"] = [f"gcp-{i}" for i in range(len(points))]
    points["z"] = np.linspace(0, 100, len(points))
    path = tmp_path / f"out.{format}"
    morvane.write_points(path, points, crs="EPSG:3857")
    back, crs = morvane.read_points(path, with_crs=True)
    assert len(back) == len(points)
    for field in ["pixel", "line", "x", "y"] + CARRIED[format]:
        np.testing.assert_array_equal(back[field], points[field], err_msg=field)
    if format != "csv":
        assert crs == "EPSG:3857"


def test_read_points_matches_the_tool_export(tmp_path, tool, avon_file):
    exported = tmp_path / "tool.csv"
    tool("export", avon_file, "-g", "1", exported)
    ours = morvane.read_points(exported)
    with morvane.open(avon_file) as area:
        stored = area.groups[1].points
    for field in stored.dtype.names:
        np.testing.assert_array_equal(ours[field], stored[field], err_msg=field)


def test_written_file_reads_in_the_tool(tmp_path, tool):
    points = make_points(9)
    path = tmp_path / "mine.geojson"
    morvane.write_points(path, points)
    tool("import", tmp_path / "a.gcp", "-g", "1", path)
    with morvane.open(tmp_path / "a.gcp") as area:
        np.testing.assert_array_equal(area.groups[1].points, points)


def test_names_that_are_not_utf8_survive(tmp_path):
    raw = b"pixel,line,x,y,name\n1,2,3,4,caf\xe9\n"
    (tmp_path / "latin1.csv").write_bytes(raw)
    points = morvane.read_points(tmp_path / "latin1.csv")
    morvane.write_points(tmp_path / "again.csv", points)
    assert b"caf\xe9" in (tmp_path / "again.csv").read_bytes()


def test_existing_vrt_keeps_the_rest_of_its_content(tmp_path):
    source = sample("gdal-autotest-gcore-gcps.vrt")
    target = tmp_path / "copy.vrt"
    target.write_bytes(source.read_bytes())
    morvane.write_points(target, make_points(4))
    text = target.read_text()
    assert "<VRTRasterBand" in source.read_text() and "<VRTRasterBand" in text
    assert len(morvane.read_points(target)) == 4


@pytest.mark.parametrize(
    "content, path, format, error, message",
    [
        ("", "a.txt", None, ValueError, "cannot tell the format from the name"),
        ("", "a.csv", "shapefile", ValueError, 'unknown format "shapefile"'),
        (None, "missing.points", None, FileNotFoundError, "missing.points"),
        ("pixel,line,x,y\n1,2,3,4\n1,2,three,4\n", "bad.csv", None, morvane.FormatError, r"bad.csv:3: "),
        ("pixel,line\n1,2\n", "short.csv", None, morvane.FormatError, "short.csv"),
    ],
    ids=["no-extension", "unknown-format", "missing", "bad-number", "missing-column"],
)
def test_read_refusals(tmp_path, content, path, format, error, message):
    if content is not None:
        (tmp_path / path).write_text(content)
    with pytest.raises(error, match=message):
        morvane.read_points(tmp_path / path, format)


def test_write_refusals_leave_no_file(tmp_path):
    with pytest.raises(ValueError, match="cannot tell the format"):
        morvane.write_points(tmp_path / "a.txt", make_points(2))
    with pytest.raises(ValueError, match="structured array"):
        morvane.write_points(tmp_path / "a.csv", np.zeros((2, 4)))
    with pytest.raises(OSError, match="No such file or directory"):
        morvane.write_points(tmp_path / "no" / "a.csv", make_points(2))
    assert sorted(p.name for p in tmp_path.iterdir()) == []
