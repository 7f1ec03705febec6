#!/usr/bin/env bash
# Exercises the Windows release of dist/ under Wine, in a fresh prefix of its own:
#  - the zip holds the two programs, the README and the licences, and its programs import no
#    DLL beyond Windows' own;
#  - the NSIS installer installs silently (/S): the programs, the uninstaller, the Start-menu
#    entry and the entry in the list of installed programs, with the release's version;
#  - the installed skelvo-cli.exe reports the version and upgrades a simulated device (the
#    Linux skelvo-devsim, over loopback, on ports of its own);
#  - the installed skelvo.exe opens its first form (a screenshot) and takes keys (Advanced
#    Options, a second screenshot that differs);
#  - the uninstaller (/S) removes all of it.
# Usage: check-windows.sh <dist folder> <version> <Linux skelvo-devsim> <work folder>
set -euo pipefail
dist=$(cd "$1" && pwd) version=$2 devsim=$3 work=$4
here=$(cd "$(dirname "$0")" && pwd)
win=$here/../win
source "$here/../support/release_checks.sh"

rm -rf "$work"
mkdir -p "$work"
work=$(cd "$work" && pwd)
prefix=$work/wineprefix
run() { "$win/wine-run.sh" "$prefix" "$@"; }
# Wine's services outlive the programs they served; the next step waits for them to end.
settle() { WINEPREFIX=$prefix wineserver -w; }

# A Windows executable's version resource: VS_VERSIONINFO strings are UTF-16.
version_resource() {
  python3 - "$1" "$2" <<'EOF'
import re, sys
data = open(sys.argv[1], "rb").read()
want = sys.argv[2]
for key in ("FileVersion", "ProductVersion"):
    pattern = re.escape(key.encode("utf-16-le")) + rb"\x00\x00(?:\x00\x00)?" + re.escape(want.encode("utf-16-le")) + rb"\x00\x00"
    if not re.search(pattern, data):
        sys.exit("%s: no %s %s in the version resource" % (sys.argv[1], key, want))
EOF
}

step "the zip"
zip=$dist/skelvo-$version-windows-x64.zip
unzip -q "$zip" -d "$work/zip"
top=$work/zip/skelvo-$version-windows-x64
for f in skelvo.exe skelvo-cli.exe README.txt LICENCES.txt CHANGELOG.md; do
  [ -s "$top/$f" ] || fail "the zip has no $f"
done
for licence in "==== CLI11" "==== JSON for Modern C++" "==== MinGW-w64" "==== GCC run-time"; do
  grep -q "^$licence" "$top/LICENCES.txt" || fail "LICENCES.txt lacks '$licence'"
done
! grep -q "licence text was not at" "$top/LICENCES.txt" || fail "a licence text is missing from LICENCES.txt"
for exe in "$top/skelvo.exe" "$top/skelvo-cli.exe"; do
  dlls=$(x86_64-w64-mingw32-objdump -p "$exe" | sed -n 's/^\s*DLL Name: //p' | tr 'A-Z' 'a-z' | sort -u | tr '\n' ' ')
  echo "$(basename "$exe") imports: $dlls"
  for dll in $dlls; do
    case $dll in
      kernel32.dll | user32.dll | gdi32.dll | comctl32.dll | comdlg32.dll | ws2_32.dll | msvcrt.dll | \
        advapi32.dll | shell32.dll | ole32.dll | api-ms-win-*.dll) ;;
      *) fail "$(basename "$exe") needs $dll, which is not in the zip nor part of Windows" ;;
    esac
  done
  version_resource "$exe" "$version"
  echo "ok: $(basename "$exe") carries version $version in its version resource"
done
expect_eq "$(run "$top/skelvo-cli.exe" --version | tr -d '\r')" "skelvo-cli $version" "the zip's skelvo-cli.exe --version"

step "the installer, silently (/S)"
run "$dist/skelvo-$version-windows-x64.exe" /S
settle
installed="$prefix/drive_c/Program Files/Skelvo"
for f in skelvo.exe skelvo-cli.exe Uninstall.exe README.txt LICENCES.txt; do
  [ -s "$installed/$f" ] || fail "the installer put no $f in C:\\Program Files\\Skelvo"
done
link=$(find "$prefix/drive_c" -path '*Start Menu/Programs/Skelvo/Skelvo.lnk' | head -n 1)
[ -n "$link" ] || fail "no Start-menu entry Skelvo\\Skelvo.lnk"
echo "Start-menu entry: ${link#"$prefix/drive_c/"}"
uninstall_key='Microsoft\\Windows\\CurrentVersion\\Uninstall\\Skelvo]'
grep -A 20 -F "$uninstall_key" "$prefix/system.reg" | grep -q "\"DisplayVersion\"=\"$version\"" ||
  fail "the list of installed programs has no Skelvo $version"

step "the installed skelvo-cli.exe"
expect_eq "$(run "$installed/skelvo-cli.exe" --version | tr -d '\r')" "skelvo-cli $version" "skelvo-cli.exe --version"
bash "$win/cli_upgrade_e2e.sh" "$devsim" "$installed/skelvo-cli.exe" "$prefix" "$win/wine-run.sh" tolva22 ||
  fail "the installed skelvo-cli.exe did not upgrade the simulated device"
settle

step "the installed skelvo.exe: its first form"
bash "$win/screenshot.sh" "$installed/skelvo.exe" "$prefix" "$work/screenshots"
settle
first=$work/screenshots/win32-step1.png
[ -s "$first" ] || fail "no screenshot of the first form"
spread=$(convert "$first" -colorspace Gray -format '%[fx:standard_deviation]' info:)
echo "screenshot $first: grey spread $spread"
awk -v s="$spread" 'BEGIN { exit !(s > 0.05) }' || fail "the screenshot of the first form is blank"
changed=$(compare -metric AE "$first" "$work/screenshots/win32-advanced.png" null: 2>&1 || true)
echo "pixels that changed when Advanced Options was opened by keys: $changed"
[ "${changed%% *}" -gt 1000 ] 2>/dev/null || fail "the dialog did not react to the keys that open Advanced Options"

step "the uninstaller, silently (/S)"
run "$installed/Uninstall.exe" /S
settle
# The uninstaller copies itself away and runs from there; its end is that copy's end.
for _ in $(seq 1 60); do
  [ ! -e "$installed/skelvo.exe" ] && break
  sleep 1
  settle
done
[ ! -e "$installed" ] || { ls -la "$installed"; fail "C:\\Program Files\\Skelvo is still there"; }
[ -z "$(find "$prefix/drive_c" -path '*Start Menu/Programs/Skelvo*' | head -n 1)" ] ||
  fail "the Start-menu entry is still there"
! grep -q -F "$uninstall_key" "$prefix/system.reg" || fail "Skelvo is still in the list of installed programs"
echo "PASS: Windows zip and installer"
