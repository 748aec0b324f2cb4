#include "protocol/ErrorPage.h"
#include "protocol/MimeTypes.h"

#include "protocol/ShellResponse.h"
#include "shell/Exceptions.h"
#include "shell/Strings.h"

#include <vector>

namespace kv {

namespace {

struct HtmlEscapeRow {
    wchar_t Character;
    const wchar_t* Replacement;
};

constexpr HtmlEscapeRow kHtmlEscapes[] = {
    {L'"', L"&quot;"},
    {L'&', L"&amp;"},
    {L'<', L"&lt;"},
    {L'>', L"&gt;"},
};

constexpr const wchar_t* kPageHead[] = {
    L"<!DOCTYPE html PUBLIC \"-//W3C//DTD XHTML 1.0 Transitional//EN\" "
    L"\"http://www.w3.org/TR/xhtml1/DTD/xhtml1-transitional.dtd\">",
    L"<html xmlns=\"http://www.w3.org/1999/xhtml\" xml:lang=\"en-gb\" lang=\"en-gb\" >",
    L"  <head>",
    L"    <meta http-equiv=\"content-type\" content=\"text/html; charset=utf-8\" />",
    L"    <title>ERROR</title>",
    L"  </head>",
    L"  <body>",
    L"  <h1>ERROR</h1>",
    L"  <p>",
};

constexpr const wchar_t* kPageFoot[] = {
    L"  </p>",
    L"  </body>",
    L"</html>",
};

// CR, LF and CR LF each end a line; a final line end adds no empty line.
std::vector<std::wstring> SplitLines(const std::wstring& text)
{
    std::vector<std::wstring> lines;
    size_t start = 0;
    size_t i = 0;
    while (i < text.size()) {
        if (text[i] != L'\r' && text[i] != L'\n') {
            ++i;
            continue;
        }
        lines.push_back(text.substr(start, i - start));
        if (text[i] == L'\r' && i + 1 < text.size() && text[i + 1] == L'\n')
            ++i;
        start = ++i;
    }
    if (start < text.size())
        lines.push_back(text.substr(start));
    return lines;
}

} // namespace

std::wstring HtmlEscape(const std::wstring& text)
{
    std::wstring escaped;
    escaped.reserve(text.size());
    for (const wchar_t c : text) {
        const HtmlEscapeRow* row = nullptr;
        for (const HtmlEscapeRow& candidate : kHtmlEscapes) {
            if (candidate.Character == c) {
                row = &candidate;
                break;
            }
        }
        if (row != nullptr)
            escaped += row->Replacement;
        else
            escaped += c;
    }
    return escaped;
}

Microsoft::WRL::ComPtr<MemoryStream> BuildErrorPage(const std::wstring& message,
                                                    TorvShellResponse* response)
{
    std::wstring page;
    for (const wchar_t* line : kPageHead)
        page.append(line).append(L"\r\n");
    for (const std::wstring& line : SplitLines(message))
        page.append(HtmlEscape(line)).append(L"<br />\r\n");
    for (const wchar_t* line : kPageFoot)
        page.append(line).append(L"\r\n");

    const std::string bytes = WideToUtf8(page);
    auto stream = MemoryStream::Create();
    stream->Append(bytes.data(), bytes.size());
    stream->SetPosition(0);
    if (response != nullptr) {
        response->SetStatus(502);
        response->SetStatusText(L"EXCEPTION");
        response->SetContentType(L"text/html");
        AddRenderingMode(*response);
    }
    return stream;
}

Microsoft::WRL::ComPtr<MemoryStream> BuildErrorPage(const std::exception_ptr& error,
                                                    TorvShellResponse* response)
{
    return BuildErrorPage(ExceptionMessage(error), response);
}

} // namespace kv
