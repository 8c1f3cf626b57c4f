// Typed, numbered module resources and string tables (LoadString's block layout).
#include <windows.h>

#include <cstring>
#include <string>

namespace {

typedef const WINAPI_RESOURCE* (*ResourceTableFunction)(UINT* count);

constexpr UINT kStringsPerBlock = 16;

bool Matches(LPCSTR wanted, const char* name, WORD id) {
    if (IS_INTRESOURCE(wanted))
        return !name && id == static_cast<WORD>(reinterpret_cast<ULONG_PTR>(wanted));
    if (!name)
        return wanted[0] == '#' && std::to_string(id) == wanted + 1;
    return strcasecmp(wanted, name) == 0;
}

// The entry's UTF-16 text inside its block, or null.
const char16_t* FindString(HINSTANCE module, UINT id, int& length) {
    HRSRC block = FindResourceA(module, MAKEINTRESOURCEA(id / kStringsPerBlock + 1), RT_STRING);
    if (!block)
        return nullptr;
    const auto* entry = static_cast<const WINAPI_RESOURCE*>(block);
    const auto* words = static_cast<const char16_t*>(entry->data);
    const char16_t* end = words + entry->size / sizeof(char16_t);
    for (UINT i = 0; i < kStringsPerBlock && words < end; ++i) {
        UINT len = *words++;
        if (words + len > end)
            return nullptr;
        if (i == id % kStringsPerBlock) {
            if (len == 0)
                return nullptr;
            length = static_cast<int>(len);
            return words;
        }
        words += len;
    }
    return nullptr;
}

}  // namespace

extern "C" {

HRSRC WINAPI FindResourceA(HMODULE hModule, LPCSTR lpName, LPCSTR lpType) {
    if (!lpName || !lpType) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto table = reinterpret_cast<ResourceTableFunction>(
        reinterpret_cast<void*>(GetProcAddress(hModule, WINAPI_RESOURCE_EXPORT)));
    if (!table) {
        SetLastError(hModule ? ERROR_RESOURCE_DATA_NOT_FOUND : ERROR_INVALID_HANDLE);
        return nullptr;
    }
    UINT count = 0;
    const WINAPI_RESOURCE* entries = table(&count);
    bool typeSeen = false;
    for (UINT i = 0; i < count; ++i) {
        if (!Matches(lpType, entries[i].typeName, entries[i].typeId))
            continue;
        typeSeen = true;
        if (Matches(lpName, entries[i].name, entries[i].nameId))
            return const_cast<WINAPI_RESOURCE*>(&entries[i]);
    }
    SetLastError(typeSeen ? ERROR_RESOURCE_NAME_NOT_FOUND : ERROR_RESOURCE_TYPE_NOT_FOUND);
    return nullptr;
}

HGLOBAL WINAPI LoadResource(HMODULE, HRSRC hResInfo) {
    if (!hResInfo) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return const_cast<void*>(static_cast<const WINAPI_RESOURCE*>(hResInfo)->data);
}

LPVOID WINAPI LockResource(HGLOBAL hResData) {
    return hResData;
}

DWORD WINAPI SizeofResource(HMODULE, HRSRC hResInfo) {
    if (!hResInfo) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    return static_cast<const WINAPI_RESOURCE*>(hResInfo)->size;
}

int WINAPI LoadStringW(HINSTANCE hInstance, UINT uID, char16_t* lpBuffer, int cchBufferMax) {
    if (!lpBuffer) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    int length = 0;
    const char16_t* text = FindString(hInstance, uID, length);
    if (!text) {
        if (cchBufferMax > 0)
            lpBuffer[0] = 0;
        return 0;
    }
    if (cchBufferMax == 0) {
        *reinterpret_cast<const char16_t**>(lpBuffer) = text;
        return length;
    }
    int n = length < cchBufferMax - 1 ? length : cchBufferMax - 1;
    std::memcpy(lpBuffer, text, n * sizeof(char16_t));
    lpBuffer[n] = 0;
    return n;
}

int WINAPI LoadStringA(HINSTANCE hInstance, UINT uID, LPSTR lpBuffer, int cchBufferMax) {
    if (!lpBuffer || cchBufferMax <= 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    int length = 0;
    const char16_t* text = FindString(hInstance, uID, length);
    lpBuffer[0] = '\0';
    if (!text)
        return 0;
    int bytes = WideCharToMultiByte(CP_ACP, 0, text, length, nullptr, 0, nullptr, nullptr);
    std::string ansi(bytes, '\0');
    WideCharToMultiByte(CP_ACP, 0, text, length, ansi.data(), bytes, nullptr, nullptr);
    int n = bytes < cchBufferMax - 1 ? bytes : cchBufferMax - 1;
    std::memcpy(lpBuffer, ansi.data(), n);
    lpBuffer[n] = '\0';
    return n;
}

}  // extern "C"
