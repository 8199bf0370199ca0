// Everything a WDM USB function driver declares from the kernel, the USB driver
// library and the WMI library, for building it over the user-mode kernel.
#pragma once

#include <ntddk.h>
#include <usb.h>
#include <usbdlib.h>
#include <usbioctl.h>
#include <wmilib.h>
#include <wmistr.h>
