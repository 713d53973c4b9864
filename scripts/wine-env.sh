# Sourced: the environment of a headless wine run for the Windows build in
# $1, with its own WINEPREFIX in that build folder, made on first use.
# No display, and no Mono or Gecko installs (nothing here needs .NET or a
# browser engine).
export WINEPREFIX="$(cd "$1" && pwd)/wineprefix"
export WINEDEBUG=-all
export DISPLAY=
export WINEDLLOVERRIDES="mscoree,mshtml="
MORVANE_WINE=$(command -v wine64 || echo /usr/lib/wine/wine64)
[ -x "$MORVANE_WINE" ] || { echo "wine64 not found (Debian: wine64)" >&2; return 1; }
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "creating the wine prefix $WINEPREFIX"
  "$MORVANE_WINE" wineboot -i >/dev/null 2>&1 || true
  # The registry files are written when the wine server exits, a few
  # seconds after wineboot returns: wait for it.
  "$(dirname "$MORVANE_WINE")/wineserver" -w 2>/dev/null || wineserver -w 2>/dev/null || true
  [ -f "$WINEPREFIX/system.reg" ] || { echo "wineboot could not create $WINEPREFIX" >&2; return 1; }
fi
export MORVANE_WINE
