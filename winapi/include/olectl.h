/* Self-registration entry points of in-process servers and their error codes. */
#pragma once

#include "objbase.h"

typedef HRESULT(STDMETHODCALLTYPE* LPFNGETCLASSOBJECT)(REFCLSID, REFIID, LPVOID*);
typedef HRESULT(STDMETHODCALLTYPE* LPFNCANUNLOADNOW)();
typedef HRESULT(STDMETHODCALLTYPE* LPFNREGISTERSERVER)();
