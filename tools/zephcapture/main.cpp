// zephcapture: loads the capture library by name, takes one raw exposure and writes it as a
// 16-bit grayscale PNG, reporting every step and every return code in words.
#include <windows.h>

#include <zephif/ZephIF.h>

#include <dlfcn.h>
#include <unistd.h>
#include <png.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

// Found like any shared library: this program's run path, then the loader's search path.
constexpr char kDefaultLibrary[] = "libZephIF.so";
constexpr char kDefaultOutput[] = "capture.png";
constexpr char kSettingsPath[] = "./ZephIF.ini";  // where the library reads it
constexpr char kWindowClass[] = "ZephCaptureWindow";
constexpr UINT kResultMessage = WM_APP + 0x100;
constexpr LONG kCookie = 0x5A45;  // any value; it comes back in the result record
// The library notifies within its capture time-out (300 s by default) and its own margins.
constexpr DWORD kResultWaitMs = 660000;
constexpr DWORD kQueuePollMs = 10;
constexpr int kPixelBits = 12;
// Exit codes: the PNG was written; no image (the codes on the way say why); unusable setup.
constexpr int kExitWritten = 0;
constexpr int kExitNoImage = 1;
constexpr int kExitUsage = 2;

struct Options {
    std::string library = kDefaultLibrary;
    std::string output = kDefaultOutput;
    bool byEvent = false;
    bool scale = false;
    std::string ui;  // WINAPI_UI for the library's status window and message boxes
};

struct Exports {
    decltype(&ZephLibStartSession) StartSession = nullptr;
    decltype(&ZephLibEndSession) EndSession = nullptr;
    decltype(&ZephLibCaptureRawImageWithPostMessage) CaptureByMessage = nullptr;
    decltype(&ZephLibCaptureRawImageWithEventSignal) CaptureByEvent = nullptr;
};

std::string ProgramDirectory() {
    char path[4096];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0)
        return ".";
    std::string text(path, static_cast<size_t>(n));
    const auto slash = text.rfind('/');
    return slash == std::string::npos ? "." : text.substr(0, slash);
}

// The export by its plain name, as its own type.
template <class Function>
void Bind(void* library, const char* name, Function& function) {
    function = reinterpret_cast<Function>(dlsym(library, name));
}

void Usage(FILE* out) {
    std::fprintf(out,
                 "usage: zephcapture [--out FILE] [--event] [--scale] [--library PATH]\n"
                 "                   [--ui console|qt|none]\n"
                 "Takes one raw exposure through the capture library and writes it as a 16-bit\n"
                 "grayscale PNG. The library reads ZephIF.ini from the current directory,\n"
                 "which must name the unit (Sensor-IP).\n"
                 "  --out FILE      PNG to write (default %s)\n"
                 "  --event         ask for the result by event instead of a window message\n"
                 "  --scale         stretch the 12-bit pixels to the full 16 bits (default:\n"
                 "                  values as delivered, 0-4095, marked as 12 significant bits)\n"
                 "  --library PATH  the library to load (default %s, found on the library path)\n"
                 "  --ui KIND       the library's status window and message boxes: console\n"
                 "                  (default), qt (a window; needs a display) or none\n"
                 "  --help          this text\n",
                 kDefaultOutput, kDefaultLibrary);
}

// Every code an export or a result record can carry, in words.
const char* CodeInWords(LONG code) {
    switch (code) {
        case ZEPHLIB_OK:  // also ZEPHLIB_STATUS_DELIVERED
            return "done";
        case ZEPHLIB_RECEIVING_IMAGE:
            return "refused: an image is being received";
        case ZEPHLIB_NO_START_EVENT:
            return "the start event could not be created";
        case ZEPHLIB_NO_ANSWER:  // also ZEPHLIB_STATUS_REFUSED
            return "no answer, no connected session, or the unit refused the capture";
        case ZEPHLIB_STATUS_CANCELLED:
            return "cancelled";
        case ZEPHLIB_STATUS_CONNECTION_FAILED:  // also timed out and occupied
            return "connection failed, timed out or the unit is occupied";
        case ZEPHLIB_STATUS_NO_SESSION:
            return "the session could not be opened (settings declined?)";
        case ZEPHLIB_INVALID_ARGUMENT:
            return "invalid argument or unsupported image kind";
        case ZEPHLIB_STATUS_SENSOR_FAULT:
            return "the unit reported a sensor fault";
        default:
            return "unknown code";
    }
}

void Report(const char* step, LONG code) {
    std::printf("%-32s -> %ld (%s)\n", step, static_cast<long>(code), CodeInWords(code));
}

bool ParseOptions(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            Usage(stdout);
            std::exit(0);
        } else if (arg == "--event") {
            options.byEvent = true;
        } else if (arg == "--scale") {
            options.scale = true;
        } else if ((arg == "--out" || arg == "--library") && i + 1 < argc) {
            (arg == "--out" ? options.output : options.library) = argv[++i];
        } else if (arg == "--ui" && i + 1 < argc) {
            options.ui = argv[++i];
            if (options.ui != "console" && options.ui != "qt" && options.ui != "none") {
                std::fprintf(stderr, "zephcapture: --ui takes console, qt or none\n");
                return false;
            }
        } else {
            std::fprintf(stderr, "zephcapture: unknown or incomplete option '%s'\n", arg.c_str());
            Usage(stderr);
            return false;
        }
    }
    return true;
}

bool WritePng(const std::string& path, const CaptureResult& result, const uint16_t* pixels,
              bool scale) {
    FILE* file = std::fopen(path.c_str(), "wb");
    if (!file)
        return false;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    if (!info || setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        std::fclose(file);
        return false;
    }
    png_init_io(png, file);
    png_set_IHDR(png, info, result.width, result.height, 16, PNG_COLOR_TYPE_GRAY,
                 PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    if (!scale) {
        png_color_8 significant{};
        significant.gray = kPixelBits;
        png_set_sBIT(png, info, &significant);
    }
    png_write_info(png, info);
    std::vector<png_byte> row(static_cast<size_t>(result.width) * 2);
    for (DWORD y = 0; y < result.height; ++y) {
        for (DWORD x = 0; x < result.width; ++x) {
            uint16_t v = pixels[static_cast<size_t>(y) * result.width + x];
            if (scale)
                v = static_cast<uint16_t>(v << 4 | v >> 8);  // 4095 becomes 65535
            row[2 * x] = static_cast<png_byte>(v >> 8);      // PNG samples are big-endian
            row[2 * x + 1] = static_cast<png_byte>(v & 0xFF);
        }
        png_write_row(png, row.data());
    }
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    return std::fclose(file) == 0;
}

// Waits for the library's message to `window`; its second parameter is the result's handle.
HGLOBAL WaitForResultMessage(HWND window) {
    const DWORD start = GetTickCount();
    MSG msg;
    while (GetTickCount() - start < kResultWaitMs) {
        while (PeekMessageA(&msg, window, 0, 0, PM_REMOVE)) {
            if (msg.message == kResultMessage)
                return reinterpret_cast<HGLOBAL>(msg.lParam);
        }
        Sleep(kQueuePollMs);
    }
    return nullptr;
}

// Reports the record, writes the picture; returns whether an image was written.
bool SaveResult(HGLOBAL record, const Options& options) {
    auto* result = static_cast<CaptureResult*>(GlobalLock(record));
    if (!result) {
        std::printf("GlobalLock(result)               -> failed (error %lu)\n",
                    static_cast<unsigned long>(GetLastError()));
        return false;
    }
    Report("result record status", result->status);
    bool written = false;
    if (result->status == ZEPHLIB_STATUS_DELIVERED && result->pixels) {
        std::printf(
            "result record                    -> %lu x %lu pixels, %lu bits, %lu bytes, "
            "cookie %s\n",
            static_cast<unsigned long>(result->width), static_cast<unsigned long>(result->height),
            static_cast<unsigned long>(result->bitsPerPixel),
            static_cast<unsigned long>(result->pixelBytes),
            result->cookie == kCookie ? "ours" : "foreign");
        auto pixelBlock = reinterpret_cast<HGLOBAL>(static_cast<UINT_PTR>(result->pixels));
        const auto* pixels = static_cast<const uint16_t*>(GlobalLock(pixelBlock));
        const size_t needed = static_cast<size_t>(result->width) * result->height * 2;
        if (!pixels || GlobalSize(pixelBlock) < needed) {
            std::printf("GlobalLock(pixels)               -> failed\n");
        } else if (!WritePng(options.output, *result, pixels, options.scale)) {
            std::printf("writing %s -> failed\n", options.output.c_str());
        } else {
            written = true;
        }
        if (pixels)
            GlobalUnlock(pixelBlock);
        if (written) {
            const size_t bytes = [&] {
                FILE* f = std::fopen(options.output.c_str(), "rb");
                if (!f)
                    return size_t{0};
                std::fseek(f, 0, SEEK_END);
                const long n = std::ftell(f);
                std::fclose(f);
                return n > 0 ? static_cast<size_t>(n) : size_t{0};
            }();
            std::printf(
                "PNG written                      -> %s (%lu x %lu, 16-bit gray%s, %zu "
                "bytes)\n",
                options.output.c_str(), static_cast<unsigned long>(result->width),
                static_cast<unsigned long>(result->height),
                options.scale ? ", scaled" : ", 12 significant bits", bytes);
        }
    } else {
        std::printf("result record                    -> no image in this result\n");
    }
    GlobalUnlock(record);
    return written;
}

// Frees the pixel block (first: its handle lives in the record) and the record.
void FreeResult(HGLOBAL record) {
    HGLOBAL pixelBlock = nullptr;
    if (auto* result = static_cast<CaptureResult*>(GlobalLock(record))) {
        pixelBlock = reinterpret_cast<HGLOBAL>(static_cast<UINT_PTR>(result->pixels));
        GlobalUnlock(record);
    }
    if (pixelBlock)
        std::printf("GlobalFree(pixels)               -> %s\n",
                    GlobalFree(pixelBlock) ? "failed" : "freed");
    std::printf("GlobalFree(result)               -> %s\n",
                GlobalFree(record) ? "failed" : "freed");
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!ParseOptions(argc, argv, options))
        return kExitUsage;
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    if (!options.ui.empty())
        setenv("WINAPI_UI", options.ui.c_str(), 1);

    // Without a unit address of its own the library would fall back to the factory address of a
    // real unit; this program only ever talks to the unit its settings name.
    char sensorIp[256] = {};
    GetPrivateProfileStringA("VANTA", "Sensor-IP", "", sensorIp, sizeof sensorIp, kSettingsPath);
    if (!sensorIp[0]) {
        std::printf("%s -> missing, or without Sensor-IP: write one naming your unit first\n",
                    kSettingsPath);
        return kExitUsage;
    }
    std::printf("%s -> unit %s\n", kSettingsPath, sensorIp);

    // The library reads its settings while it loads.
    std::string loadedFrom = options.library;
    void* library = dlopen(options.library.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!library && options.library == kDefaultLibrary) {
        // Where the build and the installation put it: beside this program's own libraries.
        loadedFrom = ProgramDirectory() + "/../lib/" + kDefaultLibrary;
        library = dlopen(loadedFrom.c_str(), RTLD_NOW | RTLD_LOCAL);
    }
    if (!library) {
        std::printf("load %s -> failed (%s)\n", options.library.c_str(), dlerror());
        return kExitUsage;
    }
    std::printf("load %s -> loaded\n", loadedFrom.c_str());
    Exports lib;
    Bind(library, "ZephLibStartSession", lib.StartSession);
    Bind(library, "ZephLibEndSession", lib.EndSession);
    Bind(library, "ZephLibCaptureRawImageWithPostMessage", lib.CaptureByMessage);
    Bind(library, "ZephLibCaptureRawImageWithEventSignal", lib.CaptureByEvent);
    if (!lib.StartSession || !lib.EndSession || !lib.CaptureByMessage || !lib.CaptureByEvent) {
        std::printf("look up exports                  -> an export is missing\n");
        dlclose(library);
        return kExitUsage;
    }

    WNDCLASSA wc{};
    wc.lpfnWndProc = DefWindowProcA;
    wc.lpszClassName = kWindowClass;
    RegisterClassA(&wc);
    HWND window = CreateWindowExA(0, kWindowClass, "zephcapture", 0, 0, 0, 0, 0, HWND_MESSAGE,
                                  nullptr, nullptr, nullptr);
    std::printf("CreateWindowEx(HWND_MESSAGE)     -> %s\n", window ? "created" : "failed");
    if (!window) {
        dlclose(library);
        return kExitUsage;
    }

    int exitCode = kExitNoImage;
    const LONG started = lib.StartSession();
    Report("ZephLibStartSession", started);
    if (started == ZEPHLIB_OK) {
        if (options.byEvent) {
            HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
            HGLOBAL record = nullptr;
            const LONG asked = lib.CaptureByEvent(1, event, &record, kCookie);
            Report("ZephLibCaptureRawImageWithEventSignal", asked);
            if (asked == ZEPHLIB_OK) {
                const DWORD waited = WaitForSingleObject(event, kResultWaitMs);
                std::printf("WaitForSingleObject(event)       -> %s\n",
                            waited == WAIT_OBJECT_0 ? "signalled" : "not signalled");
                // The library keeps this record and frees it with the session.
                if (waited == WAIT_OBJECT_0 && record && SaveResult(record, options))
                    exitCode = kExitWritten;
            }
            CloseHandle(event);
        } else {
            const LONG asked = lib.CaptureByMessage(1, window, kResultMessage, kCookie);
            Report("ZephLibCaptureRawImageWithPostMessage", asked);
            if (asked == ZEPHLIB_OK) {
                HGLOBAL record = WaitForResultMessage(window);
                std::printf("result message                   -> %s\n",
                            record ? "received" : "not received in time");
                if (record) {
                    if (SaveResult(record, options))
                        exitCode = kExitWritten;
                    FreeResult(record);
                }
            }
        }
    }
    // Also after a failed start: the library keeps a worker until the session is ended.
    Report("ZephLibEndSession", lib.EndSession());
    DestroyWindow(window);
    dlclose(library);
    std::printf("unload library                   -> done\n");
    return exitCode;
}
