// Property values as text, and their release, tag by tag.
#include "archive/PropVariant.h"
#include "shell/Exceptions.h"
#include "shell/Strings.h"

#include <gtest/gtest.h>

#include <oleauto.h>

#include <cstring>
#include <cwchar>
#include <functional>
#include <initializer_list>
#include <limits>

using namespace kv;

namespace {

std::wstring Separator()
{
    wchar_t buffer[8] = {};
    GetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_SDECIMAL, buffer, 8);
    return buffer;
}

std::wstring DateText(const SYSTEMTIME& time)
{
    wchar_t buffer[128];
    GetDateFormatW(LOCALE_USER_DEFAULT, DATE_SHORTDATE, &time, nullptr, buffer, 128);
    return buffer;
}

std::wstring TimeText(const SYSTEMTIME& time)
{
    wchar_t buffer[128];
    GetTimeFormatW(LOCALE_USER_DEFAULT, 0, &time, nullptr, buffer, 128);
    return buffer;
}

PROPVARIANT Tagged(VARTYPE vt, const std::function<void(PROPVARIANT&)>& fill = {})
{
    PROPVARIANT value;
    std::memset(&value, 0, sizeof value);
    value.vt = vt;
    if (fill)
        fill(value);
    return value;
}

FILETIME FileTimeOf(WORD year, WORD month, WORD day, WORD hour, WORD minute, WORD second)
{
    SYSTEMTIME time{};
    time.wYear = year;
    time.wMonth = month;
    time.wDay = day;
    time.wHour = hour;
    time.wMinute = minute;
    time.wSecond = second;
    FILETIME fileTime{};
    SystemTimeToFileTime(&time, &fileTime);
    return fileTime;
}

} // namespace

TEST(PropVariantToString, EveryListedTag)
{
    static const wchar_t pathWithTail[] = L"page\\index.html\0tail";
    static char ansi[] = "ansi text";
    static wchar_t wide[] = L"wide text";
    static GUID zip = {0x23170F69, 0x40C1, 0x278A, {0x10, 0x00, 0x00, 0x01, 0x10, 0x01, 0x00, 0x00}};
    BSTR bstr = SysAllocStringLen(pathWithTail, 20);
    const std::wstring sep = Separator();

    SYSTEMTIME noon{};
    noon.wYear = 2024;
    noon.wMonth = 1;
    noon.wDay = 2;
    noon.wHour = 13;
    noon.wMinute = 14;
    noon.wSecond = 15;
    SYSTEMTIME midnight = noon;
    midnight.wHour = midnight.wMinute = midnight.wSecond = 0;
    double variantNoon = 0;
    SystemTimeToVariantTime(&noon, &variantNoon);

    const struct {
        const char* what;
        PROPVARIANT value;
        std::wstring text;
    } cases[] = {
        {"empty", Tagged(VT_EMPTY), L""},
        {"null", Tagged(VT_NULL), L""},
        {"i2", Tagged(VT_I2, [](auto& v) { v.iVal = -32768; }), L"-32768"},
        {"i4", Tagged(VT_I4, [](auto& v) { v.lVal = -123456; }), L"-123456"},
        {"r4", Tagged(VT_R4, [](auto& v) { v.fltVal = 0.5f; }), L"0" + sep + L"5"},
        {"r8", Tagged(VT_R8, [](auto& v) { v.dblVal = -1234.5; }), L"-1234" + sep + L"5"},
        {"r8 large", Tagged(VT_R8, [](auto& v) { v.dblVal = 1e20; }), L"1E20"},
        {"r8 small", Tagged(VT_R8, [](auto& v) { v.dblVal = 2.5e-7; }), L"2" + sep + L"5E-7"},
        {"r8 digits", Tagged(VT_R8, [](auto& v) { v.dblVal = 1.0 / 3; }),
         L"0" + sep + L"333333333333333"},
        {"cy", Tagged(VT_CY, [](auto& v) { v.cyVal.int64 = 123456; }), L"12" + sep + L"3456"},
        {"date", Tagged(VT_DATE, [&](auto& v) { v.date = variantNoon; }), DateText(noon)},
        {"bstr", Tagged(VT_BSTR, [&](auto& v) { v.bstrVal = bstr; }), L"page\\index.html"},
        {"null bstr", Tagged(VT_BSTR), L""},
        {"error", Tagged(VT_ERROR, [](auto& v) { v.scode = E_FAIL; }), L"-2147467259"},
        {"true", Tagged(VT_BOOL, [](auto& v) { v.boolVal = VARIANT_TRUE; }), L"True"},
        {"odd true", Tagged(VT_BOOL, [](auto& v) { v.boolVal = 2; }), L"True"},
        {"false", Tagged(VT_BOOL), L"False"},
        {"i1", Tagged(VT_I1, [](auto& v) { v.cVal = static_cast<CHAR>(-7); }), L"-7"},
        {"ui1", Tagged(VT_UI1, [](auto& v) { v.bVal = 200; }), L"200"},
        {"ui2", Tagged(VT_UI2, [](auto& v) { v.uiVal = 65535; }), L"65535"},
        {"ui4", Tagged(VT_UI4, [](auto& v) { v.ulVal = 4294967295u; }), L"4294967295"},
        {"i8", Tagged(VT_I8, [](auto& v) { v.hVal.QuadPart = std::numeric_limits<LONGLONG>::min(); }),
         L"-9223372036854775808"},
        {"ui8", Tagged(VT_UI8, [](auto& v) { v.uhVal.QuadPart = ~0ull; }), L"18446744073709551615"},
        {"lpstr", Tagged(VT_LPSTR, [](auto& v) { v.pszVal = ansi; }), L"ansi text"},
        {"lpwstr", Tagged(VT_LPWSTR, [](auto& v) { v.pwszVal = wide; }), L"wide text"},
        // File times are shown as stored, without a time-zone shift; midnight drops the time.
        {"filetime", Tagged(VT_FILETIME, [](auto& v) { v.filetime = FileTimeOf(2024, 1, 2, 13, 14, 15); }),
         DateText(noon) + L" " + TimeText(noon)},
        {"filetime midnight", Tagged(VT_FILETIME, [](auto& v) { v.filetime = FileTimeOf(2024, 1, 2, 0, 0, 0); }),
         DateText(midnight)},
        {"clsid", Tagged(VT_CLSID, [](auto& v) { v.puuid = &zip; }),
         L"{23170F69-40C1-278A-1000-000110010000}"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::wstring text = L"previous";
        EXPECT_EQ(PropVariantToString(c.value, text), S_OK);
        EXPECT_EQ(text, c.text) << WideToUtf8(text);
    }
    SysFreeString(bstr);
}

TEST(PropVariantToString, UnknownTagsAndUnconvertibleValues)
{
    for (const VARTYPE vt : std::initializer_list<VARTYPE>{VT_ARRAY | VT_BSTR, VT_BYREF | VT_I4, VT_VARIANT,
                                                           VT_BLOB, VT_VECTOR | VT_UI1, VT_DECIMAL}) {
        SCOPED_TRACE(vt);
        std::wstring text = L"previous";
        EXPECT_EQ(PropVariantToString(Tagged(vt), text), E_INVALIDARG);
        EXPECT_EQ(text, L"");
    }
    std::wstring text;
    EXPECT_EQ(PropVariantToString(Tagged(VT_DATE, [](auto& v) { v.date = 1e300; }), text), E_INVALIDARG);
    // A file time beyond what the platform converts is the OS error.
    EXPECT_THROW(PropVariantToString(Tagged(VT_FILETIME, [](auto& v) {
                     v.filetime.dwHighDateTime = 0x80000000u;
                 }), text),
                 EOSError);
}

TEST(ClearPropVariant, FreesWhatTheValueOwns)
{
    for (const VARTYPE vt : std::initializer_list<VARTYPE>{VT_EMPTY, VT_NULL, VT_I4, VT_R8, VT_CY, VT_DATE,
                                                           VT_BOOL, VT_UI8, VT_FILETIME}) {
        SCOPED_TRACE(vt);
        PROPVARIANT value = Tagged(vt, [](auto& v) { v.uhVal.QuadPart = 42; });
        EXPECT_EQ(ClearPropVariant(value), S_OK);
        EXPECT_EQ(value.vt, VT_EMPTY);
    }

    // Strings of both allocators are freed and the values left empty.
    PROPVARIANT bstr = Tagged(VT_BSTR, [](auto& v) { v.bstrVal = SysAllocString(L"freed"); });
    EXPECT_EQ(ClearPropVariant(bstr), S_OK);
    EXPECT_EQ(bstr.vt, VT_EMPTY);
    EXPECT_EQ(bstr.bstrVal, nullptr);

    PROPVARIANT wide = Tagged(VT_LPWSTR, [](auto& v) {
        v.pwszVal = static_cast<LPWSTR>(CoTaskMemAlloc(16 * sizeof(wchar_t)));
        std::wcscpy(v.pwszVal, L"task memory");
    });
    ASSERT_NE(wide.pwszVal, nullptr);
    EXPECT_EQ(ClearPropVariant(wide), S_OK);
    EXPECT_EQ(wide.vt, VT_EMPTY);
    EXPECT_EQ(wide.pwszVal, nullptr);

    // A tag the platform does not know is a failure, never a success.
    PROPVARIANT unknown = Tagged(0x7FFF);
    EXPECT_TRUE(FAILED(ClearPropVariant(unknown)));
}
