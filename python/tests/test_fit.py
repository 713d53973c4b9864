"""Fit quality from Python: leave-one-out figures, the robust outlier check
and the predicted error, against independent computations."""
import numpy as np
import pytest

import morvane
from conftest import make_points


def affine_loo(points):
    """Leave-one-out map residuals of an affine fit, refitted without each used point."""
    used = np.flatnonzero(points["use"])
    design = np.column_stack((np.ones(len(points)), points["pixel"], points["line"]))
    target = np.column_stack((points["x"], points["y"]))
    out = np.full((len(points), 2), np.nan)
    for i in used:
        keep = used[used != i]
        coef, *_ = np.linalg.lstsq(design[keep], target[keep], rcond=None)
        out[i] = design[i] @ coef - target[i]
    return out


def test_loo_of_an_affine_group_equals_refits_without_each_point(new_area):
    points = make_points(40)
    group = new_area.add_group(type="poly1")
    group.add_points(points)
    loo = group.loo()
    expected = affine_loo(points)
    used = points["use"]
    # NumPy refits raw coordinates of millions of metres: its own rounding
    # is some 1e-9 m, far below the 0.1 to 1 m residuals compared.
    np.testing.assert_allclose(loo["loo_x"][used], expected[used, 0], rtol=1e-7, atol=1e-7)
    np.testing.assert_allclose(loo["loo_y"][used], expected[used, 1], rtol=1e-7, atol=1e-7)
    assert np.all((loo["leverage"][used] > 0) & (loo["leverage"][used] < 1))
    user_rms, pixel_rms = group.prediction_rms()
    assert user_rms == pytest.approx(np.sqrt(np.mean(np.sum(expected[used] ** 2, axis=1))), rel=1e-7)
    assert pixel_rms > 0
    # Leave-one-out residuals are never smaller than the fit's own.
    fit = group.residuals()
    assert np.all(np.hypot(loo["loo_x"], loo["loo_y"])[used] >= np.hypot(fit["x"], fit["y"])[used] - 1e-9)


@pytest.mark.parametrize("apply", [False, True])
def test_refine_names_a_planted_outlier_and_applies_only_when_asked(tmp_path, apply):
    points = make_points(60)
    points["use"] = True
    points["x"][17] += 400.0   # 200 pixels off
    points["edit"][23] = False
    points["x"][23] -= 300.0   # locked: found, left as it is
    path = tmp_path / "planted.gcp"
    with morvane.open(path, create=True) as area:
        area.add_group(type="poly2").add_points(points)
    with morvane.open(path) as area:
        verdict = area.groups[1].refine(apply=apply)
        found = verdict["findings"]
        assert set(found["index"][found["kind"] == "outlier"]) == {18, 24}
        assert np.all(found["robust_scales"] > 5)
        assert verdict["turned_off"] == (1 if apply else 0)
        assert found["locked"][found["index"] == 24].all()
    with morvane.open(path) as area:
        use = area.groups[1].points["use"]
        assert use[17] == (not apply)
        assert use[23]
        assert use.sum() == 60 - (1 if apply else 0)


def test_predicted_error_grows_away_from_the_points_and_needs_a_fit(new_area):
    group = new_area.add_group(type="poly2")
    group.add_points(make_points(50))
    error = group.predicted_error(np.array([[1000.0, 750.0], [-4000.0, -3000.0]]))
    assert error.shape == (2, 4)
    assert np.all(error[:, 0] >= error[:, 1]) and np.all(error[:, 1] > 0)
    np.testing.assert_allclose(error[:, 3], np.hypot(error[:, 0], error[:, 1]))
    assert error[1, 3] > 10 * error[0, 3]
    few = new_area.add_group(type="poly2")
    few.add_points(make_points(4))
    for call in (few.loo, few.prediction_rms, lambda: few.predicted_error([[1.0, 2.0]])):
        with pytest.raises(morvane.TransformError, match="no usable poly2 fit"):
            call()
