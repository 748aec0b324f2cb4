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

namespace {

// A header query that fails as HttpQueryInfoA fails: S_FALSE, as the platform's own protocol
// handlers answer, with the reason as the thread's last error.
HRESULT QueryFailed(DWORD error)
{
    SetLastError(error);
    return S_FALSE;
}

// Copies an answer of count bytes as HttpQueryInfoA does: when the buffer is missing or short,
// *size becomes what is needed and the query fails with ERROR_INSUFFICIENT_BUFFER; otherwise
// *size becomes the bytes written, without a text's terminating zero (textTerminator).
HRESULT CopyQueryAnswer(LPVOID buffer, DWORD* size, const void* data, DWORD count,
                        DWORD textTerminator)
{
    if (buffer == nullptr || *size < count) {
        *size = count;
        return QueryFailed(ERROR_INSUFFICIENT_BUFFER);
    }
    std::memcpy(buffer, data, count);
    *size = count - textTerminator;
    return S_OK;
}

HRESULT CopyTextQueryAnswer(LPVOID buffer, DWORD* size, const std::string& text)
{
    return CopyQueryAnswer(buffer, size, text.c_str(), static_cast<DWORD>(text.size() + 1), 1);
}

} // namespace

HRESULT TorvShellProtocolExtension::QueryInfo(DWORD option, LPVOID buffer, DWORD* size, DWORD*,
                                              DWORD*)
{
    return ComMethod([&]() -> HRESULT {
        if (size == nullptr)
            return E_POINTER;
        const std::shared_ptr<TorvProtocolRequest> request = Request();
        if (!request || !request->HasDataStream())
            return QueryFailed(ERROR_HTTP_HEADER_NOT_FOUND);  // no response yet
        TorvShellResponse& response = request->Response();
        const DWORD code = option & HTTP_QUERY_HEADER_MASK;
        const DWORD modifier = option & HTTP_QUERY_MODIFIER_FLAGS_MASK;
        // The request's own headers are none of ours to tell.
        if ((modifier & HTTP_QUERY_FLAG_REQUEST_HEADERS) != 0)
            return QueryFailed(ERROR_HTTP_HEADER_NOT_FOUND);
        const DWORD format = modifier & ~HTTP_QUERY_FLAG_COALESCE;
        if (format != 0 && format != HTTP_QUERY_FLAG_NUMBER && format != HTTP_QUERY_FLAG_NUMBER64 &&
            format != HTTP_QUERY_FLAG_SYSTEMTIME)
            return QueryFailed(ERROR_HTTP_INVALID_QUERY_REQUEST);

        if (code == HttpQueryRawHeaders || code == HttpQueryRawHeadersCrlf) {
            if (format != 0)
                return QueryFailed(ERROR_HTTP_INVALID_QUERY_REQUEST);
            // Null-separated lines end with an empty one; the terminator counts as its end.
            const std::string block = WideToAnsi(response.SavedText(code == HttpQueryRawHeaders));
            return CopyTextQueryAnswer(buffer, size, block);
        }

        std::wstring value;
        if (code == HttpQueryCustom) {
            // The header's name arrives in the buffer, as ANSI text ended by a zero.
            if (buffer == nullptr)
                return QueryFailed(ERROR_INVALID_PARAMETER);
            const std::string_view name(static_cast<const char*>(buffer),
                                        strnlen(static_cast<const char*>(buffer), *size));
            value = response.GetValue(AnsiToWide(name));
        } else if (code == HttpQueryStatusCode) {
            if (const int status = response.GetStatus(); status != 0)
                value = std::to_wstring(status);
        } else if (code == HttpQueryStatusText) {
            value = response.GetStatusText();
        } else if (const wchar_t* header = HeaderNameOfQuery(code)) {
            value = response.GetValue(header);
        } else {
            return QueryFailed(ERROR_HTTP_INVALID_QUERY_REQUEST);
        }
        if (value.empty())
            return QueryFailed(ERROR_HTTP_HEADER_NOT_FOUND);

        switch (format) {
        case HTTP_QUERY_FLAG_NUMBER:
        case HTTP_QUERY_FLAG_NUMBER64: {
            int64_t number = 0;
            try {
                number = ParseInt64(value);
            } catch (...) {
                return QueryFailed(ERROR_HTTP_INVALID_HEADER);
            }
            if (format == HTTP_QUERY_FLAG_NUMBER64)
                return CopyQueryAnswer(buffer, size, &number, sizeof(number), 0);
            // A 32-bit answer only for a value that fits.
            if (number < 0 || number > static_cast<int64_t>(UINT32_MAX))
                return QueryFailed(ERROR_HTTP_INVALID_HEADER);
            const auto narrow = static_cast<DWORD>(number);
            return CopyQueryAnswer(buffer, size, &narrow, sizeof(narrow), 0);
        }
        case HTTP_QUERY_FLAG_SYSTEMTIME: {
            SYSTEMTIME time{};
            try {
                // Dates are answered as sent: in GMT.
                const wchar_t* header = HeaderNameOfQuery(code);
                time = response.GetValueAsSystemTime(header != nullptr ? header : L"", true);
            } catch (...) {
                return QueryFailed(ERROR_HTTP_INVALID_HEADER);
            }
            if (time.wYear == 0)
                return QueryFailed(ERROR_HTTP_INVALID_HEADER);
            return CopyQueryAnswer(buffer, size, &time, sizeof(time), 0);
        }
        default:
            return CopyTextQueryAnswer(buffer, size, WideToAnsi(value));
        }
    });
}

} // namespace kv
