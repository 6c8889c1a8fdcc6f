#!/usr/bin/env bash
# Makes the Windows installer (scripts/installer/brevant.nsi) from a package
# folder, with Debian's NSIS:
#
#   bash scripts/installer/make-installer.sh PACKAGE-DIR VERSION OUTFILE.exe
#
# The installer installs every file of the folder; its uninstaller removes
# exactly those, by name, and nothing the station wrote beside them.
set -euo pipefail

[ $# -eq 3 ] || { echo "usage: $0 PACKAGE-DIR VERSION OUTFILE.exe" >&2; exit 2; }
here="$(cd "$(dirname "$0")" && pwd)"
pkg="$(cd "$1" && pwd)"
version=$2
out="$(realpath -m "$3")"

[[ "$version" =~ ^[0-9]+(\.[0-9]+){0,3}$ ]] ||
  { echo "version '$version' is not one to four numbers" >&2; exit 2; }
[ -f "$pkg/brevant.exe" ] || { echo "no brevant.exe in $pkg" >&2; exit 1; }
command -v makensis >/dev/null || { echo "no makensis: apt-get install nsis" >&2; exit 1; }

# Windows wants four numbers in a version resource.
vi="$version"
while [ "$(tr -cd . <<<"$vi" | wc -c)" -lt 3 ]; do vi="$vi.0"; done

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

# The install lines: one SetOutPath per folder, one File per file. The
# uninstall lines: one Delete per file, then each folder, deepest first.
winrel() { sed 's#^\./##; s#/#\\#g' <<<"$1"; }
{
  while read -r dir; do
    rel="$(winrel "$dir")"
    if [ "$dir" = . ]; then echo 'SetOutPath "$INSTDIR"'; else echo "SetOutPath \"\$INSTDIR\\$rel\""; fi
    while read -r file; do
      echo "File \"$pkg/${file#./}\""
    done < <(cd "$pkg" && find "$dir" -mindepth 1 -maxdepth 1 -type f | LC_ALL=C sort)
  done < <(cd "$pkg" && find . -type d | LC_ALL=C sort)
} >"$work/files.nsh"
{
  while read -r file; do
    echo "Delete \"\$INSTDIR\\$(winrel "$file")\""
  done < <(cd "$pkg" && find . -type f | LC_ALL=C sort)
  while read -r dir; do
    echo "RMDir \"\$INSTDIR\\$(winrel "$dir")\""
  done < <(cd "$pkg" && find . -mindepth 1 -type d | LC_ALL=C sort -r)
} >"$work/unfiles.nsh"

size_kb=$(du -sk "$pkg" | cut -f1)
mkdir -p "$(dirname "$out")"
makensis -WX -V2 -INPUTCHARSET UTF8 \
  "-DVERSION=$version" "-DVIVERSION=$vi" "-DPACKAGE=$pkg" "-DOUTFILE=$out" \
  "-DFILES_NSH=$work/files.nsh" "-DUNFILES_NSH=$work/unfiles.nsh" "-DSIZE_KB=$size_kb" \
  "$here/brevant.nsi" >"$work/makensis.log" 2>&1 ||
  { cat "$work/makensis.log" >&2; echo "makensis failed" >&2; exit 1; }
echo "$out"
