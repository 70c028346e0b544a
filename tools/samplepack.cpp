// Generates the sample plug-in folder: the shape and size of a release pack, made of
// deterministic bytes, so the build and its tests need no real plug-ins.
// Usage: samplepack <folder>
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

namespace {

struct FileSpec {
    const char* name;
    bool text;
};

// 67 files, five folders; names are ASCII and at most 41 bytes.
const char* const kFolders[] = {"Codecs/", "Effects/", "Effects/Lens/", "Effects/Paint/", "Effects/Tone/"};
const FileSpec kFiles[] = {
    {"zv_avif.dll", false},        {"zv_bmp.dll", false},          {"zv_cineon.dll", false},
    {"zv_dds.dll", false},         {"zv_dicom.dll", false},        {"zv_djvu.dll", false},
    {"zv_exr.dll", false},         {"zv_fits.dll", false},         {"zv_flif.dll", false},
    {"zv_gif.dll", false},         {"zv_hdr.dll", false},          {"zv_heic.dll", false},
    {"zv_ico.dll", false},         {"zv_jbig2.dll", false},        {"zv_jp2.dll", false},
    {"zv_jxl.dll", false},         {"zv_jxr.dll", false},          {"zv_ktx.dll", false},
    {"zv_pcx.dll", false},         {"zv_pdf.dll", false},          {"zv_png.dll", false},
    {"zv_psd.dll", false},         {"zv_qoi.dll", false},          {"zv_raw_camera.dll", false},
    {"zv_sgi.dll", false},         {"zv_svg.dll", false},          {"zv_tga.dll", false},
    {"zv_tiff.dll", false},        {"zv_webp.dll", false},         {"zv_xcf.dll", false},
    {"zv_metadata_reader.dll", false}, {"zv_colour_management.dll", false}, {"zv_media_bridge.dll", false},
    {"ZvPlugins.chm", false},      {"ZvFormats.chm", false},       {"ZvFilters.chm", false},
    {"ZvCommandLine.chm", false},  {"Readme_PlugIns.txt", true},   {"Licenses_ThirdParty.txt", true},
    {"zv_plugin_helper.exe", false}, {"zv_camera_profiles.dat", false},
    {"Codecs/zv_video_frames.dll", false}, {"Codecs/zv_audio_preview.dll", false},
    {"Effects/ZvAutoLevels.8bf", false}, {"Effects/ZvDenoise.8bf", false},
    {"Effects/ZvDespeckle.8bf", false},  {"Effects/ZvEmboss.8bf", false},
    {"Effects/ZvSharpenPlus.8bf", false}, {"Effects/ZvVignette.8bf", false},
    {"Effects/zv_filter_host.dll", false}, {"Effects/zv_filter_ui.dll", false},
    {"Effects/zv_filter_math.dll", false}, {"Effects/zv_filter_gpu.dll", false},
    {"Effects/Lens/zv_lens_barrel.dll", false}, {"Effects/Lens/zv_lens_chromatic.dll", false},
    {"Effects/Lens/zv_lens_database.dll", false}, {"Effects/Lens/zv_lens_fisheye.dll", false},
    {"Effects/Lens/zv_lens_perspective.dll", false}, {"Effects/Lens/zv_lens_pincushion.dll", false},
    {"Effects/Lens/zv_lens_tilt_shift.dll", false}, {"Effects/Lens/zv_lens_vignetting.dll", false},
    {"Effects/Paint/zv_paint_oil.dll", false}, {"Effects/Paint/zv_paint_watercolour.dll", false},
    {"Effects/Tone/zv_tone_curves.dll", false}, {"Effects/Tone/zv_tone_hdr_merge.dll", false},
    {"Effects/Tone/zv_tone_mapping.dll", false}, {"Effects/Tone/zv_tone_split.dll", false},
};
constexpr size_t kFileCount = sizeof kFiles / sizeof kFiles[0];
static_assert(kFileCount == 67, "the sample pack has 67 files");

constexpr uint64_t kTotalBytes = 70152176;
constexpr uint64_t kLargestBytes = 10302016;
constexpr size_t kLargestIndex = 23;  // the camera-raw codec
constexpr unsigned kRandomShare = 136; // per mille of blocks that do not compress at all

struct Rng {
    uint64_t state;
    uint64_t Next() {
        uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    uint32_t Below(uint32_t n) { return static_cast<uint32_t>(Next() % n); }
};

const char* const kWords[] = {
    "pixel", "colour", "filter", "layer", "channel", "gamma", "profile", "matrix", "decode", "encode",
    "stride", "buffer", "plane", "sample", "width", "height", "alpha", "depth", "header", "chunk",
    "frame", "tile", "scan", "row", "lens", "tone", "curve", "level", "noise", "sharpen", "blur",
    "mask", "ZvImage", "ZvPlugin", "Open", "Close", "Read", "Write", "Seek", "Init", "Free", "Get",
    "Set", "0x00", "0xFF", "(", ")", ";", "{", "}", "\r\n", "    ", "=", ",", "->", "return",
    "if", "else", "for", "int", "void", "const", "struct", "static"};
constexpr uint32_t kWordCount = sizeof kWords / sizeof kWords[0];

void FillBlock(Rng& rng, char* block, size_t size, bool text) {
    if (!text && rng.Below(1000) < kRandomShare) {
        for (size_t i = 0; i < size; i += 8) {
            uint64_t v = rng.Next();
            memcpy(block + i, &v, size - i < 8 ? size - i : 8);
        }
        return;
    }
    size_t i = 0;
    while (i < size) {
        const char* w = kWords[rng.Below(kWordCount)];
        for (const char* p = w; *p != '\0' && i < size; ++p) block[i++] = *p;
        if (i < size && rng.Below(4) == 0) block[i++] = ' ';
    }
}

uint32_t DosTime(Rng& rng) {
    uint32_t year = 2006 + rng.Below(21);
    uint32_t month = 1 + rng.Below(year == 2026 ? 6 : 12);
    uint32_t day = 1 + rng.Below(28), hour = rng.Below(24), minute = rng.Below(60), second = rng.Below(30);
    return ((year - 1980) << 25) | (month << 21) | (day << 16) | (hour << 11) | (minute << 5) | second;
}

void SetTimes(const std::wstring& path, uint32_t dos, bool folder) {
    HANDLE h = CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, folder ? FILE_FLAG_BACKUP_SEMANTICS : 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return;
    FILETIME local, utc;
    DosDateTimeToFileTime(static_cast<WORD>(dos >> 16), static_cast<WORD>(dos), &local);
    LocalFileTimeToFileTime(&local, &utc);
    SetFileTime(h, &utc, &utc, &utc);
    CloseHandle(h);
}

std::wstring Join(const std::wstring& root, const char* name) {
    std::wstring path = root;
    path += L'\\';
    for (const char* p = name; *p != '\0'; ++p) path += (*p == '/') ? L'\\' : static_cast<wchar_t>(*p);
    if (path.back() == L'\\') path.pop_back();
    return path;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) {
        fwprintf(stderr, L"usage: samplepack <folder>\n");
        return 2;
    }
    const std::wstring root = argv[1];
    CreateDirectoryW(root.c_str(), nullptr);
    for (const char* folder : kFolders) CreateDirectoryW(Join(root, folder).c_str(), nullptr);

    Rng rng{1973};
    // Sizes: log-spread weights scaled to the release total, the largest file fixed.
    std::vector<uint64_t> sizes(kFileCount);
    std::vector<double> weights(kFileCount);
    double weightSum = 0;
    for (size_t i = 0; i < kFileCount; ++i) {
        if (i == kLargestIndex) continue;
        double w = 1.0;
        for (uint32_t k = rng.Below(12); k > 0; --k) w *= 1.6;
        weights[i] = w;
        weightSum += w;
    }
    uint64_t rest = kTotalBytes - kLargestBytes, given = 0;
    size_t lastIndex = kFileCount - 1;
    for (size_t i = 0; i < kFileCount; ++i) {
        if (i == kLargestIndex) { sizes[i] = kLargestBytes; continue; }
        if (i == lastIndex) { sizes[i] = rest - given; continue; }
        sizes[i] = static_cast<uint64_t>(static_cast<double>(rest) * weights[i] / weightSum);
        given += sizes[i];
    }

    std::vector<char> block(1 << 16);
    for (size_t i = 0; i < kFileCount; ++i) {
        const std::wstring path = Join(root, kFiles[i].name);
        FILE* f = _wfopen(path.c_str(), L"wb");
        if (f == nullptr) {
            fwprintf(stderr, L"samplepack: cannot create %ls\n", path.c_str());
            return 1;
        }
        // Binary kinds begin with a binary header, as real ones do, so no tool takes them for text.
        uint64_t left = sizes[i];
        if (!kFiles[i].text) {
            static const char header[16] = {'M', 'Z', '\x90', 0, 3, 0, 0, 0, 4, 0, 0, 0, '\xFF', '\xFF', 0, 0};
            size_t n = left < sizeof header ? static_cast<size_t>(left) : sizeof header;
            fwrite(header, 1, n, f);
            left -= n;
        }
        while (left > 0) {
            size_t chunk = left < 4096 ? static_cast<size_t>(left) : 4096;
            FillBlock(rng, block.data(), chunk, kFiles[i].text);
            fwrite(block.data(), 1, chunk, f);
            left -= chunk;
        }
        if (fclose(f) != 0) return 1;
        SetTimes(path, DosTime(rng), false);
    }
    for (const char* folder : kFolders) SetTimes(Join(root, folder), DosTime(rng), true);
    return 0;
}
