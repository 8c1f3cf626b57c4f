/* Module handles of loaded libraries and the typed, numbered resources a module carries. */
#pragma once

#include "windef.h"
#include "winerror.h"

typedef HANDLE HRSRC;

#define MAKEINTRESOURCEA(i) ((LPSTR)((ULONG_PTR)((WORD)(i))))
#define MAKEINTRESOURCE MAKEINTRESOURCEA
#define IS_INTRESOURCE(r) ((((ULONG_PTR)(r)) >> 16) == 0)
#define RT_STRING MAKEINTRESOURCEA(6)
#define RT_VERSION MAKEINTRESOURCEA(16)

#define GET_MODULE_HANDLE_EX_FLAG_PIN 0x00000001
#define GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT 0x00000002
#define GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS 0x00000004

/* How a shared library carries resources here: it exports
   `extern "C" const WINAPI_RESOURCE* WinapiResources(UINT* count)`; FindResourceA looks it up.
   Types and names are either text or a number (text null). */
typedef struct tagWINAPI_RESOURCE {
    const char* typeName;
    WORD typeId;
    const char* name;
    WORD nameId;
    const void* data;
    DWORD size;
} WINAPI_RESOURCE;
#define WINAPI_RESOURCE_EXPORT "WinapiResources"

#ifdef __cplusplus
extern "C" {
#endif
BOOL WINAPI GetModuleHandleExA(DWORD dwFlags, LPCSTR lpModuleName, HMODULE* phModule);
HRSRC WINAPI FindResourceA(HMODULE hModule, LPCSTR lpName, LPCSTR lpType);
HGLOBAL WINAPI LoadResource(HMODULE hModule, HRSRC hResInfo);
LPVOID WINAPI LockResource(HGLOBAL hResData);
DWORD WINAPI SizeofResource(HMODULE hModule, HRSRC hResInfo);
/* String table entry `uID` as ANSI text; with cchBufferMax 0, a read-only pointer to the entry's
   UTF-16 text goes to lpBuffer and its length is returned. 0 when the entry is missing. */
int WINAPI LoadStringA(HINSTANCE hInstance, UINT uID, LPSTR lpBuffer, int cchBufferMax);
int WINAPI LoadStringW(HINSTANCE hInstance, UINT uID, char16_t* lpBuffer, int cchBufferMax);
#ifdef __cplusplus
}
#endif
#define FindResource FindResourceA
#define LoadString LoadStringA
