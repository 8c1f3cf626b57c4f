/* GUID, IID and CLSID with the SDK's layout, compile-time parsing and comparison. */
#pragma once

#include "windef.h"

typedef struct _GUID {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
} GUID;

typedef GUID IID;
typedef GUID CLSID;
typedef GUID* LPGUID;
typedef IID* LPIID;
typedef CLSID* LPCLSID;

#ifdef __cplusplus
#define REFGUID const GUID&
#define REFIID const IID&
#define REFCLSID const CLSID&

namespace winapi_guid {
constexpr uint32_t HexDigit(char c) {
    return (c >= '0' && c <= '9')   ? static_cast<uint32_t>(c - '0')
           : (c >= 'a' && c <= 'f') ? static_cast<uint32_t>(c - 'a' + 10)
           : (c >= 'A' && c <= 'F') ? static_cast<uint32_t>(c - 'A' + 10)
                                    : throw "not a hexadecimal digit";
}
constexpr uint32_t Hex(const char* s, int digits) {
    uint32_t v = 0;
    for (int i = 0; i < digits; ++i)
        v = (v << 4) | HexDigit(s[i]);
    return v;
}
}  // namespace winapi_guid

/* "XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX" (no braces) as a GUID, at compile time. */
constexpr GUID MakeGuid(const char* s) {
    using winapi_guid::Hex;
    return GUID{Hex(s, 8),
                static_cast<uint16_t>(Hex(s + 9, 4)),
                static_cast<uint16_t>(Hex(s + 14, 4)),
                {static_cast<uint8_t>(Hex(s + 19, 2)), static_cast<uint8_t>(Hex(s + 21, 2)),
                 static_cast<uint8_t>(Hex(s + 24, 2)), static_cast<uint8_t>(Hex(s + 26, 2)),
                 static_cast<uint8_t>(Hex(s + 28, 2)), static_cast<uint8_t>(Hex(s + 30, 2)),
                 static_cast<uint8_t>(Hex(s + 32, 2)), static_cast<uint8_t>(Hex(s + 34, 2))}};
}

constexpr bool IsEqualGUID(REFGUID a, REFGUID b) {
    if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3)
        return false;
    for (int i = 0; i < 8; ++i)
        if (a.Data4[i] != b.Data4[i])
            return false;
    return true;
}
#define IsEqualIID(a, b) IsEqualGUID(a, b)
#define IsEqualCLSID(a, b) IsEqualGUID(a, b)
constexpr bool operator==(REFGUID a, REFGUID b) {
    return IsEqualGUID(a, b);
}

inline constexpr GUID GUID_NULL{};
inline constexpr IID IID_NULL{};
inline constexpr CLSID CLSID_NULL{};

/* uuidof-style lookup without compiler extensions: each interface specialises InterfaceId. */
template <class T>
struct InterfaceId;
template <class T>
constexpr const IID& uuidof() {
    return InterfaceId<T>::value;
}
#define WINAPI_INTERFACE_ID(Interface, text)         \
    struct Interface;                                \
    template <>                                      \
    struct InterfaceId<Interface> {                  \
        static constexpr IID value = MakeGuid(text); \
    };                                               \
    inline constexpr IID IID_##Interface = MakeGuid(text)
#define WINAPI_CLASS_ID(Name, text) inline constexpr CLSID CLSID_##Name = MakeGuid(text)
#define IID_PPV_ARGS(pp) uuidof<std::remove_pointer_t<decltype(pp)>>(), reinterpret_cast<void**>(pp)
#endif
