// URL information (IInternetProtocolInfo) and header queries (IWinInet(Http)Info) of the
// protocol base: buffer checks and the platform's buffer conventions around the class's hooks.
#include "protocol/ProtocolExtension.h"

#include "protocol/ShellResponse.h"
#include "shell/Exceptions.h"
#include "shell/MemoryStream.h"
#include "shell/Strings.h"

#include <algorithm>
#include <cstring>
#include <cwchar>

namespace kv {

namespace {

// Copies a text answer into the caller's buffer: the whole answer with its terminator when it
// fits (S_OK), else the first resultSize characters without one (S_FALSE).
HRESULT CopyTextAnswer(const std::wstring& answer, LPWSTR result, DWORD resultSize,
                       DWORD* resultLength)
{
    const size_t length = answer.size();
    if (resultLength != nullptr)
        *resultLength = static_cast<DWORD>(length + 1);
    const size_t room = static_cast<size_t>(resultSize) - 1;
    const HRESULT answerResult = length > room ? S_FALSE : S_OK;
    const size_t count = std::min(length, room);
    if (count != 0) {
        // For a short buffer this fills all of it, the terminator's place included.
        const size_t copied = std::min<size_t>(count + 1, resultSize);
        std::wmemcpy(result, answer.c_str(), copied);
    }
    return answerResult;
}

// The parse-action index a hook receives; -1 for an action that is not passed on.
int ParseActionIndex(PARSEACTION action) noexcept
{
    if (action == PARSE_ESCAPE)
        return PARSE_DECODE_IS_ESCAPE - 1;
    if (action == PARSE_UNESCAPE)
        return PARSE_ENCODE_IS_UNESCAPE - 1;
    if (action >= PARSE_CANONICALIZE && action <= PARSE_SECURITY_DOMAIN)
        return static_cast<int>(action) - 1;
    return -1;
}

constexpr DWORD HttpQueryCustom = 0xFFFF;
constexpr DWORD HttpQueryStatusCode = 19;
constexpr DWORD HttpQueryStatusText = 20;
constexpr DWORD HttpQueryRawHeaders = 21;
constexpr DWORD HttpQueryRawHeadersCrlf = 22;

[[noreturn]] void RaiseBufferTooSmall(DWORD* size, DWORD needed)
{
    *size = needed;
    throw EArgumentException(L"ABufferSize too small");
}

void CopyBytes(LPVOID buffer, DWORD* size, const void* data, DWORD count)
{
    if (*size < count)
        RaiseBufferTooSmall(size, count);
    std::memcpy(buffer, data, count);
    *size = count;
}

// A text answer around a hook: the caller's buffer checked and emptied, then the hook's answer
// copied in, or INET_E_DEFAULT_ACTION when the class has no such hook or it did not answer.
template <typename Hook>
HRESULT AnswerText(LPWSTR result, DWORD resultSize, DWORD* resultLength, bool hooked, Hook&& hook)
{
    if (result == nullptr)
        return E_POINTER;
    if (resultSize == 0)
        return E_INVALIDARG;
    result[0] = L'\0';
    std::wstring answer;
    if (!hooked || !hook(answer))
        return INET_E_DEFAULT_ACTION;
    return CopyTextAnswer(answer, result, resultSize, resultLength);
}

} // namespace

HRESULT TorvShellProtocolExtension::ParseUrl(LPCWSTR url, PARSEACTION action, DWORD,
                                             LPWSTR result, DWORD resultSize,
                                             DWORD* resultLength, DWORD)
{
    return ComMethod([&] {
        const int index = ParseActionIndex(action);
        return AnswerText(result, resultSize, resultLength, Overrides(hkParseUrl) && index >= 0,
                          [&](std::wstring& answer) {
                              return DoParseUrl(url != nullptr ? url : L"", index, answer);
                          });
    });
}

HRESULT TorvShellProtocolExtension::CombineUrl(LPCWSTR baseUrl, LPCWSTR relativeUrl, DWORD flags,
                                               LPWSTR result, DWORD resultSize,
                                               DWORD* resultLength, DWORD)
{
    return ComMethod([&] {
        return AnswerText(result, resultSize, resultLength, Overrides(hkCombineUrl),
                          [&](std::wstring& answer) {
                              return DoCombineUrl(baseUrl != nullptr ? baseUrl : L"",
                                                  relativeUrl != nullptr ? relativeUrl : L"",
                                                  CombineOptionsFromFlags(flags), answer);
                          });
    });
}

HRESULT TorvShellProtocolExtension::CompareUrl(LPCWSTR url1, LPCWSTR url2, DWORD flags)
{
    return ComMethod([&] {
        bool equal = false;
        if (Overrides(hkCompareUrl) &&
            DoCompareUrl(url1 != nullptr ? url1 : L"", url2 != nullptr ? url2 : L"", flags != 0,
                         equal))
            return equal ? S_OK : S_FALSE;
        return INET_E_DEFAULT_ACTION;
    });
}

HRESULT TorvShellProtocolExtension::QueryInfo(LPCWSTR url, QUERYOPTION option, DWORD,
                                              LPVOID buffer, DWORD bufferSize, DWORD* written,
                                              DWORD)
{
    return ComMethod([&] {
        if (buffer == nullptr)
            return E_POINTER;
        if (bufferSize == 0)
            return E_INVALIDARG;
        if (option < QUERY_EXPIRATION_DATE || option > QUERY_IS_CACHED_AND_USABLE_OFFLINE)
            return INET_E_QUERYOPTION_UNKNOWN;
        const int index = static_cast<int>(option) - 1;
        const std::wstring text = url != nullptr ? url : L"";
        std::vector<uint8_t> answer;
        bool answered = false;
        if (index <= 1) {
            SYSTEMTIME time{};
            answered = Overrides(hkQueryDateInfo) && DoQueryDateInfo(text, index, time);
            const auto* bytes = reinterpret_cast<const uint8_t*>(&time);
            answer.assign(bytes, bytes + sizeof(time));
        } else if (index <= 3) {
            std::wstring value;
            answered = Overrides(hkQueryTextInfo) && DoQueryTextInfo(text, index, value);
            const auto* bytes = reinterpret_cast<const uint8_t*>(value.c_str());
            answer.assign(bytes, bytes + (value.size() + 1) * sizeof(wchar_t));
        } else {
            bool flag = false;
            answered = Overrides(hkQueryFlagInfo) && DoQueryFlagInfo(text, index, flag);
            const DWORD value = flag ? 0xFFFFFFFFu : 0u;
            const auto* bytes = reinterpret_cast<const uint8_t*>(&value);
            answer.assign(bytes, bytes + sizeof(value));
        }
        if (!answered)
            return INET_E_DEFAULT_ACTION;
        if (written != nullptr)
            *written = static_cast<DWORD>(answer.size());
        if (answer.size() > bufferSize)
            return S_FALSE;
        std::memcpy(buffer, answer.data(), answer.size());
        return S_OK;
    });
}

HRESULT TorvShellProtocolExtension::QueryOption(DWORD, LPVOID, DWORD*)
{
    return E_NOTIMPL;
}

HRESULT TorvShellProtocolExtension::QueryInfo(DWORD option, LPVOID buffer, DWORD* size, DWORD*,
                                              DWORD*)
{
    return ComMethod([&] {
        const std::shared_ptr<TorvProtocolRequest> request = DataRequest();
        if (buffer == nullptr)
            return E_POINTER;
        if (size == nullptr)
            return E_INVALIDARG;
        TorvShellResponse& response = request->Response();
        const DWORD code = option & 0xFFFF;
        const DWORD modifier = option & 0xFFFF0000u;

        if (code == HttpQueryRawHeaders || code == HttpQueryRawHeadersCrlf) {
            auto block = MemoryStream::Create();
            response.SaveToStream(block.Get(), code == HttpQueryRawHeaders);
            CopyBytes(buffer, size, block->Data().data(), static_cast<DWORD>(block->Data().size()));
            return S_OK;
        }

        std::wstring name;
        if (code == HttpQueryCustom) {
            // The name arrives in the buffer, as ANSI text ended by a zero.
            name = AnsiToWide(std::string_view(static_cast<const char*>(buffer),
                                               strnlen(static_cast<const char*>(buffer), *size)));
        } else {
            if (const wchar_t* header = HeaderNameOfQuery(code))
                name = header;
        }
        std::wstring value;
        if (code == HttpQueryStatusCode) {
            const int status = response.GetStatus();
            if (status != 0)
                value = std::to_wstring(status);
        } else if (code == HttpQueryStatusText) {
            value = response.GetStatusText();
        } else {
            value = response.GetValue(name);
        }
        if (value.empty())
            throw EArgumentException(L"No data");

        switch (modifier) {
        case 0: {
            const DWORD needed = static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t));
            CopyBytes(buffer, size, value.c_str(), needed);
            return S_OK;
        }
        case HTTP_QUERY_FLAG_NUMBER64: {
            if (code == HttpQueryStatusText)
                throw EArgumentException(L"Cannot convert StatusText to Int64");
            const int64_t number = ParseInt64(value);
            CopyBytes(buffer, size, &number, sizeof(number));
            return S_OK;
        }
        case HTTP_QUERY_FLAG_NUMBER: {
            if (code == HttpQueryStatusText)
                throw EArgumentException(L"Cannot convert StatusText to DWORD");
            const auto number = static_cast<DWORD>(ParseInt64(value));
            CopyBytes(buffer, size, &number, sizeof(number));
            return S_OK;
        }
        case HTTP_QUERY_FLAG_SYSTEMTIME: {
            if (code == HttpQueryStatusCode)
                throw EArgumentException(L"Cannot convert Status to TSystemTyme");
            if (code == HttpQueryStatusText)
                throw EArgumentException(L"Cannot convert StatusText to TSystemTyme");
            if (response.GetValue(name).empty())
                throw EArgumentException(L"No time");
            const SYSTEMTIME time = response.GetValueAsSystemTime(name, true);
            CopyBytes(buffer, size, &time, sizeof(time));
            return S_OK;
        }
        default:
            return S_OK;
        }
    });
}

} // namespace kv
