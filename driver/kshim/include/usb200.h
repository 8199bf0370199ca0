#pragma once
#include <usb100.h>
