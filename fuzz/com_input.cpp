// Fuzz target: what the COM layer reads from files and modules: WTLB type libraries, registry
// scripts and text-to-number variant conversions.
#include "../winapi/src/typelib_format.h"

#include <windows.h>
#include <objbase.h>
#include <oleauto.h>
#include <winapi_com.h>

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool ready = [] {
        setenv("WINAPI_REGISTRY", "/tmp/fuzz_com_input_registry.reg", 1);
        return true;
    }();
    (void)ready;
    if (size == 0)
        return 0;
    // The first byte picks the reader.
    const uint8_t* body = data + 1;
    const size_t n = size - 1;
    switch (data[0] % 3) {
        case 0:
            wtlb::Parse(body, n);
            break;
        case 1: {
            std::string script(reinterpret_cast<const char*>(body), n);
            // Removal mode: a script that reads well only deletes from a registry kept empty.
            RegistrarRunScript(script.c_str(), "/fuzz/module.so", FALSE);
            break;
        }
        default: {
            std::u16string text(reinterpret_cast<const char16_t*>(body), n / 2);
            VARIANT in, out;
            VariantInit(&in);
            VariantInit(&out);
            in.vt = VT_BSTR;
            in.bstrVal = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
            VariantChangeType(&out, &in, 0, VT_I4);
            VariantChangeType(&out, &in, 0, VT_UI1);
            VariantClear(&in);
            VariantClear(&out);
            break;
        }
    }
    return 0;
}
