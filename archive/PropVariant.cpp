#include "archive/PropVariant.h"

#include "shell/Exceptions.h"
#include "shell/Strings.h"

#include <oleauto.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>

namespace kv {
namespace {

std::wstring DecimalSeparator()
{
    wchar_t buffer[8] = {};
    if (GetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_SDECIMAL, buffer, 8) <= 1)
        return L".";
    return buffer;
}

// Fixed notation for decimal exponents -4 to 14, scientific beyond, as "%.15g" chooses; the
// exponent is written without "+" and leading zeros ("1E20", "1.5E-7").
std::wstring FormatFloatGeneral(double value)
{
    if (std::isnan(value))
        return L"NAN";
    if (std::isinf(value))
        return value < 0 ? L"-INF" : L"INF";
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.15g", value);
    std::wstring result;
    for (const char* c = buffer; *c != '\0'; ++c) {
        if (*c == 'e') {
            result += L'E';
            result += std::to_wstring(std::atoi(c + 1));
            break;
        }
        if (*c == '.')
            result += DecimalSeparator();
        else
            result += static_cast<wchar_t>(*c);
    }
    return result;
}

std::wstring FormatSystemDate(const SYSTEMTIME& time)
{
    wchar_t buffer[128];
    const int length =
        GetDateFormatW(LOCALE_USER_DEFAULT, DATE_SHORTDATE, &time, nullptr, buffer, 128);
    if (length <= 0)
        RaiseLastOSError();
    return buffer;
}

std::wstring FormatSystemTime(const SYSTEMTIME& time)
{
    wchar_t buffer[128];
    const int length = GetTimeFormatW(LOCALE_USER_DEFAULT, 0, &time, nullptr, buffer, 128);
    if (length <= 0)
        RaiseLastOSError();
    return buffer;
}

std::wstring FileTimeText(const FILETIME& fileTime)
{
    SYSTEMTIME time;
    if (!FileTimeToSystemTime(&fileTime, &time))
        RaiseLastOSError();
    std::wstring text = FormatSystemDate(time);
    if (time.wHour != 0 || time.wMinute != 0 || time.wSecond != 0 || time.wMilliseconds != 0)
        text += L" " + FormatSystemTime(time);
    return text;
}

template <typename T>
std::wstring Decimal(T value)
{
    return std::to_wstring(value);
}

} // namespace

HRESULT PropVariantToString(const PROPVARIANT& value, std::wstring& text)
{
    text.clear();
    switch (value.vt) {
    case VT_EMPTY:
    case VT_NULL:
        break;
    case VT_I2:
        text = Decimal(value.iVal);
        break;
    case VT_I4:
        text = Decimal(value.lVal);
        break;
    case VT_R4:
        text = FormatFloatGeneral(value.fltVal);
        break;
    case VT_R8:
        text = FormatFloatGeneral(value.dblVal);
        break;
    case VT_CY:
        text = FormatFloatGeneral(static_cast<double>(value.cyVal.int64) / 10000.0);
        break;
    case VT_DATE: {
        SYSTEMTIME time;
        if (!VariantTimeToSystemTime(value.date, &time))
            return E_INVALIDARG;
        text = FormatSystemDate(time);
        break;
    }
    case VT_BSTR:
        if (value.bstrVal != nullptr)
            text = value.bstrVal;  // up to the first zero, whatever the BSTR's length says
        break;
    case VT_ERROR:
        text = Decimal(static_cast<int32_t>(value.scode));
        break;
    case VT_BOOL:
        text = value.boolVal != 0 ? L"True" : L"False";
        break;
    case VT_I1:
        text = Decimal(static_cast<int>(static_cast<signed char>(value.cVal)));
        break;
    case VT_UI1:
        text = Decimal(static_cast<unsigned>(value.bVal));
        break;
    case VT_UI2:
        text = Decimal(static_cast<unsigned>(value.uiVal));
        break;
    case VT_UI4:
        text = Decimal(static_cast<uint32_t>(value.ulVal));
        break;
    case VT_I8:
        text = Decimal(static_cast<long long>(value.hVal.QuadPart));
        break;
    case VT_UI8:
        text = Decimal(static_cast<unsigned long long>(value.uhVal.QuadPart));
        break;
    case VT_LPSTR:
        if (value.pszVal != nullptr)
            text = AnsiToWide(value.pszVal);
        break;
    case VT_LPWSTR:
        if (value.pwszVal != nullptr)
            text = value.pwszVal;
        break;
    case VT_FILETIME:
        text = FileTimeText(value.filetime);
        break;
    case VT_CLSID:
        if (value.puuid != nullptr) {
            wchar_t buffer[40];
            StringFromGUID2(*value.puuid, buffer, 40);
            text = buffer;
        }
        break;
    default:
        return E_INVALIDARG;
    }
    return S_OK;
}

HRESULT ClearPropVariant(PROPVARIANT& value) noexcept
{
    return PropVariantClear(&value);
}

} // namespace kv
