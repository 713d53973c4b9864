#!/usr/bin/env bash
# Checks that the Windows DLLs and programs in the given folders import no
# DLL other than Windows' own and ours, so that the set runs on a clean
# Windows without MinGW (no libstdc++-6.dll, libgcc_s_seh-1.dll or
# libwinpthread-1.dll beside them).
#   scripts/check-windows-imports.sh OBJDUMP FOLDER...
set -euo pipefail
[ $# -ge 2 ] || { echo "usage: $0 OBJDUMP FOLDER..." >&2; exit 2; }
objdump=$1; shift
command -v "$objdump" >/dev/null || { echo "$objdump not found (Debian: binutils-mingw-w64)" >&2; exit 2; }

ours='^(tiemark|lodestor|morvane)\.dll$'
# Windows' own DLLs, as the C runtime and the MinGW start-up code use them.
system='^(kernel32|msvcrt|advapi32|user32|ws2_32|shell32|ole32|oleaut32|bcrypt|ntdll|ucrtbase|api-ms-win-[a-z0-9-]+)\.dll$'

files=()
for dir in "$@"; do
  [ -d "$dir" ] || { echo "no such folder: $dir" >&2; exit 2; }
  while IFS= read -r -d '' f; do files+=("$f"); done < <(find "$dir" -maxdepth 1 \( -iname '*.dll' -o -iname '*.exe' \) -print0)
done
[ ${#files[@]} -gt 0 ] || { echo "no DLL or program in: $*" >&2; exit 1; }

bad=0
for f in "${files[@]}"; do
  while read -r dll; do
    lower=$(printf '%s' "$dll" | tr 'A-Z' 'a-z')
    if [[ ! $lower =~ $ours && ! $lower =~ $system ]]; then
      echo "$(basename "$f") imports $dll, which a clean Windows does not have" >&2
      bad=1
    fi
  done < <("$objdump" -p "$f" | sed -n 's/^\s*DLL Name: //p')
done
[ $bad -eq 0 ] || exit 1
echo "imports checked: ${#files[@]} files import only Windows' DLLs and ours"
