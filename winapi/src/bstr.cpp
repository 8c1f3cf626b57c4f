// BSTR allocation and the ANSI (Windows-1252) and UTF-8 conversions to and from UTF-16.
#include <windows.h>
#include <oleauto.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr UINT kAnsiCodePage = 1252;

// Windows-1252 bytes 0x80..0x9F; the five bytes without a character map to the C1 controls, as
// Windows' own table does.
constexpr char16_t kCp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

char16_t AnsiToUnit(unsigned char c) {
    if (c >= 0x80 && c <= 0x9F)
        return kCp1252High[c - 0x80];
    return c;
}

// -1 when the code unit has no single byte.
int UnitToAnsi(char16_t u) {
    if (u < 0x80 || (u >= 0xA0 && u <= 0xFF))
        return u;
    for (int i = 0; i < 32; ++i)
        if (kCp1252High[i] == u)
            return 0x80 + i;
    return -1;
}

bool IsAnsi(UINT cp) {
    return cp == CP_ACP || cp == CP_OEMCP || cp == CP_THREAD_ACP || cp == kAnsiCodePage;
}

// UTF-8 to UTF-16; false on a malformed sequence (replaced by U+FFFD).
bool DecodeUtf8(const unsigned char* s, size_t n, std::u16string& out) {
    bool clean = true;
    for (size_t i = 0; i < n;) {
        unsigned c = s[i];
        unsigned cp;
        size_t len;
        if (c < 0x80) {
            cp = c;
            len = 1;
        } else if ((c & 0xE0) == 0xC0) {
            cp = c & 0x1F;
            len = 2;
        } else if ((c & 0xF0) == 0xE0) {
            cp = c & 0x0F;
            len = 3;
        } else if ((c & 0xF8) == 0xF0) {
            cp = c & 0x07;
            len = 4;
        } else {
            out.push_back(0xFFFD);
            clean = false;
            ++i;
            continue;
        }
        if (i + len > n) {
            out.push_back(0xFFFD);
            clean = false;
            break;
        }
        bool ok = true;
        for (size_t k = 1; k < len; ++k) {
            if ((s[i + k] & 0xC0) != 0x80)
                ok = false;
            cp = (cp << 6) | (s[i + k] & 0x3F);
        }
        if (!ok || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF) || (len == 2 && cp < 0x80) ||
            (len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000)) {
            out.push_back(0xFFFD);
            clean = false;
            ++i;
            continue;
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
        i += len;
    }
    return clean;
}

void EncodeUtf8(const char16_t* s, size_t n, std::string& out) {
    for (size_t i = 0; i < n; ++i) {
        unsigned cp = s[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < n && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (s[i + 1] - 0xDC00);
            ++i;
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            cp = 0xFFFD;
        }
        if (cp < 0x80) {
            out.push_back(static_cast<char>(cp));
        } else if (cp < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        }
    }
}

size_t Length16(const char16_t* s) {
    size_t n = 0;
    while (s[n])
        ++n;
    return n;
}

}  // namespace

extern "C" {

UINT WINAPI GetACP(void) {
    return kAnsiCodePage;
}

int WINAPI MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCSTR lpMultiByteStr, int cbMultiByte,
                               char16_t* lpWideCharStr, int cchWideChar) {
    if (!lpMultiByteStr || cbMultiByte == 0 || cchWideChar < 0 ||
        (cchWideChar > 0 && !lpWideCharStr)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    size_t n = cbMultiByte < 0 ? std::strlen(lpMultiByteStr) + 1 : static_cast<size_t>(cbMultiByte);
    const auto* bytes = reinterpret_cast<const unsigned char*>(lpMultiByteStr);
    std::u16string wide;
    if (IsAnsi(CodePage)) {
        wide.reserve(n);
        for (size_t i = 0; i < n; ++i)
            wide.push_back(AnsiToUnit(bytes[i]));
    } else if (CodePage == CP_UTF8) {
        if (!DecodeUtf8(bytes, n, wide) && (dwFlags & MB_ERR_INVALID_CHARS)) {
            SetLastError(ERROR_NO_UNICODE_TRANSLATION);
            return 0;
        }
    } else {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (cchWideChar == 0)
        return static_cast<int>(wide.size());
    if (wide.size() > static_cast<size_t>(cchWideChar)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::memcpy(lpWideCharStr, wide.data(), wide.size() * sizeof(char16_t));
    return static_cast<int>(wide.size());
}

int WINAPI WideCharToMultiByte(UINT CodePage, DWORD, const char16_t* lpWideCharStr, int cchWideChar,
                               LPSTR lpMultiByteStr, int cbMultiByte, LPCSTR lpDefaultChar,
                               LPBOOL lpUsedDefaultChar) {
    if (!lpWideCharStr || cchWideChar == 0 || cbMultiByte < 0 ||
        (cbMultiByte > 0 && !lpMultiByteStr)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    size_t n = cchWideChar < 0 ? Length16(lpWideCharStr) + 1 : static_cast<size_t>(cchWideChar);
    std::string out;
    if (lpUsedDefaultChar)
        *lpUsedDefaultChar = FALSE;
    if (IsAnsi(CodePage)) {
        char fallback = lpDefaultChar ? *lpDefaultChar : '?';
        out.reserve(n);
        for (size_t i = 0; i < n; ++i) {
            int b = UnitToAnsi(lpWideCharStr[i]);
            if (b < 0) {
                // A surrogate pair is one character and gets one default character.
                if (lpWideCharStr[i] >= 0xD800 && lpWideCharStr[i] <= 0xDBFF && i + 1 < n &&
                    lpWideCharStr[i + 1] >= 0xDC00 && lpWideCharStr[i + 1] <= 0xDFFF)
                    ++i;
                out.push_back(fallback);
                if (lpUsedDefaultChar)
                    *lpUsedDefaultChar = TRUE;
            } else {
                out.push_back(static_cast<char>(b));
            }
        }
    } else if (CodePage == CP_UTF8) {
        if (lpDefaultChar || lpUsedDefaultChar) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return 0;
        }
        EncodeUtf8(lpWideCharStr, n, out);
    } else {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (cbMultiByte == 0)
        return static_cast<int>(out.size());
    if (out.size() > static_cast<size_t>(cbMultiByte)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::memcpy(lpMultiByteStr, out.data(), out.size());
    return static_cast<int>(out.size());
}

BSTR WINAPI SysAllocStringByteLen(LPCSTR psz, UINT len) {
    // Byte count, text, and a 16-bit terminator (two zero bytes beyond an odd count too).
    if (len > 0x7FFFFFF0u)
        return nullptr;
    auto* block = static_cast<unsigned char*>(std::malloc(sizeof(uint32_t) + len + 2));
    if (!block)
        return nullptr;
    uint32_t count = len;
    std::memcpy(block, &count, sizeof count);
    unsigned char* text = block + sizeof(uint32_t);
    if (psz)
        std::memcpy(text, psz, len);
    else
        std::memset(text, 0, len);
    text[len] = 0;
    text[len + 1] = 0;
    return reinterpret_cast<BSTR>(text);
}

BSTR WINAPI SysAllocStringLen(const OLECHAR* strIn, UINT ui) {
    if (ui > 0x3FFFFFF0u)
        return nullptr;
    return SysAllocStringByteLen(reinterpret_cast<LPCSTR>(strIn), ui * sizeof(OLECHAR));
}

BSTR WINAPI SysAllocString(const OLECHAR* psz) {
    if (!psz)
        return nullptr;
    return SysAllocStringLen(psz, static_cast<UINT>(Length16(psz)));
}

INT WINAPI SysReAllocString(BSTR* pbstr, const OLECHAR* psz) {
    if (!pbstr)
        return FALSE;
    BSTR fresh = SysAllocString(psz);
    if (psz && !fresh)
        return FALSE;
    SysFreeString(*pbstr);
    *pbstr = fresh;
    return TRUE;
}

void WINAPI SysFreeString(BSTR bstrString) {
    if (bstrString)
        std::free(reinterpret_cast<unsigned char*>(bstrString) - sizeof(uint32_t));
}

UINT WINAPI SysStringByteLen(BSTR bstr) {
    if (!bstr)
        return 0;
    uint32_t count;
    std::memcpy(&count, reinterpret_cast<unsigned char*>(bstr) - sizeof(uint32_t), sizeof count);
    return count;
}

UINT WINAPI SysStringLen(BSTR pbstr) {
    return SysStringByteLen(pbstr) / sizeof(OLECHAR);
}

}  // extern "C"
