# Devices: a simulated modem in the demo prefix, its power options read and
# written, a driver installed on it from a small INF of ours, and the removal
# that Wine refuses.
# Sourced by tools/demo.sh after 00-prefix.sh (WINEPREFIX, Q5_BIN, Q5_ROOT,
# Q5_DEMO set; set -eu). Wine's output always goes to files, never a pipe.
#
# Wine's newdev.dll installs nothing, so the prefix gets the stand-in that
# the tests use (build/x64/platform/bin), which installs the selected driver
# through the class installer as Windows does.

q5_dev_out=$Q5_DEMO/devices
q5_dev_tools=$Q5_ROOT/build/x64/platform/bin
q5_dev_modem='ROOT\Q5DEMO\0000'
q5_dev_plain='ROOT\Q5DEMO\0001'
mkdir -p "$q5_dev_out"

# A failed call does not end the demo.
q5_dev_call() {
  q5_call "$@" || true
}

# The helper's output goes to a file and is shown indented.
q5_dev_fake() {
  local rc=0
  wine "$q5_dev_tools/q5fakedev.exe" "$@" >"$q5_dev_out/fakedev.txt" 2>&1 </dev/null || rc=$?
  tr -d '\r' <"$q5_dev_out/fakedev.txt" | sed 's/^/  /'
  return $rc
}

q5_dev_power() {
  echo "Hardware key of $q5_dev_modem:"
  q5_dev_fake show "$q5_dev_modem" dev DeviceWORable DeviceWakeEnable DeviceAllowSuspend || true
}

# One model: the hardware id of the simulated modem.
q5_dev_inf() {
  printf '%s\r\n' \
    '[Version]' \
    'Signature="$Windows NT$"' \
    'Class=Modem' \
    'ClassGUID={4D36E96D-E325-11CE-BFC1-08002BE10318}' \
    'Provider=%Q5%' \
    'DriverVer=12/08/2026,1.0.0.0' \
    '' \
    '[Manufacturer]' \
    '%Q5%=Q5Models' \
    '' \
    '[Q5Models]' \
    "%Modem%=Q5Modem_Install,$1" \
    '' \
    '[Q5Modem_Install]' \
    'AddReg=Q5Modem_AddReg' \
    '' \
    '[Q5Modem_AddReg]' \
    'HKR,,Q5Installed,0x10001,1' \
    '' \
    '[Strings]' \
    'Q5="Q5 demo"' \
    'Modem="Q5 Demo Voice Modem"'
}

echo
echo "=== Devices: a simulated modem ==="
if [ ! -x "$q5_dev_tools/q5fakedev.exe" ] || [ ! -f "$q5_dev_tools/newdev.dll" ]; then
  echo "The device helpers are not built ($q5_dev_tools); skipping the device demo."
  return 0
fi
cp "$q5_dev_tools/newdev.dll" "$WINEPREFIX/drive_c/windows/system32/newdev.dll"
wine reg add 'HKCU\Software\Wine\DllOverrides' /v newdev /t REG_SZ /d native /f >"$q5_dev_out/reg.txt" 2>&1 </dev/null || true
echo "newdev.dll stand-in copied into system32 (Wine's own InstallSelectedDriver installs nothing)."
echo "\$ q5fakedev create $q5_dev_modem Q5DEMO\\VOICEMODEM hwkey"
q5_dev_fake create "$q5_dev_modem" 'Q5DEMO\VOICEMODEM' hwkey || true
# Starting values opposite to what the calls below write, on every run.
q5_dev_fake setdword "$q5_dev_modem" dev DeviceWORable 1 || true
q5_dev_fake setdword "$q5_dev_modem" dev DeviceWakeEnable 0 || true
q5_dev_fake setdword "$q5_dev_modem" dev DeviceAllowSuspend 1 || true
echo "\$ q5fakedev create $q5_dev_plain Q5DEMO\\VOICEMODEM   (no hardware key)"
q5_dev_fake create "$q5_dev_plain" 'Q5DEMO\VOICEMODEM' || true

echo
echo "=== Devices: power options ==="
q5_dev_power
echo "The value DeviceWORable is present: isDeviceWORable answers 1 (S_FALSE)."
q5_dev_call isDeviceWORable "$q5_dev_modem"
echo "Any non-zero flag is written as 1, zero as 0."
q5_dev_call setWOREnabled "$q5_dev_modem" 7
q5_dev_call setSuspendAllowed "$q5_dev_modem" 0
q5_dev_power
echo "A device without a hardware key: E_FAIL and the operation's own message."
q5_dev_call isDeviceWORable "$q5_dev_plain"
q5_dev_call setWOREnabled "$q5_dev_plain" 1

echo
echo "=== Devices: InstallDriver ==="
q5_dev_inf 'Q5DEMO\VOICEMODEM' >"$q5_dev_out/q5modem.inf"
q5_dev_inf 'Q5DEMO\OTHERMODEM' >"$q5_dev_out/q5other.inf"
echo "An INF for other hardware: no compatible driver to select."
q5_dev_call InstallDriver "$q5_dev_modem" "$(q5_wine_path "$q5_dev_out/q5other.inf")" 0
echo "The INF of the simulated modem:"
q5_dev_call InstallDriver "$q5_dev_modem" "$(q5_wine_path "$q5_dev_out/q5modem.inf")" 0
echo "Driver key of $q5_dev_modem after the installation:"
q5_dev_fake show "$q5_dev_modem" drv InfPath Q5Installed || true

echo
echo "=== Devices: RemoveDriver ==="
echo "Wine's SetupDiSetClassInstallParamsW always fails, so the removal is refused and the INF stays."
q5_dev_call RemoveDriver "$q5_dev_modem"
echo "An unknown device:"
q5_dev_call RemoveDriver 'ROOT\Q5DEMO\9999'

if ! q5_without_x86; then
echo
echo "=== Devices: the 32-bit server ==="
# A 32-bit server loads 32-bit DLLs from syswow64: the x86 build's newdev
# stand-in goes there when it has one.
q5_dev_tools32=$Q5_ROOT/build/x86/platform/bin
echo "A 32-bit client gets q5dmsrv32, which reads and writes the same device through the 32-bit Setup API:"
q5_dev_call --ctl 32 setWOREnabled "$q5_dev_modem" 0
q5_dev_power
if [ -f "$q5_dev_tools32/newdev.dll" ]; then
  cp "$q5_dev_tools32/newdev.dll" "$WINEPREFIX/drive_c/windows/syswow64/newdev.dll"
  echo "32-bit newdev.dll stand-in copied into syswow64; the modem without a driver gets one from the 32-bit server:"
  q5_dev_call --ctl 32 InstallDriver "$q5_dev_plain" "$(q5_wine_path "$q5_dev_out/q5modem.inf")" 0
  echo "Driver key of $q5_dev_plain after the installation:"
  q5_dev_fake show "$q5_dev_plain" drv InfPath Q5Installed || true
else
  echo "(No 32-bit newdev stand-in in $q5_dev_tools32: InstallDriver stays on the 64-bit server.)"
fi
fi
