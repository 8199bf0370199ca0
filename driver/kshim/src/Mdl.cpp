// Memory descriptor lists: whole and partial, the driver's and the kernel's own.
#include "driver/kshim/src/State.h"

using namespace kshim;

namespace kshim {
namespace {

// An MDL for `length` bytes at `address`, not yet in the kernel's records;
// a freed one is taken again (with `mu` held), as the heap would.
PMDL MakeMdlLocked(State& s, PVOID address, ULONG length, CSHORT flags) {
    PMDL mdl;
    if (s.spareMdls.empty()) {
        mdl = static_cast<PMDL>(::operator new(sizeof(MDL)));
    } else {
        mdl = s.spareMdls.back();
        s.spareMdls.pop_back();
    }
    std::memset(mdl, 0, sizeof(MDL));
    uintptr_t va = reinterpret_cast<uintptr_t>(address);
    mdl->StartVa = reinterpret_cast<PVOID>(va & ~uintptr_t{0xFFF});
    mdl->ByteOffset = static_cast<ULONG>(va & 0xFFF);
    mdl->ByteCount = length;
    mdl->MappedSystemVa = address;
    mdl->MdlFlags = flags;
    mdl->Size = static_cast<CSHORT>(sizeof(MDL));
    return mdl;
}

ULONG Pages(PMDL mdl) {
    return (mdl->ByteOffset + mdl->ByteCount + 0xFFF) >> 12;
}

} // namespace

PMDL NewKernelMdlLocked(State& s, PVOID address, ULONG length) {
    PMDL mdl = MakeMdlLocked(s, address, length, MDL_PAGES_LOCKED | MDL_MAPPED_TO_SYSTEM_VA);
    s.mdls[mdl] = MdlRecord{Pages(mdl), false};
    return mdl;
}

bool FreeMdlLocked(State& s, PMDL mdl) {
    if (s.mdls.erase(mdl) == 0)
        return false;
    if (State::kKeepFreedBlocks)
        s.spareMdls.push_back(mdl);
    else
        ::operator delete(mdl);
    return true;
}

PMDL NewKernelMdl(PVOID address, ULONG length) {
    State& s = Current();
    std::lock_guard<std::mutex> guard(s.mu);
    return NewKernelMdlLocked(s, address, length);
}

void FreeKernelMdl(PMDL mdl) {
    State& s = Current();
    std::lock_guard<std::mutex> guard(s.mu);
    FreeMdlLocked(s, mdl);
}

} // namespace kshim

extern "C" {

PMDL IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer, BOOLEAN ChargeQuota,
                   PIRP Irp) {
    (void)ChargeQuota;
    State& s = Current();
    s.RequireIrql(DISPATCH_LEVEL, "IoAllocateMdl");
    PMDL mdl;
    {
        // Counted, made and recorded under one lock: a transfer allocates one per stage.
        std::lock_guard<std::mutex> guard(s.mu);
        if (s.CountAllocationLocked())
            return nullptr;
        mdl = MakeMdlLocked(s, VirtualAddress, Length, 0);
        s.mdls[mdl] = MdlRecord{Pages(mdl), true};
    }
    if (Irp) {
        if (!SecondaryBuffer || !Irp->MdlAddress) {
            Irp->MdlAddress = mdl;
        } else {
            PMDL last = Irp->MdlAddress;
            while (last->Next)
                last = last->Next;
            last->Next = mdl;
        }
    }
    return mdl;
}

VOID IoFreeMdl(PMDL Mdl) {
    State& s = Current();
    s.RequireIrql(DISPATCH_LEVEL, "IoFreeMdl");
    bool known;
    {
        std::lock_guard<std::mutex> guard(s.mu);
        known = FreeMdlLocked(s, Mdl);
    }
    if (!known)
        s.Violate(Check::BadFree, "IoFreeMdl of " + Hex(reinterpret_cast<uintptr_t>(Mdl)) +
                                      ", which is not an allocated MDL");
}

VOID IoBuildPartialMdl(PMDL SourceMdl, PMDL TargetMdl, PVOID VirtualAddress, ULONG Length) {
    State& s = Current();
    s.RequireIrql(DISPATCH_LEVEL, "IoBuildPartialMdl");
    auto* source = static_cast<uint8_t*>(MmGetMdlVirtualAddress(SourceMdl));
    auto* start = static_cast<uint8_t*>(VirtualAddress);
    uint8_t* sourceEnd = source + SourceMdl->ByteCount;
    if (Length == 0 && start >= source && start <= sourceEnd)
        Length = static_cast<ULONG>(sourceEnd - start);
    if (start < source || start + Length > sourceEnd)
        s.Violate(Check::BadMdl, "partial MDL of " + std::to_string(Length) +
                                     " bytes lies outside its source MDL");
    uintptr_t va = reinterpret_cast<uintptr_t>(VirtualAddress);
    ULONG needed = static_cast<ULONG>(((va & 0xFFF) + Length + 0xFFF) >> 12);
    ULONG capacity = needed;
    {
        std::lock_guard<std::mutex> guard(s.mu);
        auto found = s.mdls.find(TargetMdl);
        if (found != s.mdls.end())
            capacity = found->second.pages;
    }
    if (needed > capacity)
        s.Violate(Check::BadMdl, "target MDL of " + std::to_string(capacity) +
                                     " pages is too small for " + std::to_string(needed));
    TargetMdl->StartVa = reinterpret_cast<PVOID>(va & ~uintptr_t{0xFFF});
    TargetMdl->ByteOffset = static_cast<ULONG>(va & 0xFFF);
    TargetMdl->ByteCount = Length;
    TargetMdl->MappedSystemVa = VirtualAddress;
    TargetMdl->MdlFlags = static_cast<CSHORT>(TargetMdl->MdlFlags | MDL_PARTIAL);
}

VOID MmBuildMdlForNonPagedPool(PMDL MemoryDescriptorList) {
    MemoryDescriptorList->MdlFlags =
        static_cast<CSHORT>(MemoryDescriptorList->MdlFlags | MDL_SOURCE_IS_NONPAGED_POOL);
    MemoryDescriptorList->MappedSystemVa = MmGetMdlVirtualAddress(MemoryDescriptorList);
}

PVOID MmGetSystemAddressForMdlSafe_(PMDL Mdl, ULONG Priority) {
    (void)Priority;
    Mdl->MdlFlags = static_cast<CSHORT>(Mdl->MdlFlags | MDL_MAPPED_TO_SYSTEM_VA);
    return MmGetMdlVirtualAddress(Mdl);
}

VOID MmPrepareMdlForReuse_(PMDL Mdl) {
    Mdl->MdlFlags = static_cast<CSHORT>(Mdl->MdlFlags & ~MDL_PARTIAL_HAS_BEEN_MAPPED);
}

} // extern "C"
