"""Converting coordinates: NumPy arrays against the tool, fit figures."""
import numpy as np
import pytest

import morvane
from conftest import SAMPLE_FILES, grid, make_points, sample

TYPES = ["poly1", "poly2", "poly3", "similarity", "projective", "tps"]


def tool_transform(tool, area, pairs, inverse):
    """The tool's binary transform of pairs (float64 (n, 2)), group 1."""
    args = ["transform", area, "-g", "1", "--binary"] + (["--inverse"] if inverse else [])
    out = tool(*args, stdin=np.ascontiguousarray(pairs, dtype="<f8").tobytes())
    return np.frombuffer(out, dtype="<f8").reshape(-1, 2)


def line_up_copy(path, tmp_path):
    """The same one-group file with its orientation byte set to lines upward."""
    data = bytearray(path.read_bytes())
    data[22] = 1
    copy = tmp_path / "up.gcp"
    copy.write_bytes(bytes(data))
    return copy


@pytest.fixture(params=["line-down", "line-up"])
def oriented_area(request, tmp_path, tool):
    path = tmp_path / "a.gcp"
    tool("import", path, "-g", "1", sample(SAMPLE_FILES[0]))
    return path if request.param == "line-down" else line_up_copy(path, tmp_path)


@pytest.mark.parametrize("type_name", TYPES)
def test_transform_equals_the_tool_bit_for_bit(tool, oriented_area, type_name):
    tool("set-type", oriented_area, "-g", "1", type_name)
    with morvane.open(oriented_area) as area:
        group = area.groups[1]
        # Inside the control points' frame, where every type can be inverted.
        points = group.points
        low = np.array([points["pixel"].min(), points["line"].min()])
        high = np.array([points["pixel"].max(), points["line"].max()])
        pixels = low + grid(5000, 1.0, 1.0) * (high - low)
        forward = group.transform(pixels)
        backward = group.transform(forward, inverse=True)
        prepared = group.transformer()(pixels)
    np.testing.assert_array_equal(forward, tool_transform(tool, oriented_area, pixels, False))
    np.testing.assert_array_equal(backward, tool_transform(tool, oriented_area, forward, True))
    np.testing.assert_array_equal(prepared, forward)
    np.testing.assert_allclose(backward, pixels, atol=1e-6)


def test_transformer_keeps_its_copy_of_the_fit(new_area):
    group = new_area.add_group(type="poly1")
    group.add_points(make_points(10))
    forward, inverse = group.transformer(), group.transformer(inverse=True)
    before = group.transform(grid(50))
    group.add_points(make_points(5, seed=11))
    group.type = "poly2"
    after = group.transform(grid(50))
    assert not np.array_equal(before, after)
    np.testing.assert_array_equal(forward(grid(50)), before)
    assert forward.inverse is False and inverse.inverse is True
    np.testing.assert_allclose(inverse(before), grid(50), atol=1e-7)


def test_transform_accepts_array_likes_and_returns_a_new_array(new_area):
    group = new_area.add_group()
    group.add_points(make_points(6))
    as_list = group.transform([[10, 20], [30, 40]])
    as_float32 = group.transform(np.array([[10, 20], [30, 40]], dtype=np.float32))
    strided = group.transform(np.array([[10, 0, 20], [30, 0, 40]], dtype=float)[:, ::2])
    np.testing.assert_array_equal(as_list, as_float32)
    np.testing.assert_array_equal(as_list, strided)
    assert as_list.dtype == np.float64 and as_list.shape == (2, 2)
    assert group.transform(np.empty((0, 2))).shape == (0, 2)


@pytest.mark.parametrize(
    "xy, error, message",
    [
        (np.zeros((3, 3)), ValueError, r"\(n, 2\) array, not one of shape \(3, 3\)"),
        (np.zeros(4), ValueError, r"shape \(4\)"),
        (np.array([[1.0, 2.0], [np.inf, 1.0]]), ValueError, r"xy\[1\] = \(inf, 1\) is not finite"),
        ([["a", "b"]], ValueError, "array of numbers"),
    ],
    ids=["three-columns", "flat", "infinite", "text"],
)
def test_transform_refuses_bad_input(new_area, xy, error, message):
    group = new_area.add_group()
    group.add_points(make_points(6))
    with pytest.raises(error, match=message):
        group.transform(xy)


@pytest.mark.parametrize("type_name, needed", [("poly2", 6), ("poly3", 10), ("tps", 3)])
def test_too_few_points_is_a_transform_error(new_area, type_name, needed):
    group = new_area.add_group(type=type_name)
    group.add_points(make_points(needed - 1))
    group.points  # readable without a fit
    for call in (lambda: group.transform([[1, 2]]), group.transformer, group.rms, group.residuals):
        with pytest.raises(morvane.TransformError, match=f"needs {needed} used points"):
            call()


@pytest.mark.parametrize("type_name", ["poly1", "poly2", "projective"])
def test_residuals_and_rms_follow_their_definition(new_area, type_name):
    group = new_area.add_group(type=type_name)
    points = make_points(30)
    group.add_points(points)
    residuals = group.residuals()
    assert residuals.dtype == morvane.RESIDUAL_DTYPE and len(residuals) == 30
    fitted = group.transform(np.column_stack((points["pixel"], points["line"])))
    np.testing.assert_allclose(residuals["x"], fitted[:, 0] - points["x"], atol=1e-6)
    np.testing.assert_allclose(residuals["y"], fitted[:, 1] - points["y"], atol=1e-6)
    back = group.transform(np.column_stack((points["x"], points["y"])), inverse=True)
    np.testing.assert_allclose(residuals["pixel"], back[:, 0] - points["pixel"], atol=1e-6)
    np.testing.assert_allclose(residuals["line"], back[:, 1] - points["line"], atol=1e-6)
    used = points["use"]
    user_rms, pixel_rms = group.rms()
    assert user_rms == pytest.approx(np.sqrt(np.mean(residuals["x"][used] ** 2 + residuals["y"][used] ** 2)))
    assert pixel_rms == pytest.approx(
        np.sqrt(np.mean(residuals["pixel"][used] ** 2 + residuals["line"][used] ** 2)))


def test_out_receives_the_results_and_may_be_the_input(oriented_area):
    with morvane.open(oriented_area) as area:
        group = area.groups[1]
        pixels = group.points[["pixel", "line"]].tolist()
        xy = np.array(pixels, dtype=float)
        expected = group.transform(xy)
        buffer = np.full_like(xy, np.nan)
        assert group.transform(xy, out=buffer) is buffer
        np.testing.assert_array_equal(buffer, expected)
        in_place = xy.copy()
        group.transformer()(in_place, out=in_place)
        np.testing.assert_array_equal(in_place, expected)
        # A refused input leaves an in-place array as it was.
        bad = xy.copy()
        bad[3, 0] = np.nan
        kept = bad.copy()
        with pytest.raises(ValueError, match=r"xy\[3\]"):
            group.transform(bad, out=bad)
        np.testing.assert_array_equal(bad, kept)


@pytest.mark.parametrize(
    "make_out, message",
    [
        (lambda xy: np.empty((len(xy), 2), dtype=np.float32), "float64"),
        (lambda xy: np.empty((len(xy) + 1, 2)), r"shape of xy, \(4, 2\)"),
        (lambda xy: np.empty((2, len(xy))).T, "C-contiguous"),
        (lambda xy: np.frombuffer(bytes(len(xy) * 16)).reshape(-1, 2), "writable"),
        (lambda xy: np.empty((len(xy), 3))[:, :2], "C-contiguous"),
        (lambda xy: [[0.0, 0.0]] * len(xy), "NumPy array"),
    ],
    ids=["float32", "shape", "fortran", "read-only", "strided", "list"],
)
def test_out_is_checked(new_area, make_out, message):
    group = new_area.add_group()
    group.add_points(make_points(6))
    xy = np.arange(8.0).reshape(4, 2)
    with pytest.raises(ValueError, match=f"out: .*{message}"):
        group.transform(xy, out=make_out(xy))


def test_out_that_overlaps_the_input_is_refused(new_area):
    group = new_area.add_group()
    group.add_points(make_points(6))
    storage = np.arange(10.0)
    with pytest.raises(ValueError, match="overlaps xy"):
        group.transform(storage[:8].reshape(4, 2), out=storage[2:].reshape(4, 2))


def test_transformer_outlives_its_area(tmp_path):
    with morvane.open(tmp_path / "t.gcp", create=True) as area:
        group = area.add_group()
        group.add_points(make_points(6))
        expected = group.transform(grid(20))
        transformer = group.transformer()
    assert area.closed
    np.testing.assert_array_equal(transformer(grid(20)), expected)


def test_threads_share_an_area_without_deadlock_or_mixing(new_area):
    from concurrent.futures import ThreadPoolExecutor

    first, second = new_area.add_group(type="poly1"), new_area.add_group(type="poly2")
    first.add_points(make_points(10))
    second.add_points(make_points(20, seed=5))
    xy = grid(200_000)
    expected = {1: first.transform(xy), 2: second.transform(xy)}
    jobs = [(first if k % 2 else second, k % 3 == 0) for k in range(24)]

    def work(job):
        group, prepared = job
        result = group.transformer()(xy) if prepared else group.transform(xy)
        len(group.points)   # a short call between the long ones
        return group.number, result

    with ThreadPoolExecutor(max_workers=4) as pool:
        for number, result in pool.map(work, jobs, timeout=120):
            np.testing.assert_array_equal(result, expected[number])
