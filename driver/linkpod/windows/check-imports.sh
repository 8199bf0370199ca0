#!/usr/bin/env bash
# Checks that linkpod.sys is a native-subsystem image with a version resource
# and imports only from the kernel, the USB driver library and the WMI library.
# Usage: check-imports.sh linkpod.sys
set -euo pipefail

image=$1
objdump=${MINGW_OBJDUMP:-x86_64-w64-mingw32-objdump}
failures=0

headers=$("$objdump" -p "$image")
if ! grep -q "Subsystem.*(NT native)" <<<"$headers"; then
    echo "FAIL: $image is not a native-subsystem image"
    failures=$((failures + 1))
fi

mapfile -t dlls < <(grep "DLL Name:" <<<"$headers" | awk '{print $3}')
if [ ${#dlls[@]} -eq 0 ]; then
    echo "FAIL: $image imports nothing"
    failures=$((failures + 1))
fi
for dll in "${dlls[@]}"; do
    case "$dll" in
    ntoskrnl.exe | USBD.SYS | WMILIB.SYS | HAL.dll) echo "import: $dll" ;;
    *)
        echo "FAIL: $image imports from $dll"
        failures=$((failures + 1))
        ;;
    esac
done

# The version strings are stored as UTF-16 in the resource section.
for text in "USB ICE Driver" "1, 3, 0, 0"; do
    pattern=$(sed 's/./&\\x00/g' <<<"$text")
    if ! LC_ALL=C grep -qaP "$pattern" "$image"; then
        echo "FAIL: version resource lacks \"$text\""
        failures=$((failures + 1))
    fi
done

if [ "$failures" -ne 0 ]; then
    exit 1
fi
echo "linkpod.sys: imports and version resource as expected"
