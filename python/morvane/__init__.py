"""Ground control points of raster images, from Python.

Open an area (a control-point file, or a record of a SQLite or PostgreSQL
raster database), work on its numbered groups of control points, convert
coordinates with them, and close it::

    import morvane
    with morvane.open("scan.gcp") as area:
        group = area.groups[1]
        xy = group.transform(pixel_line)     # (n, 2) float64 in and out

See docs/python.md for the whole interface.
"""

from ._morvane import (
    POINT_DTYPE,
    RESIDUAL_DTYPE,
    Area,
    Error,
    FormatError,
    Group,
    GroupList,
    OpenError,
    RefusedError,
    SaveError,
    Transformer,
    TransformError,
    UnsavedChangesWarning,
    __version__,
    open,
    read_points,
    write_points,
)

__all__ = [
    "POINT_DTYPE",
    "RESIDUAL_DTYPE",
    "Area",
    "Error",
    "FormatError",
    "Group",
    "GroupList",
    "OpenError",
    "RefusedError",
    "SaveError",
    "Transformer",
    "TransformError",
    "UnsavedChangesWarning",
    "__version__",
    "open",
    "read_points",
    "write_points",
]

# Shown as morvane.Name (tracebacks, repr, help), the name callers use.
for _name in ("Area", "Error", "FormatError", "Group", "GroupList", "OpenError", "RefusedError", "SaveError",
              "Transformer", "TransformError", "UnsavedChangesWarning"):
    globals()[_name].__module__ = __name__
del _name
