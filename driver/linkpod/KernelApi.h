// The one place that decides which kernel LINKPOD is compiled against: the
// real Windows kernel headers for linkpod.sys, or the user-mode kernel for the
// Linux build that the tests drive. Everything else includes only this header.
#pragma once

#if defined(LINKPOD_USER_MODE_KERNEL)

#include "driver/kshim/Kernel.h"

#else

#include <ntddk.h>
#include <usb.h>
#include <usbioctl.h>
#include <wmilib.h>
#include <wmistr.h>
extern "C" {
#include <usbdlib.h>
}

// Declarations the toolchain's kernel headers lack.
#ifndef RTL_QUERY_REGISTRY_TYPECHECK
#define RTL_QUERY_REGISTRY_TYPECHECK 0x00000100
#define RTL_QUERY_REGISTRY_TYPECHECK_SHIFT 24
#endif

#endif

#ifndef STATUS_DEVICE_CONFIGURATION_ERROR
#define STATUS_DEVICE_CONFIGURATION_ERROR ((NTSTATUS)0xC0000182L)
#endif
