#include "app/RunLog.h"

#include <windows.h>

#include "app/ExitCodes.h"
#include "app/Platform.h"
#include "app/SilentInstall.h"
#include "app/Version.h"
#include "framework/Handles.h"
#include "install/FolderTrust.h"
#include "install/InstallLog.h"

namespace {

constexpr DWORD kNameChars = 256;

// DOMAIN\name of the token's user; the plain user name where the lookup fails.
void AppendAccount(LogText& text) {
    HANDLE raw = nullptr;
    wchar_t name[kNameChars] = {}, domain[kNameChars] = {};
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw)) {
        fw::unique_hfile token(raw);
        union {
            TOKEN_USER user;
            BYTE bytes[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
        } user{};
        DWORD needed = 0, nameChars = kNameChars, domainChars = kNameChars;
        SID_NAME_USE use;
        if (GetTokenInformation(token.get(), TokenUser, &user, sizeof user, &needed) &&
            LookupAccountSidW(nullptr, user.user.User.Sid, name, &nameChars, domain, &domainChars, &use)) {
            if (domain[0] != L'\0') {
                text.Append(domain);
                text.Append(L"\\");
            }
            text.Append(name);
            name[0] = L'\0';
        } else {
            DWORD chars = kNameChars;
            if (!GetUserNameW(name, &chars)) lstrcpynW(name, L"(unknown)", kNameChars);
            text.Append(name);
        }
    } else {
        text.Append(L"(unknown)");
    }
    switch (QueryPrivilege()) {
    case Privilege::System:
        text.Append(L" (SYSTEM)");
        break;
    case Privilege::Elevated:
        text.Append(L" (elevated)");
        break;
    case Privilege::Standard:
        text.Append(L" (not elevated)");
        break;
    }
}

void AppendFolder(LogText& text, const SilentFolder* folder) {
    if (folder == nullptr) {
        text.Append(L"not looked up without /silent");
        return;
    }
    if (folder->path[0] == L'\0') {
        if (folder->source == FolderSource::Switch)
            text.Append(L"none (/folder= is empty)");
        else if (folder->unregistered)
            text.Append(L"none (no /folder=, and none in the registry)");
        else
            text.Append(L"none (/folder= too long, or cut with the command line)");
        return;
    }
    text.Append(folder->path);
    switch (folder->source) {
    case FolderSource::Switch:
        text.Append(L" (from /folder=)");
        break;
    case FolderSource::Registry:
        text.Append(L" (from the registry)");
        break;
    case FolderSource::App:
        text.Append(L" (from /app)");
        break;
    case FolderSource::None:
        break;
    }
}

const wchar_t* Outcome(int exitCode, bool removal) {
    switch (exitCode) {
    case kExitInstalled: return L"success";
    case kExitWizardLeft:
        return removal ? L"nothing removed: not confirmed, or no window to ask in" : L"nothing installed: no wizard, or it was left";
    case kExitNoFolder: return L"no install folder";
    case kExitInstallFailed: return removal ? L"removal failed" : L"installation failed";
    case kExitViewerRunning: return L"Zorvalind is running";
    case kExitInstallInProgress: return L"another setup is running: retry later";
    default: return L"ended";
    }
}

} // namespace

void LogRunStart(const wchar_t* commandLine, const SilentFolder* folder) noexcept {
    if (!InstallLogWasGiven()) return;
    LogText text;
    text.Append(L"Zorvalind PlugIns ARM 64-bit Setup " PRODUCT_VERSION_WTEXT L" started\n");
    text.Append(L"Command line: ");
    text.Append(commandLine);
    text.Append(L"\nAccount: ");
    AppendAccount(text);
    text.Append(L"\nFolder: ");
    AppendFolder(text, folder);
    text.Write();
}

void LogRunEnd(int exitCode, bool removal, bool wentThrough) noexcept {
    if (!InstallLogWasGiven()) return;
    LogText text;
    text.Format(L"Finished: %ls (exit code %d)", Outcome(exitCode, removal), exitCode);
    // A failure's own entry says it already.
    if (wentThrough && CurrentRedirectionTrust() != RedirectionTrust::NotTried)
        text.Append(CurrentRedirectionTrust() == RedirectionTrust::On
                        ? L"\nLink protection of the process: on"
                        : L"\nLink protection of the process: not available on this system");
    text.Write();
}
