# The DM server on its own: self-registration of both builds, each in its
# own registry view, the proxy/stub library of each bitness, and the first
# calls through q5dmctl with the server's trace (from the watch) beside each
# result.
# Sourced by tools/demo.sh after 00-prefix.sh (q5_call, q5_wine_path; set -eu).

q5_srv_out=$Q5_DEMO/server
q5_srv_class='HKCR\CLSID\{84f2059a-d9ae-11d2-86a3-00c04f8ef940}'
q5_srv_iface='HKCR\Interface\{cc603a56-d9ad-11d2-86a3-00c04f8ef940}'
q5_srv_reg32='C:\windows\syswow64\reg.exe'
mkdir -p "$q5_srv_out"

# A Windows program; its output goes to a file and is shown indented.
q5_srv_run() {
  local rc=0
  wine "$@" >"$q5_srv_out/run.txt" 2>&1 </dev/null || rc=$?
  tr -d '\r' <"$q5_srv_out/run.txt" | sed -e '/^$/d' -e 's/^/  /'
  return $rc
}

echo
echo "=== DM COM Server: registration, each build in its own registry view ==="
rc=0; wine "$Q5_BIN/q5dmsrv64.exe" /RegServer >"$q5_srv_out/reg64.txt" 2>&1 </dev/null || rc=$?
echo "\$ q5dmsrv64.exe /RegServer   (exit code $rc)   64-bit view (reg.exe):"
q5_srv_run reg query "$q5_srv_class" /s || true
if ! q5_without_x86; then
rc=0; wine "$Q5_BIN/q5dmsrv32.exe" /RegServer >"$q5_srv_out/reg32.txt" 2>&1 </dev/null || rc=$?
echo "\$ q5dmsrv32.exe /RegServer   (exit code $rc)   32-bit view (syswow64\\reg.exe):"
q5_srv_run "$q5_srv_reg32" query "$q5_srv_class" /s || true
fi
rc=0; wine regsvr32 /s "$(q5_wine_path "$Q5_BIN/dmstub64.dll")" >"$q5_srv_out/regsvr64.txt" 2>&1 </dev/null || rc=$?
echo "\$ regsvr32 /s dmstub64.dll   (exit code $rc)"
q5_srv_run reg query "$q5_srv_iface" /s || true
if ! q5_without_x86; then
rc=0
wine 'C:\windows\syswow64\regsvr32.exe' /s "$(q5_wine_path "$Q5_BIN/dmstub32.dll")" >"$q5_srv_out/regsvr32.txt" 2>&1 </dev/null || rc=$?
echo "\$ C:\\windows\\syswow64\\regsvr32.exe /s dmstub32.dll   (exit code $rc)"
q5_srv_run "$q5_srv_reg32" query "$q5_srv_iface" /s || true
fi

echo
echo "=== DM COM Server: calls through the proxy/stub library ==="
echo "Each call makes COM start a server of its own (single use); the watch shows its trace."
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
echo "Asking for an elevated server: Wine has no elevation moniker, so q5dmctl falls back."
q5_call --elevate DeleteRegKey HKXX 'Software\Q5Demo' || true

echo
echo "Timing (cold activation of a COM-started server, then 100 calls):"
q5_call --repeat 100 DeleteRegKey HKXX 'Software\Q5Demo' || true
