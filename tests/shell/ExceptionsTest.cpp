#include "shell/Exceptions.h"

#include <gtest/gtest.h>

#include <new>
#include <stdexcept>

using namespace kv;

namespace {

template <typename E>
HRESULT MapOf(E error)
{
    return ExceptionToHResult(std::make_exception_ptr(error));
}

} // namespace

TEST(ExceptionToHResult, MapsEveryKindInOrder)
{
    EXPECT_EQ(MapOf(EAbort()), static_cast<HRESULT>(0x800704C7));
    EXPECT_EQ(MapOf(EOleSysError(E_NOTIMPL)), E_NOTIMPL);
    EXPECT_EQ(MapOf(EAccessDenied()), E_ACCESSDENIED);
    EXPECT_EQ(MapOf(EOleSysErrorEx(L"x", static_cast<HRESULT>(0x80040154))),
              static_cast<HRESULT>(0x80040154));
    EXPECT_EQ(MapOf(EOleSysErrorEx(L"S_FALSE", S_FALSE)), S_FALSE);
    EXPECT_EQ(MapOf(EOutOfMemory()), E_OUTOFMEMORY);
    EXPECT_EQ(MapOf(std::bad_alloc()), E_OUTOFMEMORY);
    EXPECT_EQ(MapOf(EOSError(0)), S_OK);
    EXPECT_EQ(MapOf(EOSError(5)), static_cast<HRESULT>(0x80070005));
    // Only the low 16 bits of the code survive.
    EXPECT_EQ(MapOf(EOSError(0x12345)), static_cast<HRESULT>(0x80072345));
    EXPECT_EQ(MapOf(EArgumentException(L"bad")), E_INVALIDARG);
    EXPECT_EQ(MapOf(EInvalidPointer(L"nil")), E_POINTER);
    EXPECT_EQ(MapOf(EUninitializedObject(L"Stream is nil")), static_cast<HRESULT>(0x80040007));
    EXPECT_EQ(MapOf(Exception(L"general")), E_UNEXPECTED);
    EXPECT_EQ(MapOf(std::runtime_error("other")), E_UNEXPECTED);
    EXPECT_EQ(MapOf(42), E_UNEXPECTED);
}

TEST(ExceptionToHResult, WorksInsideCatchBlock)
{
    HRESULT hr = S_OK;
    try {
        throw EOSError(ERROR_FILE_NOT_FOUND);
    } catch (...) {
        hr = ExceptionToHResult();
    }
    EXPECT_EQ(hr, static_cast<HRESULT>(0x80070002));
}

TEST(ExceptionToHResult, NoExceptionAtAllIsUnexpectedNotACrash)
{
    // Outside a catch block, or with a failure slot never filled: both functions are used at
    // COM boundaries and on error pages and must not rethrow an empty pointer.
    EXPECT_EQ(ExceptionToHResult(std::exception_ptr()), E_UNEXPECTED);
    EXPECT_EQ(ExceptionToHResult(), E_UNEXPECTED);
    EXPECT_EQ(ExceptionMessage(std::exception_ptr()), L"Unknown error");
}

TEST(ExceptionMessages, CarryCodesAndSystemText)
{
    const EOSError os(ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(os.ErrorCode(), 2u);
    EXPECT_EQ(os.Message().rfind(L"System Error.  Code: 2.\r\n", 0), 0u) << os.what();
    EXPECT_GT(os.Message().size(), std::wstring(L"System Error.  Code: 2.\r\n").size());

    // A code the system has no text for falls back to the hexadecimal form.
    const EOleSysError unknown(static_cast<HRESULT>(0x8ABC1234));
    EXPECT_EQ(unknown.Message(), L"OLE error 8abc1234");
    EXPECT_STREQ(unknown.what(), "OLE error 8abc1234");

    EXPECT_EQ(EAbort().Message(), L"");
    EXPECT_EQ(EOleSysError(L"given", E_FAIL).Message(), L"given");
}

TEST(ExceptionMessages, ExtraObjectLivesWithTheException)
{
    struct Probe : IUnknown {
        LONG refs = 1;
        HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** out) override
        {
            *out = nullptr;
            return E_NOINTERFACE;
        }
        ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
        ULONG STDMETHODCALLTYPE Release() override { return --refs; }
    } probe;
    {
        EOleSysErrorEx error(L"with extra", E_FAIL, 0, &probe);
        EXPECT_EQ(probe.refs, 2);
        EOleSysErrorEx copy = error;
        EXPECT_EQ(probe.refs, 3);
        EXPECT_EQ(copy.Extra(), &probe);
    }
    EXPECT_EQ(probe.refs, 1);
}
