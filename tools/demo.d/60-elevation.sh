# One elevated activation, as the desktop application makes it: q5dmctl
# --elevate asks for the server through the elevation moniker. Wine has no
# elevation moniker; the tests' stand-in (tests/platform/elevation, ProgID
# "Elevation") checks the class's elevation entries as the system does,
# shows its consent window naming the server by the string that
# "LocalizedString" points to, and here waits for the demo's answer, so that
# the window can be pictured: $Q5_DEMO/elevation/consent.bmp.
# Sourced by tools/demo.sh (q5_call, q5_wine_path, q5_watch_*; set -eu).

q5_el_plat64=$Q5_ROOT/build/x64/tests/platform/bin
q5_el_plat32=$Q5_ROOT/build/x86/tests/platform/bin
q5_el_out=$Q5_DEMO/elevation
q5_el_config='HKLM\Software\Q5Test\ElevationStandIn'
q5_el_dir=$WINEPREFIX/drive_c/q5elev

echo
echo "=== Elevation: the consent prompt, through the elevation moniker stand-in ==="
if [ ! -f "$q5_el_plat64/q5elevsrv.exe" ] || [ ! -f "$q5_el_plat64/q5elevmk64.dll" ]; then
  echo "(left out: the stand-in is missing from $q5_el_plat64, make build)"
  return 0
fi
if [ -z "${DISPLAY:-}" ]; then
  echo "(left out: the consent window needs an X display; tools/demo.sh runs under xvfb-run where it is installed)"
  return 0
fi
rm -rf "$q5_el_out"
mkdir -p "$q5_el_out" "$q5_el_dir"
cp "$q5_el_plat64/q5elevsrv.exe" "$q5_el_plat64/q5elevmk64.dll" "$q5_el_dir/"
[ -f "$q5_el_plat32/q5elevmk32.dll" ] && cp "$q5_el_plat32/q5elevmk32.dll" "$q5_el_dir/"
rm -f "$q5_el_dir/answer.txt" "$q5_el_dir/record.txt"
{
  wine 'C:\q5elev\q5elevsrv.exe' /RegServer
  wine reg add "$q5_el_config" /v AnswerFile /d 'C:\q5elev\answer.txt' /f /reg:64
  wine reg add "$q5_el_config" /v RecordFile /d 'C:\q5elev\record.txt' /f /reg:64
  wine reg add "$q5_el_config" /v PictureFile /d "$(q5_wine_path "$q5_el_out/consent.bmp")" /f /reg:64
  # No window manager on the virtual display: Wine draws the frame itself,
  # so that the picture has the window's caption.
  wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f
  wine reg add 'HKCU\Software\Wine\X11 Driver' /v Decorated /t REG_SZ /d N /f
} >"$q5_el_out/setup.txt" 2>&1 </dev/null
echo "The stand-in is registered as ProgID \"Elevation\" in both registry views (C:\\q5elev\\q5elevsrv.exe /RegServer)."
echo "What it reads of the DM server's class (64-bit view):"
wine reg query 'HKCR\CLSID\{84f2059a-d9ae-11d2-86a3-00c04f8ef940}' >"$q5_el_out/class.txt" 2>&1 </dev/null || true
wine reg query 'HKCR\CLSID\{84f2059a-d9ae-11d2-86a3-00c04f8ef940}\Elevation' >>"$q5_el_out/class.txt" 2>&1 </dev/null || true
tr -d '\r' <"$q5_el_out/class.txt" | grep -E 'LocalizedString|Enabled' | sed 's/^ */  /'

q5_el_mark=$(q5_watch_mark)
echo "\$ q5dmctl64 --elevate DeleteRegKey HKXX Software\\Q5Demo   (in the background; the prompt waits for us)"
wine "$Q5_BIN/q5dmctl64.exe" --elevate DeleteRegKey HKXX 'Software\Q5Demo' >"$q5_el_out/q5dmctl.txt" 2>&1 </dev/null &
q5_el_client=$!
for _ in $(seq 1 300); do
  [ -s "$q5_el_out/consent.bmp" ] && break
  kill -0 "$q5_el_client" 2>/dev/null || break
  sleep 0.2
done
if [ -s "$q5_el_out/consent.bmp" ]; then
  echo "The consent window is up; its picture: $q5_el_out/consent.bmp"
else
  echo "(no consent window was pictured)"
fi
echo "The user answers yes."
echo yes >"$q5_el_dir/answer.txt"
q5_el_rc=0
wait "$q5_el_client" || q5_el_rc=$?
tr -d '\r' <"$q5_el_out/q5dmctl.txt" | sed 's/^/  /'
echo "  (exit code $q5_el_rc)"
q5_watch_since "$q5_el_mark" wait
cp "$q5_el_dir/record.txt" "$q5_el_out/record.txt" 2>/dev/null || true
echo "What the stand-in received from the client library and what it did:"
if [ -f "$q5_el_out/record.txt" ]; then
  tr -d '\r' <"$q5_el_out/record.txt" | sed 's/^/  /'
else
  echo "  (no record: the moniker was not used)"
fi
