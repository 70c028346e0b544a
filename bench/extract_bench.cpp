// Times ExtractPayload of the embedded pack into a fresh folder, several runs.
// Usage: extract_bench <scratch folder> <runs>   (prints one duration in seconds per run)
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

#include "payload/Payload.h"
#include "support/ScratchFolder.h"


int wmain(int argc, wchar_t** argv) {
    if (argc != 3) {
        fwprintf(stderr, L"usage: extract_bench <scratch folder> <runs>\n");
        return 2;
    }
    const std::wstring target = std::wstring(argv[1]) + L"\\Plugins\\";
    const int runs = _wtoi(argv[2]);
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    wchar_t start[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, start);
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
        printf("%.4f\n", static_cast<double>(t1.QuadPart - t0.QuadPart) / static_cast<double>(frequency.QuadPart));
        fflush(stdout);
    }
    RemoveTree(std::wstring(argv[1]) + L"\\Plugins");
    return 0;
}
