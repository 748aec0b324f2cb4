#include "protocol/MimeTypes.h"

#include "protocol/ShellResponse.h"
#include "shell/Registry.h"
#include "shell/Strings.h"

#include <urlmon.h>

#include <array>
#include <cstdint>

namespace kv {

namespace {

constexpr uint32_t kSniffSize = 256;
// FMFD_URLASFILENAME | FMFD_ENABLEMIMESNIFFING | FMFD_RETURNUPDATEDIMGMIMES
constexpr DWORD kSniffFlags = 0x23;

} // namespace

bool SniffMimeType(const std::wstring& url, TorvStream& stream, std::wstring& mimeType)
{
    std::array<uint8_t, kSniffSize> buffer{};
    uint32_t count = 0;
    while (count < buffer.size()) {
        const uint32_t read = stream.Read(buffer.data() + count, kSniffSize - count);
        if (read == 0)
            break;
        count += read;
    }
    stream.SetPosition(0);
    // Without bytes only the URL's file name can tell: the sniffer refuses an empty buffer
    // but takes none at all.
    LPWSTR found = nullptr;
    const HRESULT result =
        FindMimeFromData(nullptr, url.empty() ? nullptr : url.c_str(),
                         count > 0 ? buffer.data() : nullptr, count, nullptr, kSniffFlags,
                         &found, 0);
    if (FAILED(result) || found == nullptr) {
        CoTaskMemFree(found);
        return false;
    }
    mimeType = found;
    CoTaskMemFree(found);
    return true;
}

std::wstring ExtensionFromMimeType(const std::wstring& mimeType)
{
    std::wstring extension = ReadRegString(
        HKEY_CLASSES_ROOT, L"MIME\\Database\\Content Type\\" + mimeType, L"Extension");
    if (!extension.empty() && extension[0] == L'.')
        extension.erase(0, 1);
    return extension;
}

bool IsHtmlMimeType(std::wstring_view mimeType) noexcept
{
    return SameTextIgnoreAsciiCase(mimeType, L"text/html") ||
           SameTextIgnoreAsciiCase(mimeType, L"application/xhtml+xml");
}

void AddRenderingMode(TorvShellResponse& response)
{
    if (IsHtmlMimeType(response.GetContentType()))
        response.SetValue(RenderingModeHeader, RenderingModeValue);
}

} // namespace kv
