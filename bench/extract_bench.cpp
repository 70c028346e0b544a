// Times ExtractPayload of the embedded pack into a fresh folder, several runs, and splits
// each run into its steps.
// Usage: extract_bench <scratch folder> <runs>
// Prints per run, in seconds: the whole call, staging the archive, writing and checking
// every part file, putting them in place, and the rest (closing, deleting the staged file).
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

#include "payload/Payload.h"
#include "payload/Transaction.h"
#include "support/ScratchFolder.h"

namespace {
LARGE_INTEGER staged, lastPart, placed;
void Stamp(int stage, unsigned) {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    if (stage == 2) staged = now;
    if (stage == 0) lastPart = now;
    if (stage == 3) placed = now;
}
} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) {
        fwprintf(stderr, L"usage: extract_bench <scratch folder> <runs>\n");
        return 2;
    }
    const std::wstring target = std::wstring(argv[1]) + L"\\Plugins\\";
    const int runs = _wtoi(argv[2]);
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    auto seconds = [&](LARGE_INTEGER a, LARGE_INTEGER b) {
        return static_cast<double>(b.QuadPart - a.QuadPart) / static_cast<double>(frequency.QuadPart);
    };
    wchar_t start[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, start);
    TransactionProbe = Stamp;
    for (int i = 0; i < runs; ++i) {
        RemoveTree(std::wstring(argv[1]) + L"\\Plugins");
        CreateDirectoryW(argv[1], nullptr);
        CreateDirectoryW(target.c_str(), nullptr);
        LARGE_INTEGER t0, t1;
        QueryPerformanceCounter(&t0);
        int result = ExtractPayload(target.c_str());
        QueryPerformanceCounter(&t1);
        SetCurrentDirectoryW(start);
        if (result != 0) {
            fwprintf(stderr, L"extract_bench: ExtractPayload failed\n");
            return 1;
        }
        printf("%.4f %.4f %.4f %.4f %.4f\n", seconds(t0, t1), seconds(t0, staged), seconds(staged, lastPart),
               seconds(lastPart, placed), seconds(placed, t1));
        fflush(stdout);
    }
    RemoveTree(std::wstring(argv[1]) + L"\\Plugins");
    return 0;
}
