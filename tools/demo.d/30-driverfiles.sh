# Driver files: back up a small driver package of ours the way Windows
# stores an installed one (oemNN.inf in the INF folder, its catalog under
# the oemNN name), then sweep a leftover driver key of the maker's modems.
# Sourced by tools/demo.sh (WINEPREFIX, Q5_BIN, Q5_DEMO set; set -eu).

q5_df_win=$WINEPREFIX/drive_c/windows
q5_df_out=$Q5_DEMO/driverfiles
q5_df_class='HKLM\System\CurrentControlSet\Control\Class\{4d36e96d-e325-11ce-bfc1-08002be10318}'
q5_df_uninstall='HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\URKSERIAL'
mkdir -p "$q5_df_out"

# Runs one method through q5dmctl, with the server's trace beside it; a
# failed call does not end the demo.
q5_df_call() {
  q5_call "$@" || true
}

# wine's own output goes to a file, never through a pipe; the exit code
# is wine's.
q5_df_wine() {
  wine "$@" >"$q5_df_out/wine.txt" 2>&1 </dev/null
}

q5_df_show_keys() {
  q5_df_wine reg query "$q5_df_class" || true
  echo "  driver keys of the modem class:"
  local pattern='Class\\{4d36e96d-e325-11ce-bfc1-08002be10318}\\'
  if grep -qi "$pattern" "$q5_df_out/wine.txt"; then
    grep -i "$pattern" "$q5_df_out/wine.txt" | tr -d '\r' | sed 's/^/    /'
  else
    echo "    (none)"
  fi
  if q5_df_wine reg query "$q5_df_uninstall"; then echo "  uninstall entry URKSERIAL: present"; else echo "  uninstall entry URKSERIAL: gone"; fi
}

echo
echo "=== Driver files: BackupDriver ==="
# The class key needs its name before the Setup API maps "Modem" to it.
q5_df_wine reg add "$q5_df_class" /v Class /t REG_SZ /d Modem /f || true

mkdir -p "$q5_df_win/inf" "$q5_df_win/q5demo" "$q5_df_win/system32/drivers" \
  "$q5_df_win/system32/catroot/{F750E6C3-38EE-11D1-85E5-00C04FC295EE}" "$WINEPREFIX/drive_c/q5demo-backup"
printf '%s\r\n' \
  '[Version]' \
  'Signature="$Windows NT$"' \
  'Class=Modem' \
  'ClassGuid={4D36E96D-E325-11CE-BFC1-08002BE10318}' \
  'Provider=%Q5%' \
  'CatalogFile=q5demo.cat' \
  'DriverVer=12/08/2026,1.0.0.0' \
  '' \
  '[DestinationDirs]' \
  'DefaultDestDir=12' \
  'Q5Demo.Files=10,q5demo' \
  '' \
  '[SourceDisksNames]' \
  '1=%Disk%' \
  '' \
  '[SourceDisksFiles]' \
  'q5demoui.dll=1' \
  'q5demo.sys=1' \
  'q5demoa.sys=1' \
  '' \
  '[Strings]' \
  'Q5="Q5 demo"' \
  'Disk="Q5 demo disk"' >"$q5_df_win/inf/oem77.inf"
echo "catalog of oem77" >"$q5_df_win/system32/catroot/{F750E6C3-38EE-11D1-85E5-00C04FC295EE}/oem77.cat"
echo "user interface module" >"$q5_df_win/q5demo/q5demoui.dll"
echo "modem driver" >"$q5_df_win/system32/drivers/q5demo.sys"
echo "audio driver" >"$q5_df_win/q5demo/q5demoa.sys"
rm -rf "$WINEPREFIX/drive_c/q5demo-backup/Modem"
echo "Installed package: C:\\windows\\inf\\oem77.inf, catalog oem77.cat, files in system32\\drivers and C:\\windows\\q5demo"

q5_df_call BackupDriver oem77.inf '\Modem' 'C:\q5demo-backup\oem77.inf' 'C:\q5demo-backup'
echo "The catalog that Windows keeps as oem77.cat is saved as q5demo.cat, the INF's own name for it."
echo "Each file is looked for in system32, then the INF's [DestinationDirs]; every miss traces \"Error %X\"."
echo "Files after the first one get a .hda twin of their .sys copy."
echo "Backup folder C:\\q5demo-backup:"
(cd "$WINEPREFIX/drive_c/q5demo-backup" && find . -type f | sort | while read -r f; do
  printf '  %-24s %s\n' "${f#./}" "$(head -c 40 "$f" | tr -d '\r' | head -n 1)"
done)

echo
echo "=== Driver files: CleanNotInstalled ==="
q5_df_wine reg add "$q5_df_class\\0077" /v DriverDesc /t REG_SZ /d 'Brisvale RK72 USB Voice Modem (leftover)' /f || true
q5_df_wine reg add "$q5_df_class\\0077" /v InfPath /t REG_SZ /d oem78.inf /f || true
q5_df_wine reg add "$q5_df_uninstall" /v DisplayName /t REG_SZ /d 'Brisvale RK72 USB driver' /f || true
echo "leftover" >"$q5_df_win/inf/oem78.inf"
echo "leftover" >"$q5_df_win/inf/oem78.pnf"
chmod a-w "$q5_df_win/inf/oem78.inf" "$q5_df_win/inf/oem78.pnf"
echo "Seeded: driver key 0077 (Brisvale RK72 USB Voice Modem (leftover), InfPath oem78.inf), read-only oem78.inf/.pnf, uninstall entry URKSERIAL"
q5_df_show_keys

q5_df_call CleanNotInstalled Modem 1
echo "After the sweep:"
q5_df_show_keys
for f in oem78.inf oem78.pnf; do
  if [ -e "$q5_df_win/inf/$f" ]; then echo "  $f: present"; else echo "  $f: deleted"; fi
done
