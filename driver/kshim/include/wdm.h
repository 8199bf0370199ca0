// The kernel interface a WDM driver builds against, served by the user-mode kernel.
#pragma once

#include "kshim_wdm/ntdef.h"
#include "kshim_wdm/ntstatus.h"
#include "kshim_wdm/ke.h"
#include "kshim_wdm/rtl.h"
#include "kshim_wdm/powertypes.h"
#include "kshim_wdm/io.h"
#include "kshim_wdm/po.h"

#define PAGED_CODE() KshimCheckPagedCode_()
extern "C" NTKERNELAPI VOID KshimCheckPagedCode_(VOID);
