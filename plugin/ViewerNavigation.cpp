#include "plugin/ViewerNavigation.h"

#include "plugin/ExternalLinks.h"
#include "shell/Strings.h"

namespace kv {

namespace {

constexpr std::wstring_view MaffRoot = L"maff://";
constexpr std::wstring_view BlankPage = L"about:blank";

bool StartsWithIgnoringAsciiCase(std::wstring_view text, std::wstring_view prefix) noexcept
{
    return text.size() >= prefix.size() &&
           SameTextIgnoreAsciiCase(text.substr(0, prefix.size()), prefix);
}

bool IsInArchive(std::wstring_view url, std::wstring_view archiveId) noexcept
{
    // The id ends with "*", so "maff://1*" never takes "maff://10*..." for its own.
    if (archiveId.empty() || !StartsWithIgnoringAsciiCase(url, MaffRoot))
        return false;
    return url.substr(MaffRoot.size()).starts_with(archiveId);
}

} // namespace

NavigationVerdict JudgeNavigation(std::wstring_view url, std::wstring_view archiveId,
                                  bool topLevel) noexcept
{
    if (IsInArchive(url, archiveId) || SameTextIgnoreAsciiCase(url, BlankPage))
        return NavigationVerdict::Allow;
    if (topLevel && IsExternalAddress(url))
        return NavigationVerdict::OpenExternally;
    return NavigationVerdict::Refuse;
}

bool ViewerNavigation::BeforeNavigate(const std::wstring& url, bool topLevel) noexcept
{
    switch (JudgeNavigation(url, archiveId_, topLevel)) {
    case NavigationVerdict::Allow:
        if (topLevel)
            FollowInList(url);
        return true;
    case NavigationVerdict::OpenExternally:
        OpenExternally(url);
        return false;
    case NavigationVerdict::Refuse:
        break;
    }
    return false;
}

void ViewerNavigation::NewWindow(const std::wstring& url) noexcept
{
    // The window itself is always refused; its address goes where the page's own link to it
    // would go, except that another page of the archive is not shown in place of this one.
    if (JudgeNavigation(url, archiveId_, true) == NavigationVerdict::OpenExternally)
        OpenExternally(url);
}

void ViewerNavigation::FollowInList(const std::wstring& url) noexcept
{
    try {
        int index = pages_.IndexOf(url);
        // A page at the archive's top ("maff://0*index.html") has an empty path, to which the
        // browser adds "/" before it navigates.
        if (index < 0 && url.size() > 1 && url.back() == L'/') {
            const std::wstring bare = url.substr(0, url.size() - 1);
            if (bare.find(L'/', MaffRoot.size()) == std::wstring::npos)
                index = pages_.IndexOf(bare);
        }
        if (index < 0 || comboBox_ == nullptr)
            return;
        // Selecting from code sends no CBN_SELCHANGE: this starts no navigation of its own.
        if (SendMessageW(comboBox_, CB_GETCURSEL, 0, 0) != index)
            SendMessageW(comboBox_, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
    } catch (...) {
    }
}

} // namespace kv
