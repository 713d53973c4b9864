#!/usr/bin/env python3
"""Opens a control-point area, converts a grid of pixel positions to map
coordinates, prints a residual report and plots the residuals.

Usage: residuals.py AREA [GROUP] [PNG]
  AREA   an area address, e.g. sqlite:demo-out/demo.db#avon-1954:1 (the demo's)
  GROUP  the group number (default 1)
  PNG    where the residual plot goes (default residuals.png); needs matplotlib
"""
import sys

import numpy as np

import morvane


def report(group):
    points, residuals = group.points, group.residuals()
    print(f"group {group.number}: {len(points)} points, type {group.type}")
    print(f"{'#':>3} {'name':<12} {'use':<5} {'res x':>10} {'res y':>10} {'res pixel':>10} {'res line':>10}")
    for i, (p, r) in enumerate(zip(points, residuals), start=1):
        use = "fit" if p["use"] else "check"
        print(f"{i:>3} {p['name']:<12} {use:<5} {r['x']:>10.3f} {r['y']:>10.3f} {r['pixel']:>10.3f} {r['line']:>10.3f}")
    user, pixel = group.rms()
    print(f"RMS of the used points: {user:.3f} map units, {pixel:.3f} pixels")


def convert_grid(group, steps=5):
    points = group.points
    pixels = np.linspace(points["pixel"].min(), points["pixel"].max(), steps)
    lines = np.linspace(points["line"].min(), points["line"].max(), steps)
    grid = np.array([(p, l) for l in lines for p in pixels])
    mapped = group.transform(grid)
    back = group.transform(mapped, inverse=True)
    print(f"\n{len(grid)} grid positions, pixel/line -> map -> pixel/line:")
    for (p, l), (x, y) in list(zip(grid, mapped))[:: steps + 1]:
        print(f"  ({p:9.2f}, {l:9.2f}) -> ({x:14.3f}, {y:14.3f})")
    print(f"  largest round-trip difference: {np.abs(back - grid).max():.2e} pixels")


def plot(group, path):
    try:
        import matplotlib
    except ImportError:
        print("\nmatplotlib is not installed: no plot written (Debian: python3-matplotlib)")
        return
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    points, residuals = group.points, group.residuals()
    user, pixel = group.rms()
    scale = 0.1 * np.ptp(points["pixel"]) / max(np.hypot(residuals["pixel"], residuals["line"]).max(), 1e-12)
    figure, axes = plt.subplots(figsize=(7, 6))
    for used, colour, label in ((True, "tab:blue", "fitted point"), (False, "tab:red", "check point")):
        chosen = points["use"] == used
        if not chosen.any():
            continue
        axes.quiver(points["pixel"][chosen], points["line"][chosen], residuals["pixel"][chosen] * scale,
                    residuals["line"][chosen] * scale, color=colour, angles="xy", scale_units="xy", scale=1,
                    label=label)
    axes.invert_yaxis()
    axes.set_aspect("equal")
    axes.set_xlabel("pixel")
    axes.set_ylabel("line")
    axes.set_title(f"group {group.number} ({group.type}): residuals x{scale:.0f}, RMS {pixel:.2f} px")
    axes.legend()
    figure.savefig(path, dpi=100)
    print(f"\nwrote {path}")


def main(argv):
    if len(argv) < 2:
        sys.exit(__doc__)
    address = argv[1]
    number = int(argv[2]) if len(argv) > 2 else 1
    png = argv[3] if len(argv) > 3 else "residuals.png"
    try:
        with morvane.open(address) as area:
            group = area.groups[number]
            report(group)
            convert_grid(group)
            plot(group, png)
    except (morvane.Error, ValueError, IndexError) as error:
        sys.exit(f"residuals.py: {error}")


if __name__ == "__main__":
    main(sys.argv)
