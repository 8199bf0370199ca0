#!/usr/bin/env bash
# Checks that linkpod.sys is a native-subsystem image with a version resource,
# no start-up code of its own and no exports, importing only from the kernel,
# the USB driver library and the WMI library.
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

# Nothing may run before the entry point (no global constructors or thread
# locals), the image exports nothing, and it can be loaded at any address.
mapfile -t sections < <("$objdump" -h "$image" | awk '$1 ~ /^[0-9]+$/ {print $2}')
for section in "${sections[@]}"; do
    case "$section" in
    .ctors | .dtors | .init_array | .fini_array | .CRT | .tls | .edata)
        echo "FAIL: $image has a $section section"
        failures=$((failures + 1))
        ;;
    esac
done
if ! printf '%s\n' "${sections[@]}" | grep -qx ".reloc"; then
    echo "FAIL: $image has no relocations"
    failures=$((failures + 1))
fi

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
