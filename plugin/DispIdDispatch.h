// IDispatch for callers that know their DISPIDs (ambient properties, event sinks): no type
// information and no names, only Invoke, which the derived class supplies with IUnknown.
#pragma once

#include <windows.h>
#include <oaidl.h>

namespace kv {

class DispIdDispatch : public IDispatch {
public:
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override
    {
        if (count == nullptr)
            return E_POINTER;
        *count = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo** typeInfo) override
    {
        if (typeInfo == nullptr)
            return E_POINTER;
        *typeInfo = nullptr;
        return DISP_E_BADINDEX;
    }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT count, LCID,
                                            DISPID* ids) override
    {
        if (ids == nullptr)
            return E_POINTER;
        for (UINT i = 0; i < count; ++i)
            ids[i] = DISPID_UNKNOWN;
        return DISP_E_UNKNOWNNAME;
    }

protected:
    DispIdDispatch() = default;
    ~DispIdDispatch() = default;
};

} // namespace kv
