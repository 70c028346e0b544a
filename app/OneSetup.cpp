#include "app/OneSetup.h"

#include <windows.h>
#include <sddl.h>

#include <cstring>

#include "app/MessageIds.h"
#include "app/Platform.h"
#include "framework/MessageBox.h"
#include "framework/Strings.h"
#include "install/InstallLog.h"

namespace {

// None of these is in every kernel32 we start on; a static import would stop the
// process before it starts there.
using CreateBoundaryFn = HANDLE(WINAPI*)(LPCWSTR, ULONG);
using DeleteBoundaryFn = VOID(WINAPI*)(HANDLE);
using AddSidFn = BOOL(WINAPI*)(HANDLE*, PSID);
using CreateNamespaceFn = HANDLE(WINAPI*)(LPSECURITY_ATTRIBUTES, LPVOID, LPCWSTR);
using CloseNamespaceFn = BOOLEAN(WINAPI*)(HANDLE, ULONG);

template <class Fn> Fn Resolve(const char* name) {
    FARPROC proc = GetProcAddress(GetModuleHandleW(L"kernel32"), name);
    Fn fn = nullptr;
    static_assert(sizeof fn == sizeof proc);
    memcpy(&fn, &proc, sizeof fn);
    return fn;
}

class Boundary {
public:
    Boundary(CreateBoundaryFn create, DeleteBoundaryFn destroy) noexcept : destroy_(destroy) {
        handle_ = create(kSetupNamespaceName, 0);
    }
    ~Boundary() {
        if (handle_ != nullptr) destroy_(handle_);
    }
    Boundary(const Boundary&) = delete;
    Boundary& operator=(const Boundary&) = delete;
    HANDLE* Address() noexcept { return &handle_; }
    HANDLE Get() const noexcept { return handle_; }

private:
    HANDLE handle_ = nullptr;
    DeleteBoundaryFn destroy_;
};

struct LocalFreer {
    void operator()(void* p) const noexcept { LocalFree(p); }
};

} // namespace

SetupLock::~SetupLock() { ReleaseNamespace(); }

void SetupLock::ReleaseNamespace() noexcept {
    if (namespace_ == nullptr) return;
    if (auto close = Resolve<CloseNamespaceFn>("ClosePrivateNamespace")) close(namespace_, 0);
    namespace_ = nullptr;
}

// Only the namespace's creator holds the lock, and nobody opens it: once the creator's
// handle closes the namespace cannot be opened any more, so a run that had opened it would
// hold a lock that the next run, creating a fresh namespace, no longer sees. A run that
// finds it standing refuses, and the system removes it with its creator's process.
SetupLock::Namespace SetupLock::TakeNamespace() noexcept {
    auto createBoundary = Resolve<CreateBoundaryFn>("CreateBoundaryDescriptorW");
    auto deleteBoundary = Resolve<DeleteBoundaryFn>("DeleteBoundaryDescriptor");
    auto addSid = Resolve<AddSidFn>("AddSIDToBoundaryDescriptor");
    auto addLabel = Resolve<AddSidFn>("AddIntegrityLabelToBoundaryDescriptor");
    auto createNamespace = Resolve<CreateNamespaceFn>("CreatePrivateNamespaceW");
    auto closeNamespace = Resolve<CloseNamespaceFn>("ClosePrivateNamespace");
    if (createBoundary == nullptr || deleteBoundary == nullptr || addSid == nullptr || addLabel == nullptr ||
        createNamespace == nullptr || closeNamespace == nullptr)
        return Namespace::Unavailable;
    // Wine has this one alone, and it makes nothing.
    Boundary boundary(createBoundary, deleteBoundary);
    if (boundary.Get() == nullptr) return Namespace::Unavailable;

    BYTE administrators[SECURITY_MAX_SID_SIZE], high[SECURITY_MAX_SID_SIZE];
    DWORD administratorsSize = sizeof administrators, highSize = sizeof high;
    if (!CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators, &administratorsSize) ||
        !CreateWellKnownSid(WinHighLabelSid, nullptr, high, &highSize) || !addSid(boundary.Address(), administrators) ||
        !addLabel(boundary.Address(), high))
        return Namespace::Unavailable;

    PSECURITY_DESCRIPTOR raw = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(A;;GA;;;BA)(A;;GA;;;SY)", SDDL_REVISION_1, &raw,
                                                              nullptr))
        return Namespace::Unavailable;
    std::unique_ptr<void, LocalFreer> descriptor(raw);
    SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor.get(), FALSE};
    SetLastError(ERROR_SUCCESS);
    HANDLE created = createNamespace(&attributes, boundary.Get(), kSetupNamespaceName);
    const DWORD error = GetLastError();
    if (created != nullptr) {
        namespace_ = created;
        return Namespace::Taken;
    }
    return error == ERROR_ALREADY_EXISTS ? Namespace::Held : Namespace::Unavailable;
}

bool SetupLock::Acquire() noexcept {
    ReleaseNamespace();
    mutex_.reset();
    const bool elevated = QueryPrivilege() != Privilege::Standard;
    if (elevated) {
        switch (TakeNamespace()) {
        case Namespace::Held:
            return false;
        case Namespace::Taken:
            // The mutex as well, where nobody has it, so that a run without elevation sees
            // this one; whoever has it cannot stop this run.
            SetLastError(ERROR_SUCCESS);
            mutex_.reset(CreateMutexW(nullptr, FALSE, kSetupMutexName));
            if (GetLastError() == ERROR_ALREADY_EXISTS) mutex_.reset();
            return true;
        case Namespace::Unavailable:
            break;
        }
    }
    SetLastError(ERROR_SUCCESS);
    mutex_.reset(CreateMutexW(nullptr, FALSE, kSetupMutexName));
    const DWORD error = GetLastError();
    if (!fw::Valid(mutex_)) return false;
    if (error == ERROR_ALREADY_EXISTS) {
        mutex_.reset();
        return false;
    }
    return true;
}

void ReportAnotherSetup(bool toLog) noexcept {
    if (toLog) {
        wchar_t message[260];
        fw::LoadStringInto(IDS_ANOTHER_SETUP, message, 260);
        WriteLogEntry(message);
        return;
    }
    fw::CString text(IDS_ANOTHER_SETUP);
    fw::ShowMessageBox(GetActiveWindow(), text, L"Zorvalind PlugIns ARM 64-bit Setup", MB_OK | MB_ICONWARNING);
}
