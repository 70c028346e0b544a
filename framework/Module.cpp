#include "framework/Module.h"

namespace fw {
namespace {
HINSTANCE g_resourceInstance = nullptr;
}

HINSTANCE ResourceInstance() noexcept {
    return g_resourceInstance != nullptr ? g_resourceInstance : GetModuleHandleW(nullptr);
}

void SetResourceInstance(HINSTANCE instance) noexcept { g_resourceInstance = instance; }
} // namespace fw
