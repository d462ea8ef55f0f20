#!/bin/bash
# make gallery: draws every dialog of Chinese.dll from the library's own
# templates as Windows draws them (from a 32-bit process, as the desktop
# application is one, under Wine 10 on a virtual X server, with a CJK font
# linked behind Tahoma), plus every bitmap and icon, into out/gallery/*.png
# with an index.html that names each one.
# Run after the build (`make gallery` builds first).
set -eu
root=$(cd "$(dirname "$0")/../.." && pwd)
"$root/tools/install-deps.sh" python3-pil fonts-wine fonts-wqy-microhei xvfb xauth
. "$root/tools/wine10/x86-mode.sh"
q5_x86_mode "$root"
q5_x86_line
if [ "$Q5_X86_RUNS" = none ]; then
  echo "gallery: draws nothing: every picture comes from a 32-bit process, and 32-bit programs cannot run here ($Q5_X86_WHY)"
  exit 0
fi

build=$root/build/x86
exe=$build/tools/gallery/langpack_gallery.exe
dll=$root/out/bin/Chinese.dll
out=$root/out/gallery
font=/usr/share/fonts/truetype/wqy/wqy-microhei.ttc
for f in "$exe" "$dll" "$font"; do
  [ -f "$f" ] || { echo "gallery: $f is missing (run make build first)" >&2; exit 1; }
done
winpath() { printf 'Z:%s' "${1//\//\\}"; }
# Wine 10 lives in a root of its own: Wine's commands run through it.
w10() { "$root/tools/wine10/run.sh" "$@"; }

export WINEDEBUG=-all
w10 "$root/tests/support/wine-template.sh" "$root/build/wine10/template"
export WINEPREFIX=$build/wine10/gallery
rm -rf "$WINEPREFIX"
cp -a "$root/build/wine10/template/." "$WINEPREFIX/"
trap 'w10 wineserver -k >/dev/null 2>&1 || true' EXIT

rm -rf "$out"
mkdir -p "$out/raw"
logs=$out/raw

# Wine's own Tahoma has no Chinese glyphs: link a CJK font behind it (and
# behind the shell dialog fonts) so the text shows as characters, not boxes.
cp "$font" "$WINEPREFIX/drive_c/windows/Fonts/"
# The caption buttons' glyphs (the template prefix may predate fonts-wine).
cp /usr/share/wine/fonts/marlett.ttf "$WINEPREFIX/drive_c/windows/Fonts/" 2>/dev/null || true

# The prefix's settings, written in one run inside the root.
settings=$logs/settings.sh
link='HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontLink\SystemLink'
{
  for face in "Tahoma" "MS Shell Dlg" "MS Shell Dlg 2" "Microsoft Sans Serif"; do
    printf "wine reg add '%s' /v '%s' /t REG_MULTI_SZ /d 'wqy-microhei.ttc,WenQuanYi Micro Hei' /f\n" "$link" "$face"
  done
  # There is no window manager on the virtual display: Wine draws the
  # captions and frames itself, as Windows would.
  echo "wine reg add 'HKCU\\Software\\Wine\\X11 Driver' /v Managed /t REG_SZ /d N /f"
  echo "wine reg add 'HKCU\\Software\\Wine\\X11 Driver' /v Decorated /t REG_SZ /d N /f"
  # Smoothed text, as a desktop of today shows it: small CJK glyphs lose
  # strokes when drawn in black and white.
  echo "wine reg add 'HKCU\\Control Panel\\Desktop' /v FontSmoothing /t REG_SZ /d 2 /f"
  echo "wine reg add 'HKCU\\Control Panel\\Desktop' /v FontSmoothingType /t REG_DWORD /d 1 /f"
  echo "wineserver -w"
} >"$settings"
w10 bash "$settings" >"$logs/setup.log" 2>&1 </dev/null

# Never read Wine's output through a pipe: it goes to files. The virtual X
# server runs on this side; the root sees its socket.
xvfb-run -a -s "-screen 0 1280x1024x24" "$root/tools/wine10/run.sh" bash -c \
  'wine "$1" "$2" "$3" >"$4/draw.log" 2>"$4/draw.err" </dev/null; rc=$?; wineserver -k; exit $rc' \
  draw "$exe" "$(winpath "$dll")" "$(winpath "$out/raw")" "$logs" </dev/null || {
    echo "gallery: drawing failed, see $logs/draw.log and draw.err" >&2
    cat "$logs/draw.log" >&2
    exit 1
  }
cat "$logs/draw.log"

/usr/bin/python3 "$root/tools/gallery/make_index.py" "$out"
echo "gallery: open $out/index.html"
