// Included before GUID definitions in the one source file that defines them.
#pragma once
#define INITGUID
#undef DEFINE_GUID
#define DEFINE_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8)                                 \
    extern "C" const GUID name = {l, w1, w2, {b1, b2, b3, b4, b5, b6, b7, b8}}
#include "kshim_wdm/ntdef.h"
