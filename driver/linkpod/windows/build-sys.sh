#!/usr/bin/env bash
# Builds linkpod.sys with the mingw-w64 cross compiler and its kernel headers.
# Usage: build-sys.sh SOURCE_ROOT OUTPUT_DIR SOURCES...
set -euo pipefail

root=$1
out=$2
shift 2

cxx=${MINGW_CXX:-x86_64-w64-mingw32-g++}
windres=${MINGW_WINDRES:-x86_64-w64-mingw32-windres}
objdump=${MINGW_OBJDUMP:-x86_64-w64-mingw32-objdump}
ddk=${MINGW_DDK:-/usr/share/mingw-w64/include/ddk}

flags=(
    -std=c++17 -O2 -ffreestanding -fno-exceptions -fno-rtti -fno-threadsafe-statics
    -fno-stack-protector
    -Wall -Wextra -Werror
    -D__INTRINSIC_DEFINED_InterlockedBitTestAndSet
    -D__INTRINSIC_DEFINED_InterlockedBitTestAndReset
    -I"$ddk" -I"$root"
)

mkdir -p "$out/obj"
objects=()
for source in "$@"; do
    object="$out/obj/$(basename "${source%.cpp}").o"
    "$cxx" "${flags[@]}" -c "$root/$source" -o "$object"
    # Nothing would run a global constructor or thread-local initialiser.
    if "${objdump}" -h "$object" | awk '$1 ~ /^[0-9]+$/ {print $2}' |
        grep -qE '^\.(ctors|dtors|init_array|fini_array|tls)'; then
        echo "build-sys: $source needs start-up code (global constructor or thread local)" >&2
        exit 1
    fi
    objects+=("$object")
done
"$windres" -O coff "$root/driver/linkpod/windows/linkpod.rc" -o "$out/obj/linkpod.res.o"
objects+=("$out/obj/linkpod.res.o")

"$cxx" -o "$out/linkpod.sys" "${objects[@]}" -nostdlib \
    -Wl,--subsystem,native -Wl,--entry,DriverEntry -Wl,--image-base,0x10000 \
    -Wl,--dynamicbase -Wl,--nxcompat \
    -lntoskrnl -lusbd -lwmilib -lhal
