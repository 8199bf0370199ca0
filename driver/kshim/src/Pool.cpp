// Pool with tags and owner accounting, strings of the runtime library, debug output.
#include "driver/kshim/src/State.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

using namespace kshim;

namespace kshim {

// Allocations of the kernel made on the driver's behalf (the configuration
// request of the USB library, interface names): counted and owned by the
// driver, but exempt from the tag check.
void* KernelPoolForDriver(size_t size) {
    State& s = Current();
    if (s.CountAllocation())
        return nullptr;
    void* block = std::malloc(size ? size : 1);
    std::memset(block, 0, size);
    std::lock_guard<std::mutex> guard(s.mu);
    s.pool[block] = PoolBlock{size, 0, true};
    return block;
}

std::string TagText(ULONG tag) {
    std::string text;
    for (int i = 0; i < 4; ++i) {
        char c = static_cast<char>((tag >> (8 * i)) & 0xFF);
        text.push_back(c >= 0x20 && c < 0x7F ? c : '.');
    }
    return "'" + text + "'";
}

} // namespace kshim

namespace {

// The first platform version whose pool has a no-execute non-paged type.
constexpr UCHAR kNoExecutePoolMajor = 6;
constexpr UCHAR kNoExecutePoolMinor = 0x20;

// A block freed with this size, or a new one (with `mu` held): the heap would
// hand the last freed block out again as well.
void* TakeBlockLocked(State& s, size_t size) {
    for (auto it = s.sparePool.rbegin(); it != s.sparePool.rend(); ++it) {
        if (it->first == size) {
            void* block = it->second;
            s.sparePool.erase(std::next(it).base());
            return block;
        }
    }
    return std::malloc(size ? size : 1);
}

// Freed blocks kept for reuse, at most.
constexpr size_t kSparePoolBlocks = 32;

PVOID Allocate(POOL_TYPE type, SIZE_T size, ULONG tag, bool tagged) {
    State& s = Current();
    // One look at the kernel's state covers the whole allocation: pool is
    // taken often.
    void* block = nullptr;
    bool noExecuteOffered;
    ULONG expected;
    bool fail;
    {
        std::lock_guard<std::mutex> guard(s.mu);
        noExecuteOffered = s.wdmMajor > kNoExecutePoolMajor ||
                           (s.wdmMajor == kNoExecutePoolMajor && s.wdmMinor >= kNoExecutePoolMinor);
        expected = s.driverTag;
        fail = s.CountAllocationLocked();
        if (!fail) {
            block = TakeBlockLocked(s, size);
            s.pool[block] = PoolBlock{size, tag, true};
        }
    }
    if (KeGetCurrentIrql() > DISPATCH_LEVEL)
        s.Violate(Check::WaitAtRaisedIrql, "pool allocated above dispatch level");
    else if ((type == PagedPool || type == PagedPoolCacheAligned) && KeGetCurrentIrql() > APC_LEVEL)
        s.Violate(Check::PagedAtDispatch, "paged pool allocated at dispatch level");
    if ((type == NonPagedPool || type == NonPagedPoolMustSucceed ||
         type == NonPagedPoolCacheAligned) &&
        noExecuteOffered)
        s.Violate(Check::ExecutablePool,
                  "pool type " + std::to_string(type) + " instead of NonPagedPoolNx");
    if (!tagged)
        s.Violate(Check::UntaggedAllocation, "ExAllocatePool without a tag");
    else if (expected != 0 && tag != expected)
        s.Violate(Check::UntaggedAllocation,
                  "tag " + TagText(tag) + " instead of " + TagText(expected));
    if (fail)
        return nullptr;
    // Pool is not zeroed: fill it so that reads of unset fields show.
    std::memset(block, 0xA5, size);
    return block;
}

// Frees pool the driver allocated; `tag`, when given, must be the one it was
// allocated with. One look at the kernel's state for the whole free.
void FreeBlock(PVOID P, const ULONG* tag) {
    State& s = Current();
    s.RequireIrql(DISPATCH_LEVEL, "ExFreePool");
    size_t size = 0;
    ULONG actual = 0;
    bool known = false;
    bool kept = false;
    {
        std::lock_guard<std::mutex> guard(s.mu);
        auto found = s.pool.find(P);
        if (found != s.pool.end()) {
            known = true;
            size = found->second.size;
            actual = found->second.tag;
            s.pool.erase(found);
            // A block that can hold no timer or DPC is filled as freed and
            // kept for the next allocation of its size, in this same look.
            if (State::kKeepFreedBlocks && s.sparePool.size() < kSparePoolBlocks &&
                !s.MayHoldArmed(P, size)) {
                std::memset(P, 0xDD, size);
                s.sparePool.emplace_back(size, P);
                kept = true;
            }
        }
    }
    if (known && tag && actual != *tag)
        s.Violate(Check::BadFree,
                  "freed with tag " + TagText(*tag) + ", allocated with " + TagText(actual));
    if (!known) {
        s.Violate(Check::BadFree, "ExFreePool of " + Hex(reinterpret_cast<uintptr_t>(P)) +
                                      ", which is not allocated pool");
        return;
    }
    if (kept)
        return;
    CheckFreedRange(P, size, "pool");
    std::memset(P, 0xDD, size);
    std::free(P);
}

} // namespace

extern "C" {

PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
    return Allocate(PoolType, NumberOfBytes, Tag, true);
}

PVOID ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes) {
    return Allocate(PoolType, NumberOfBytes, 0, false);
}

VOID ExFreePool(PVOID P) {
    FreeBlock(P, nullptr);
}

VOID ExFreePoolWithTag(PVOID P, ULONG Tag) {
    FreeBlock(P, &Tag);
}

VOID RtlInitUnicodeString(PUNICODE_STRING Destination, PCWSTR Source) {
    size_t units = 0;
    if (Source)
        while (Source[units])
            ++units;
    Destination->Buffer = const_cast<PWSTR>(Source);
    Destination->Length = static_cast<USHORT>(units * sizeof(WCHAR));
    Destination->MaximumLength = Source ? static_cast<USHORT>((units + 1) * sizeof(WCHAR)) : 0;
}

VOID RtlCopyUnicodeString(PUNICODE_STRING Destination, PCUNICODE_STRING Source) {
    if (!Source) {
        Destination->Length = 0;
        return;
    }
    USHORT bytes =
        Source->Length < Destination->MaximumLength ? Source->Length : Destination->MaximumLength;
    std::memmove(Destination->Buffer, Source->Buffer, bytes);
    Destination->Length = bytes;
    if (bytes + sizeof(WCHAR) <= Destination->MaximumLength)
        Destination->Buffer[bytes / sizeof(WCHAR)] = 0;
}

NTSTATUS RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source) {
    if (Destination->Length + Source->Length > Destination->MaximumLength)
        return STATUS_BUFFER_TOO_SMALL;
    std::memmove(reinterpret_cast<char*>(Destination->Buffer) + Destination->Length, Source->Buffer,
                 Source->Length);
    Destination->Length = static_cast<USHORT>(Destination->Length + Source->Length);
    if (Destination->Length + sizeof(WCHAR) <= Destination->MaximumLength)
        Destination->Buffer[Destination->Length / sizeof(WCHAR)] = 0;
    return STATUS_SUCCESS;
}

NTSTATUS RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source) {
    UNICODE_STRING source;
    RtlInitUnicodeString(&source, Source);
    return RtlAppendUnicodeStringToString(Destination, &source);
}

LONG RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                             BOOLEAN CaseInSensitive) {
    size_t n1 = String1->Length / sizeof(WCHAR);
    size_t n2 = String2->Length / sizeof(WCHAR);
    for (size_t i = 0; i < n1 && i < n2; ++i) {
        WCHAR a = String1->Buffer[i];
        WCHAR b = String2->Buffer[i];
        if (CaseInSensitive) {
            if (a >= 'a' && a <= 'z')
                a = static_cast<WCHAR>(a - 32);
            if (b >= 'a' && b <= 'z')
                b = static_cast<WCHAR>(b - 32);
        }
        if (a != b)
            return a < b ? -1 : 1;
    }
    return n1 == n2 ? 0 : (n1 < n2 ? -1 : 1);
}

BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                              BOOLEAN CaseInSensitive) {
    return RtlCompareUnicodeString(String1, String2, CaseInSensitive) == 0;
}

VOID RtlFreeUnicodeString(PUNICODE_STRING UnicodeString) {
    Current().RequireIrql(PASSIVE_LEVEL, "RtlFreeUnicodeString");
    if (UnicodeString->Buffer)
        ExFreePool(UnicodeString->Buffer);
    UnicodeString->Buffer = nullptr;
    UnicodeString->Length = UnicodeString->MaximumLength = 0;
}

ULONG DbgPrint(PCSTR Format, ...) {
    char line[512];
    va_list args;
    va_start(args, Format);
    std::vsnprintf(line, sizeof line, Format, args);
    va_end(args);
    State& s = Current();
    std::lock_guard<std::mutex> guard(s.mu);
    s.debugLog.emplace_back(line);
    return 0;
}

ULONG DbgPrintEx(ULONG ComponentId, ULONG Level, PCSTR Format, ...) {
    (void)ComponentId;
    (void)Level;
    char line[512];
    va_list args;
    va_start(args, Format);
    std::vsnprintf(line, sizeof line, Format, args);
    va_end(args);
    State& s = Current();
    std::lock_guard<std::mutex> guard(s.mu);
    s.debugLog.emplace_back(line);
    return 0;
}

VOID KeBugCheckEx(ULONG BugCheckCode, ULONG_PTR P1, ULONG_PTR P2, ULONG_PTR P3, ULONG_PTR P4) {
    std::fprintf(stderr, "kshim: bug check %s (%s, %s, %s, %s)\n", Hex(BugCheckCode).c_str(),
                 Hex(P1).c_str(), Hex(P2).c_str(), Hex(P3).c_str(), Hex(P4).c_str());
    std::abort();
}

} // extern "C"
