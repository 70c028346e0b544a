// Windows resolves the executable's static imports, and what they import in turn, before
// HardenDllSearchPath can run. Its loader (Windows 10 1607 and later) reads DependentLoadFlags
// from this structure and then takes those imports from System32 only, never from the program's
// own folder. GNU ld leaves the PE's load-configuration directory empty even when this symbol
// exists; tools/set-load-config.py points the directory at it after linking.
#include <windows.h>

#include <cstddef>
#include <cstdint>

// The x64 layout up to and including the SEH fields: old enough that every loader that knows
// a load configuration reads it, long enough to hold DependentLoadFlags. Everything else is zero:
// no security cookie for the loader to set (the C runtime sets its own), no guard tables.
struct LoadConfiguration {
    uint32_t Size;
    uint32_t TimeDateStamp;
    uint16_t MajorVersion;
    uint16_t MinorVersion;
    uint32_t GlobalFlagsClear;
    uint32_t GlobalFlagsSet;
    uint32_t CriticalSectionDefaultTimeout;
    uint64_t DeCommitFreeBlockThreshold;
    uint64_t DeCommitTotalFreeThreshold;
    uint64_t LockPrefixTable;
    uint64_t MaximumAllocationSize;
    uint64_t VirtualMemoryThreshold;
    uint64_t ProcessAffinityMask;
    uint32_t ProcessHeapFlags;
    uint16_t CSDVersion;
    uint16_t DependentLoadFlags;  // mingw's winnt.h still calls this Reserved1
    uint64_t EditList;
    uint64_t SecurityCookie;
    uint64_t SEHandlerTable;
    uint64_t SEHandlerCount;
};
static_assert(offsetof(LoadConfiguration, DependentLoadFlags) == 78, "the loader reads the flags at offset 78");
static_assert(sizeof(LoadConfiguration) == 112, "no padding: Size must be what the loader expects");

namespace {
constexpr LoadConfiguration SearchSystem32Only() {
    LoadConfiguration c{};
    c.Size = sizeof c;
    c.DependentLoadFlags = LOAD_LIBRARY_SEARCH_SYSTEM32;
    return c;
}
} // namespace

// The name the Microsoft linker uses, and the one the patch step looks up in the link map;
// constant, so that it lands in .rdata with the file.
extern "C" __attribute__((used)) constinit const LoadConfiguration _load_config_used = SearchSystem32Only();
