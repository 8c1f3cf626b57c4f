// VARIANT handling and SAFEARRAY (one or more dimensions, fixed element types).
#include <windows.h>
#include <oleauto.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>

namespace {

// The array header sits behind a 16-byte prefix holding its element type, as FADF_HAVEVARTYPE
// arrays keep it just before the descriptor.
constexpr size_t kPrefixBytes = 16;

ULONG ElementSize(VARTYPE vt) {
    switch (vt) {
        case VT_I1:
        case VT_UI1:
            return 1;
        case VT_I2:
        case VT_UI2:
        case VT_BOOL:
            return 2;
        case VT_I4:
        case VT_UI4:
        case VT_INT:
        case VT_UINT:
        case VT_R4:
        case VT_ERROR:
            return 4;
        case VT_R8:
            return 8;
        case VT_BSTR:
            return sizeof(BSTR);
        case VT_UNKNOWN:
        case VT_DISPATCH:
            return sizeof(IUnknown*);
        case VT_VARIANT:
            return sizeof(VARIANT);
        default:
            return 0;
    }
}

USHORT FeaturesFor(VARTYPE vt) {
    switch (vt) {
        case VT_BSTR:
            return FADF_BSTR | FADF_HAVEVARTYPE;
        case VT_UNKNOWN:
            return FADF_UNKNOWN | FADF_HAVEVARTYPE;
        case VT_DISPATCH:
            return FADF_DISPATCH | FADF_HAVEVARTYPE;
        case VT_VARIANT:
            return FADF_VARIANT | FADF_HAVEVARTYPE;
        default:
            return FADF_HAVEVARTYPE;
    }
}

VARTYPE& StoredType(SAFEARRAY* psa) {
    return *reinterpret_cast<VARTYPE*>(reinterpret_cast<unsigned char*>(psa) - kPrefixBytes);
}

size_t ElementCount(const SAFEARRAY* psa) {
    size_t n = 1;
    for (USHORT d = 0; d < psa->cDims; ++d)
        n *= psa->rgsabound[d].cElements;
    return n;
}

void ClearElements(SAFEARRAY* psa) {
    size_t n = ElementCount(psa);
    VARTYPE vt = StoredType(psa);
    for (size_t i = 0; i < n; ++i) {
        char* at = static_cast<char*>(psa->pvData) + i * psa->cbElements;
        if (vt == VT_BSTR) {
            SysFreeString(*reinterpret_cast<BSTR*>(at));
        } else if (vt == VT_UNKNOWN || vt == VT_DISPATCH) {
            if (auto* p = *reinterpret_cast<IUnknown**>(at))
                p->Release();
        } else if (vt == VT_VARIANT) {
            VariantClear(reinterpret_cast<VARIANT*>(at));
        }
    }
}

bool SizeFits(size_t count, size_t element, size_t& bytes) {
    if (element != 0 && count > std::numeric_limits<size_t>::max() / element)
        return false;
    bytes = count * element;
    return bytes <= 0x7FFFFFFFu;
}

HRESULT ToLong(const VARIANT* src, LONGLONG& out) {
    switch (src->vt) {
        case VT_EMPTY:
            out = 0;
            return S_OK;
        case VT_I1:
            out = src->cVal;
            return S_OK;
        case VT_UI1:
            out = src->bVal;
            return S_OK;
        case VT_I2:
            out = src->iVal;
            return S_OK;
        case VT_UI2:
            out = src->uiVal;
            return S_OK;
        case VT_BOOL:
            out = src->boolVal;
            return S_OK;
        case VT_I4:
        case VT_INT:
            out = src->lVal;
            return S_OK;
        case VT_UI4:
        case VT_UINT:
            out = src->ulVal;
            return S_OK;
        case VT_R4:
        case VT_R8: {
            double d = src->vt == VT_R4 ? src->fltVal : src->dblVal;
            if (!(d >= -9.2e18 && d <= 9.2e18))
                return DISP_E_OVERFLOW;
            out = static_cast<LONGLONG>(d < 0 ? d - 0.5 : d + 0.5);
            return S_OK;
        }
        case VT_BSTR: {
            std::string text;
            for (UINT i = 0; i < SysStringLen(src->bstrVal); ++i) {
                char16_t c = src->bstrVal[i];
                if (c > 0x7F)
                    return DISP_E_TYPEMISMATCH;
                text.push_back(static_cast<char>(c));
            }
            size_t b = text.find_first_not_of(" \t");
            size_t e = text.find_last_not_of(" \t");
            if (b == std::string::npos)
                return DISP_E_TYPEMISMATCH;
            text = text.substr(b, e - b + 1);
            errno = 0;
            char* end = nullptr;
            long long v = std::strtoll(text.c_str(), &end, 10);
            if (*end != '\0')
                return DISP_E_TYPEMISMATCH;
            if (errno == ERANGE)
                return DISP_E_OVERFLOW;
            out = v;
            return S_OK;
        }
        default:
            return DISP_E_TYPEMISMATCH;
    }
}

}  // namespace

extern "C" {

void WINAPI VariantInit(VARIANTARG* pvarg) {
    std::memset(pvarg, 0, sizeof *pvarg);
    pvarg->vt = VT_EMPTY;
}

HRESULT WINAPI VariantClear(VARIANTARG* pvarg) {
    if (!pvarg)
        return E_INVALIDARG;
    if (!(pvarg->vt & VT_BYREF)) {
        if (pvarg->vt & VT_ARRAY) {
            if (pvarg->parray) {
                HRESULT hr = SafeArrayDestroy(pvarg->parray);
                if (FAILED(hr))
                    return hr;
            }
        } else {
            switch (pvarg->vt) {
                case VT_BSTR:
                    SysFreeString(pvarg->bstrVal);
                    break;
                case VT_UNKNOWN:
                case VT_DISPATCH:
                    if (pvarg->punkVal)
                        pvarg->punkVal->Release();
                    break;
                default:
                    break;
            }
        }
    }
    VariantInit(pvarg);
    return S_OK;
}

HRESULT WINAPI VariantCopy(VARIANTARG* pvargDest, const VARIANTARG* pvargSrc) {
    if (!pvargDest || !pvargSrc)
        return E_INVALIDARG;
    if (pvargDest == pvargSrc)
        return S_OK;
    VARIANT copy = *pvargSrc;
    if (!(pvargSrc->vt & VT_BYREF)) {
        if (pvargSrc->vt & VT_ARRAY) {
            if (pvargSrc->parray) {
                HRESULT hr = SafeArrayCopy(pvargSrc->parray, &copy.parray);
                if (FAILED(hr))
                    return hr;
            }
        } else if (pvargSrc->vt == VT_BSTR) {
            if (pvargSrc->bstrVal) {
                copy.bstrVal = SysAllocStringByteLen(reinterpret_cast<LPCSTR>(pvargSrc->bstrVal),
                                                     SysStringByteLen(pvargSrc->bstrVal));
                if (!copy.bstrVal)
                    return E_OUTOFMEMORY;
            }
        } else if (pvargSrc->vt == VT_UNKNOWN || pvargSrc->vt == VT_DISPATCH) {
            if (copy.punkVal)
                copy.punkVal->AddRef();
        }
    }
    VariantClear(pvargDest);
    *pvargDest = copy;
    return S_OK;
}

HRESULT WINAPI VariantCopyInd(VARIANT* pvarDest, const VARIANTARG* pvargSrc) {
    if (!pvarDest || !pvargSrc)
        return E_INVALIDARG;
    if (!(pvargSrc->vt & VT_BYREF))
        return VariantCopy(pvarDest, pvargSrc);
    if (!pvargSrc->byref)
        return E_INVALIDARG;
    VARTYPE base = pvargSrc->vt & ~VT_BYREF;
    if (base == VT_VARIANT)
        return VariantCopyInd(pvarDest, pvargSrc->pvarVal);
    VARIANT value;
    VariantInit(&value);
    value.vt = base;
    if (base & VT_ARRAY) {
        value.parray = *pvargSrc->pparray;
    } else {
        ULONG size = ElementSize(base);
        if (size == 0)
            return DISP_E_BADVARTYPE;
        std::memcpy(&value.llVal, pvargSrc->byref, size);
    }
    return VariantCopy(pvarDest, &value);
}

HRESULT WINAPI VariantChangeType(VARIANTARG* pvargDest, const VARIANTARG* pvarSrc, USHORT,
                                 VARTYPE vt) {
    if (!pvargDest || !pvarSrc)
        return E_INVALIDARG;
    VARIANT src;
    VariantInit(&src);
    HRESULT hr = VariantCopyInd(&src, pvarSrc);
    if (FAILED(hr))
        return hr;
    VARIANT result;
    VariantInit(&result);
    if (src.vt == vt) {
        result = src;
        VariantInit(&src);
    } else {
        LONGLONG v = 0;
        switch (vt) {
            case VT_I4:
            case VT_I2:
            case VT_UI1:
            case VT_BOOL:
                hr = ToLong(&src, v);
                if (SUCCEEDED(hr)) {
                    result.vt = vt;
                    if (vt == VT_I4 && (v < INT32_MIN || v > INT32_MAX))
                        hr = DISP_E_OVERFLOW;
                    else if (vt == VT_I2 && (v < INT16_MIN || v > INT16_MAX))
                        hr = DISP_E_OVERFLOW;
                    else if (vt == VT_UI1 && (v < 0 || v > 255))
                        hr = DISP_E_OVERFLOW;
                    if (vt == VT_I4)
                        result.lVal = static_cast<LONG>(v);
                    else if (vt == VT_I2)
                        result.iVal = static_cast<SHORT>(v);
                    else if (vt == VT_UI1)
                        result.bVal = static_cast<BYTE>(v);
                    else
                        result.boolVal = v ? VARIANT_TRUE : VARIANT_FALSE;
                }
                break;
            case VT_R8:
                if (src.vt == VT_R4) {
                    result.vt = VT_R8;
                    result.dblVal = src.fltVal;
                } else {
                    hr = ToLong(&src, v);
                    result.vt = VT_R8;
                    result.dblVal = static_cast<double>(v);
                }
                break;
            case VT_BSTR: {
                if (src.vt == VT_EMPTY) {
                    result.vt = VT_BSTR;
                    result.bstrVal = SysAllocStringLen(u"", 0);
                    break;
                }
                hr = ToLong(&src, v);
                if (SUCCEEDED(hr)) {
                    std::string text =
                        src.vt == VT_BOOL ? (v ? "True" : "False") : std::to_string(v);
                    std::u16string wide(text.begin(), text.end());
                    result.vt = VT_BSTR;
                    result.bstrVal = SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
                    if (!result.bstrVal)
                        hr = E_OUTOFMEMORY;
                }
                break;
            }
            case VT_VARIANT:
                result = src;
                VariantInit(&src);
                break;
            case VT_DISPATCH:
            case VT_UNKNOWN:
                if ((src.vt == VT_DISPATCH || src.vt == VT_UNKNOWN) && src.punkVal) {
                    void* p = nullptr;
                    hr = src.punkVal->QueryInterface(
                        vt == VT_DISPATCH ? IID_IDispatch : IID_IUnknown, &p);
                    result.vt = vt;
                    result.punkVal = static_cast<IUnknown*>(p);
                } else if (src.vt == VT_EMPTY || src.vt == VT_DISPATCH || src.vt == VT_UNKNOWN) {
                    result.vt = vt;
                    result.punkVal = nullptr;
                } else {
                    hr = DISP_E_TYPEMISMATCH;
                }
                break;
            default:
                hr = DISP_E_TYPEMISMATCH;
                break;
        }
    }
    VariantClear(&src);
    if (FAILED(hr)) {
        VariantClear(&result);
        return hr;
    }
    VariantClear(pvargDest);
    *pvargDest = result;
    return S_OK;
}

SAFEARRAY* WINAPI SafeArrayCreate(VARTYPE vt, UINT cDims, SAFEARRAYBOUND* rgsabound) {
    ULONG element = ElementSize(vt);
    if (cDims == 0 || cDims > 64 || !rgsabound || element == 0)
        return nullptr;
    size_t count = 1;
    for (UINT d = 0; d < cDims; ++d) {
        if (rgsabound[d].cElements != 0 &&
            count > std::numeric_limits<size_t>::max() / rgsabound[d].cElements)
            return nullptr;
        count *= rgsabound[d].cElements;
    }
    size_t dataBytes;
    if (!SizeFits(count, element, dataBytes))
        return nullptr;
    size_t headerBytes = kPrefixBytes + sizeof(SAFEARRAY) + (cDims - 1) * sizeof(SAFEARRAYBOUND);
    auto* block = static_cast<unsigned char*>(std::calloc(1, headerBytes));
    if (!block)
        return nullptr;
    auto* psa = reinterpret_cast<SAFEARRAY*>(block + kPrefixBytes);
    StoredType(psa) = vt;
    psa->cDims = static_cast<USHORT>(cDims);
    psa->fFeatures = FeaturesFor(vt);
    psa->cbElements = element;
    // Bounds are stored in reverse order of the caller's, as the SDK does.
    for (UINT d = 0; d < cDims; ++d)
        psa->rgsabound[d] = rgsabound[cDims - 1 - d];
    psa->pvData = std::calloc(dataBytes ? dataBytes : 1, 1);
    if (!psa->pvData) {
        std::free(block);
        return nullptr;
    }
    return psa;
}

SAFEARRAY* WINAPI SafeArrayCreateVector(VARTYPE vt, LONG lLbound, ULONG cElements) {
    SAFEARRAYBOUND bound{cElements, lLbound};
    return SafeArrayCreate(vt, 1, &bound);
}

HRESULT WINAPI SafeArrayDestroy(SAFEARRAY* psa) {
    if (!psa)
        return S_OK;
    if (psa->cLocks > 0)
        return DISP_E_ARRAYISLOCKED;
    ClearElements(psa);
    std::free(psa->pvData);
    std::free(reinterpret_cast<unsigned char*>(psa) - kPrefixBytes);
    return S_OK;
}

HRESULT WINAPI SafeArrayLock(SAFEARRAY* psa) {
    if (!psa)
        return E_INVALIDARG;
    if (psa->cLocks == 0xFFFF)
        return E_UNEXPECTED;
    ++psa->cLocks;
    return S_OK;
}

HRESULT WINAPI SafeArrayUnlock(SAFEARRAY* psa) {
    if (!psa)
        return E_INVALIDARG;
    if (psa->cLocks == 0)
        return E_UNEXPECTED;
    --psa->cLocks;
    return S_OK;
}

HRESULT WINAPI SafeArrayAccessData(SAFEARRAY* psa, void** ppvData) {
    if (!psa || !ppvData)
        return E_INVALIDARG;
    HRESULT hr = SafeArrayLock(psa);
    *ppvData = SUCCEEDED(hr) ? psa->pvData : nullptr;
    return hr;
}

HRESULT WINAPI SafeArrayUnaccessData(SAFEARRAY* psa) {
    return SafeArrayUnlock(psa);
}

HRESULT WINAPI SafeArrayGetLBound(SAFEARRAY* psa, UINT nDim, LONG* plLbound) {
    if (!psa || !plLbound)
        return E_INVALIDARG;
    if (nDim == 0 || nDim > psa->cDims)
        return DISP_E_BADINDEX;
    *plLbound = psa->rgsabound[psa->cDims - nDim].lLbound;
    return S_OK;
}

HRESULT WINAPI SafeArrayGetUBound(SAFEARRAY* psa, UINT nDim, LONG* plUbound) {
    if (!psa || !plUbound)
        return E_INVALIDARG;
    if (nDim == 0 || nDim > psa->cDims)
        return DISP_E_BADINDEX;
    const SAFEARRAYBOUND& b = psa->rgsabound[psa->cDims - nDim];
    *plUbound = static_cast<LONG>(static_cast<LONGLONG>(b.lLbound) + b.cElements - 1);
    return S_OK;
}

UINT WINAPI SafeArrayGetDim(SAFEARRAY* psa) {
    return psa ? psa->cDims : 0;
}

UINT WINAPI SafeArrayGetElemsize(SAFEARRAY* psa) {
    return psa ? psa->cbElements : 0;
}

HRESULT WINAPI SafeArrayGetVartype(SAFEARRAY* psa, VARTYPE* pvt) {
    if (!psa || !pvt)
        return E_INVALIDARG;
    *pvt = StoredType(psa);
    return S_OK;
}

HRESULT WINAPI SafeArrayCopy(SAFEARRAY* psa, SAFEARRAY** ppsaOut) {
    if (!ppsaOut)
        return E_INVALIDARG;
    *ppsaOut = nullptr;
    if (!psa)
        return S_OK;
    SAFEARRAYBOUND bounds[64];
    for (USHORT d = 0; d < psa->cDims; ++d)
        bounds[d] = psa->rgsabound[psa->cDims - 1 - d];
    VARTYPE vt = StoredType(psa);
    SAFEARRAY* copy = SafeArrayCreate(vt, psa->cDims, bounds);
    if (!copy)
        return E_OUTOFMEMORY;
    size_t n = ElementCount(psa);
    for (size_t i = 0; i < n; ++i) {
        char* from = static_cast<char*>(psa->pvData) + i * psa->cbElements;
        char* to = static_cast<char*>(copy->pvData) + i * psa->cbElements;
        if (vt == VT_BSTR) {
            BSTR s = *reinterpret_cast<BSTR*>(from);
            *reinterpret_cast<BSTR*>(to) =
                s ? SysAllocStringByteLen(reinterpret_cast<LPCSTR>(s), SysStringByteLen(s))
                  : nullptr;
        } else if (vt == VT_VARIANT) {
            VariantCopy(reinterpret_cast<VARIANT*>(to), reinterpret_cast<VARIANT*>(from));
        } else {
            std::memcpy(to, from, psa->cbElements);
            if ((vt == VT_UNKNOWN || vt == VT_DISPATCH) && *reinterpret_cast<IUnknown**>(to))
                (*reinterpret_cast<IUnknown**>(to))->AddRef();
        }
    }
    *ppsaOut = copy;
    return S_OK;
}

}  // extern "C"
