#include "payload/Payload.h"

namespace {

HANDLE AsHandle(voidpf stream) { return static_cast<HANDLE>(stream); }

voidpf ZCALLBACK OpenHandle(voidpf, const void* handle, int) { return const_cast<void*>(handle); }

uLong ZCALLBACK ReadHandle(voidpf, voidpf stream, void* buffer, uLong size) {
    DWORD read = 0;
    return ReadFile(AsHandle(stream), buffer, size, &read, nullptr) ? read : 0;
}

uLong ZCALLBACK WriteNothing(voidpf, voidpf, const void*, uLong) { return 0; }

ZPOS64_T ZCALLBACK TellHandle(voidpf, voidpf stream) {
    LARGE_INTEGER zero{}, position{};
    return SetFilePointerEx(AsHandle(stream), zero, &position, FILE_CURRENT) ? static_cast<ZPOS64_T>(position.QuadPart)
                                                                            : static_cast<ZPOS64_T>(-1);
}

long ZCALLBACK SeekHandle(voidpf, voidpf stream, ZPOS64_T offset, int origin) {
    DWORD method = origin == ZLIB_FILEFUNC_SEEK_CUR ? FILE_CURRENT : origin == ZLIB_FILEFUNC_SEEK_END ? FILE_END : FILE_BEGIN;
    LARGE_INTEGER distance;
    distance.QuadPart = static_cast<LONGLONG>(offset);
    return SetFilePointerEx(AsHandle(stream), distance, nullptr, method) ? 0 : -1;
}

// The handle belongs to whoever opened it.
int ZCALLBACK KeepHandle(voidpf, voidpf) { return 0; }
int ZCALLBACK NoError(voidpf, voidpf) { return 0; }

} // namespace

void FillHandleFileFunctions(zlib_filefunc64_def* functions) {
    functions->zopen64_file = OpenHandle;
    functions->zread_file = ReadHandle;
    functions->zwrite_file = WriteNothing;
    functions->ztell64_file = TellHandle;
    functions->zseek64_file = SeekHandle;
    functions->zclose_file = KeepHandle;
    functions->zerror_file = NoError;
    functions->opaque = nullptr;
}
