#!/usr/bin/env bash
# A short tour of the morvane tool on the sample control points shipped in
# examples/gcp.  Usage: scripts/demo.sh BUILD_DIR   (make demo does this).
# Everything it writes goes to ./demo-out/, which it empties first.
set -euo pipefail

build=${1:-build}
here=$(cd "$(dirname "$0")/.." && pwd)
morvane="$build/tools/morvane"
[ -x "$morvane" ] || { echo "demo: $morvane not found; build first (make build)" >&2; exit 1; }
morvane=$(cd "$(dirname "$morvane")" && pwd)/morvane
build=$(cd "$build" && pwd)  # the steps below run inside demo-out
samples="$here/examples/gcp"
out=demo-out
rm -rf "$out"
mkdir -p "$out"
cd "$out"

if [ -t 1 ]; then bold=$'\033[1m' plain=$'\033[0m'; else bold="" plain=""; fi
step() { printf '\n%s== %s%s\n' "$bold" "$*" "$plain"; }
# A password in a database URI is not echoed.
run() { printf '$ morvane %s\n' "$(printf '%s' "$*" | sed -E 's#(://[^:/@]*:)[^@/]*@#\1***@#')"; "$morvane" "$@"; }

sample="$samples/avon-1954-zoning.tif.points"
db="sqlite:demo.db#avon-1954:1"

step "Import a real QGIS georeferencer file (a scanned 1954 zoning map of Avon, CT) into a SQLite area"
run import "$db" -g 1 --type poly2 "$sample"
run info "$db"

step "Import the same file into a control-point file, and look at its points"
run import avon.gcp -g 1 --type poly2 "$sample"
run list avon.gcp -g 1

step "Copy the SQLite area to a second control-point file: the same bytes"
run copy "$db" avon-from-db.gcp
cmp avon.gcp avon-from-db.gcp && echo "avon.gcp and avon-from-db.gcp are identical"

step "Which points are wrong? The robust check names point 15 (and says why)"
run refine avon.gcp -g 1

step "Every type ranked by prediction RMS (leave-one-out), and the predicted error over the raster"
run report avon.gcp -g 1 --compare --svg uncertainty.svg --size 2000x2700
if command -v rsvg-convert >/dev/null; then
  rsvg-convert -o uncertainty.png uncertainty.svg && echo "rendered uncertainty.png"
fi

step "Apply the verdict: the outliers become check points, outside the fit"
run refine avon.gcp -g 1 --apply

step "Residuals of the fit, check points apart, and every transformation type side by side"
run report avon.gcp -g 1 --compare --svg residuals.svg

step "Convert coordinates: pixel/line to map, and back"
printf '883.0097682607626 1227.492162278622\n1000 1500\n' > pixels.txt
printf '$ morvane transform avon.gcp -g 1 < pixels.txt\n'
"$morvane" transform avon.gcp -g 1 < pixels.txt | tee map.txt
printf '$ morvane transform avon.gcp -g 1 --inverse < map.txt\n'
"$morvane" transform avon.gcp -g 1 --inverse < map.txt

step "Export the points for GDAL (VRT) and for a GIS (GeoJSON)"
run export avon.gcp -g 1 avon.vrt --crs "EPSG:3857"
run export avon.gcp -g 1 avon.geojson
head -n 4 avon.vrt

files="demo.db avon.gcp avon-from-db.gcp uncertainty.svg residuals.svg pixels.txt map.txt avon.vrt avon.geojson"
# Optional: a team's server.  Set MORVANE_PG_URI to a PostgreSQL URI, e.g.
# postgresql://ann@localhost/gis (the area goes to its schema "lodestor").
if [ -n "${MORVANE_PG_URI:-}" ]; then
  server="$MORVANE_PG_URI#avon-1954:1"
  step "Share the area on a PostgreSQL server (MORVANE_PG_URI) and read it back"
  run copy "$db" "$server" --replace
  run info "$server"
  run copy "$server" avon-from-server.gcp
  cmp avon-from-db.gcp avon-from-server.gcp && echo "avon-from-db.gcp and avon-from-server.gcp are identical"
  files="$files avon-from-server.gcp"
fi

# Rasters through GDAL: a scanned map, georeferenced with our transformation.
draw_scan="$build/examples/draw_scan"
if [ -x "$draw_scan" ] && command -v gdal_translate >/dev/null; then
  step "Draw a synthetic scanned map (a kilometre grid on a rotated, bent sheet) and its clicked grid crossings"
  "$draw_scan" scan.tif scan-gcps.csv
  echo "scan.tif: $(wc -l < scan-gcps.csv | tr -d ' ') lines in scan-gcps.csv (header and one crossing a line)"
  run import scan.gcp -g 1 --type poly2 scan-gcps.csv
  run report scan.gcp -g 1

  step "Store the points inside a copy of the scan (its GCPs), and read them back from it"
  run export scan.gcp -g 1 scan-gcps.tif --from scan.tif --crs EPSG:32631
  run import scan-from-tif.gcp -g 1 --type poly2 scan-gcps.tif
  run info scan-from-tif.gcp

  step "Warp the scan into a georeferenced GeoTIFF through GDAL's warper, with our poly2"
  run warp scan.gcp -g 1 scan.tif scan-map.tif --crs EPSG:32631 -r bilinear
  gdalinfo scan-map.tif | grep -E '^(Size is|Origin|Pixel Size)|ID\["EPSG",32631\]'
  gdal_translate -q -of PNG -outsize 800 0 scan-map.tif scan-map.png
  gdal_translate -q -of PNG -outsize 800 0 scan.tif scan.png
  rm -f scan-map.png.aux.xml scan.png.aux.xml
  files="$files scan.tif scan-gcps.csv scan.gcp scan-gcps.tif scan-from-tif.gcp scan-map.tif scan-map.png scan.png"
  raster_note="The georeferenced scan: $(pwd)/scan-map.tif (preview $(pwd)/scan-map.png; the scan itself: scan.png)."
else
  step "Skipping the raster part: the tool or gdal-bin lacks GDAL (make deps installs it)"
  raster_note=""
fi

step "Done. Files written in $(pwd):"
for f in $files; do
  printf '  %-17s %s\n' "$f" "$(wc -c < "$f") bytes"
done
echo "Open residuals.svg in a browser to see the residual vectors, uncertainty.svg (or .png) for the"
echo "predicted error of the Avon fit over its raster, the outliers ringed."
[ -n "$raster_note" ] && echo "$raster_note"
exit 0
