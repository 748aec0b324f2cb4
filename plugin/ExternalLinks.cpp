#include "plugin/ExternalLinks.h"

#include "shell/ShellThread.h"
#include "shell/Strings.h"

#include <shellapi.h>

#include <utility>

namespace kv {

namespace {

// The viewer's thread is the only one that opens links or replaces the opener.
ExternalOpener& CurrentOpener()
{
    static ExternalOpener opener;
    return opener;
}

std::wstring_view SchemeOf(std::wstring_view url) noexcept
{
    const size_t colon = url.find(L':');
    return colon == std::wstring_view::npos ? std::wstring_view() : url.substr(0, colon);
}

// ShellExecuteExW may wait for the program it starts (DDE, a slow handler): never on the file
// manager's thread.
class ShellOpenThread final : public TorvShellThread {
public:
    explicit ShellOpenThread(std::wstring url)
        : TorvShellThread(CTF_COINIT_STA | CTF_PROCESS_REF), url_(std::move(url))
    {
    }

protected:
    void Execute() override
    {
        SHELLEXECUTEINFOW info{};
        info.cbSize = sizeof(info);
        // NOASYNC: the thread ends right after, so the launch must be complete by then.
        info.fMask = SEE_MASK_NOASYNC | SEE_MASK_FLAG_NO_UI;
        info.lpFile = url_.c_str();
        info.nShow = SW_SHOWNORMAL;
        ShellExecuteExW(&info);
    }

private:
    std::wstring url_;
};

} // namespace

bool IsExternalAddress(std::wstring_view url) noexcept
{
    const std::wstring_view scheme = SchemeOf(url);
    for (const wchar_t* known : {L"http", L"https", L"ftp", L"mailto"})
        if (SameTextIgnoreAsciiCase(scheme, known))
            return true;
    return false;
}

std::wstring ShellSafeAddress(std::wstring_view url)
{
    static constexpr char Hex[] = "0123456789ABCDEF";
    std::wstring safe;
    safe.reserve(url.size());
    const std::string utf8 = WideToUtf8(url);
    for (const char c : utf8) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte <= 0x20 || byte >= 0x7F || byte == '"' || byte == '<' || byte == '>') {
            safe.push_back(L'%');
            safe.push_back(static_cast<wchar_t>(Hex[byte >> 4]));
            safe.push_back(static_cast<wchar_t>(Hex[byte & 0x0F]));
        } else {
            safe.push_back(static_cast<wchar_t>(byte));
        }
    }
    return safe;
}

void OpenExternally(const std::wstring& url) noexcept
{
    try {
        if (!IsExternalAddress(url))
            return;
        const std::wstring safe = ShellSafeAddress(url);
        if (const ExternalOpener& opener = CurrentOpener())
            opener(safe);
        else
            LaunchWithShell(safe);
    } catch (...) {
    }
}

ExternalOpener SetExternalOpener(ExternalOpener opener)
{
    return std::exchange(CurrentOpener(), std::move(opener));
}

void LaunchWithShell(const std::wstring& url)
{
    TorvShellThread::StartDetached<ShellOpenThread>(url);
}

} // namespace kv
