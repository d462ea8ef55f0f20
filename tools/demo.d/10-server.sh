# The DM server on its own: self-registration, the proxy/stub library, and
# the first calls through q5dmctl with the server's trace beside each result.
# Sourced by tools/demo.sh after 00-prefix.sh (q5_call, q5_wine_path; set -eu).

q5_srv_out=$Q5_DEMO/server
q5_srv_class='HKCR\CLSID\{84f2059a-d9ae-11d2-86a3-00c04f8ef940}'
q5_srv_iface='HKCR\Interface\{cc603a56-d9ad-11d2-86a3-00c04f8ef940}'
mkdir -p "$q5_srv_out"

# A Windows program; its output goes to a file and is shown indented.
q5_srv_run() {
  local rc=0
  wine "$@" >"$q5_srv_out/run.txt" 2>&1 </dev/null || rc=$?
  tr -d '\r' <"$q5_srv_out/run.txt" | sed -e '/^$/d' -e 's/^/  /'
  return $rc
}

echo
echo "=== DM COM Server: registration ==="
rc=0; wine "$Q5_BIN/q5dmsrv64.exe" /RegServer >"$q5_srv_out/reg.txt" 2>&1 </dev/null || rc=$?
echo "\$ q5dmsrv64.exe /RegServer   (exit code $rc)"
q5_srv_run reg query "$q5_srv_class" /s || true
rc=0; wine regsvr32 /s "$(q5_wine_path "$Q5_BIN/dmstub64.dll")" >"$q5_srv_out/regsvr32.txt" 2>&1 </dev/null || rc=$?
echo "\$ regsvr32 /s dmstub64.dll   (exit code $rc)"
q5_srv_run reg query "$q5_srv_iface" /s || true

echo
echo "=== DM COM Server: calls through the proxy/stub library ==="
echo "Each call starts a server of its own (single use); its trace is its standard output."
echo
echo "A root branch the server does not know: S_FALSE (1), and only the refusal traced."
q5_call DeleteRegKey HKXX 'Software\Q5Demo' || true

echo
echo "A key that exists is deleted: S_OK."
q5_srv_run reg add 'HKCU\Software\Q5Demo\Scratch\Inner' /f >/dev/null || true
q5_call DeleteRegKey HKCU 'Software\Q5Demo\Scratch' || true
if q5_srv_run reg query 'HKCU\Software\Q5Demo\Scratch' >/dev/null; then echo "  key still there"; else echo "  HKCU\\Software\\Q5Demo\\Scratch is gone"; fi

echo
echo "The uninstall command of an installed product is rewritten: S_OK."
q5_srv_uninstall='HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\Q5Demo'
q5_srv_run reg add "$q5_srv_uninstall" /v UninstallString /t REG_SZ /d 'C:\q5\old-uninstall.exe' /f >/dev/null || true
q5_call PatchUninstall 'SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\Q5Demo' 'C:\q5\unins000.exe /SILENT' || true
q5_srv_run reg query "$q5_srv_uninstall" /v UninstallString || true

echo
echo "A null string never leaves the client: the marshalling engine refuses it, the server traces no call."
q5_call DeleteRegKey --null 'Software\Q5Demo' || true

echo
# q5_call waited for its server's end; the plain runs below do not, and
# Wine can refuse an activation while the previous server still shuts down.
echo "Asking for an elevated server: Wine has no elevation moniker, so q5dmctl falls back."
echo "\$ q5dmctl --elevate DeleteRegKey HKXX Software\\Q5Demo"
q5_srv_run "$Q5_BIN/q5dmctl64.exe" --elevate DeleteRegKey HKXX 'Software\Q5Demo' || true
sleep 1

echo
echo "Timing (cold activation of a COM-started server, then 100 calls):"
echo "\$ q5dmctl --repeat 100 DeleteRegKey HKXX Software\\Q5Demo"
q5_srv_run "$Q5_BIN/q5dmctl64.exe" --repeat 100 DeleteRegKey HKXX 'Software\Q5Demo' || true
sleep 1
