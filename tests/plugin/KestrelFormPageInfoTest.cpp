// What the viewer tells of the page shown, beside its list: when and where from it was saved,
// and the commands on that address.
#include "tests/plugin/KestrelFormFixture.h"

#include "plugin/ExternalLinks.h"
#include "plugin/PageInfoText.h"
#include "tests/common/TestEnv.h"
#include "tests/common/TestWindows.h"

#include <string>
#include <vector>

using namespace kvtest;

namespace {

std::wstring WindowText(HWND window)
{
    std::wstring text(static_cast<size_t>(GetWindowTextLengthW(window)) + 1, L'\0');
    text.resize(static_cast<size_t>(GetWindowTextW(window, text.data(), static_cast<int>(text.size()))));
    return text;
}

std::wstring ClipboardText()
{
    std::wstring text;
    if (!OpenClipboard(nullptr))
        return L"(busy)";
    if (const HANDLE data = GetClipboardData(CF_UNICODETEXT)) {
        if (const auto* chars = static_cast<const wchar_t*>(GlobalLock(data))) {
            text = chars;
            GlobalUnlock(data);
        }
    }
    CloseClipboard();
    return text;
}

void SetKeys(bool control, bool shift)
{
    BYTE keys[256];
    GetKeyboardState(keys);
    keys[VK_CONTROL] = control ? 0x80 : 0;
    keys[VK_SHIFT] = shift ? 0x80 : 0;
    SetKeyboardState(keys);
}

class KestrelFormPageInfo : public KestrelFormFixture {
protected:
    void SetUp() override
    {
        KestrelFormFixture::SetUp();
        SetKeys(false, false);
        Resize(700, 400);
        form_->LoadFile(FixturePath(L"viewer-two-pages.maff"));
        kv::SetExternalOpener([this](const std::wstring& url) { opened_.push_back(url); });
    }
    void TearDown() override
    {
        kv::SetExternalOpener(nullptr);
        SetKeys(false, false);
        KestrelFormFixture::TearDown();
    }

    std::vector<std::wstring> opened_;
};

} // namespace

TEST_F(KestrelFormPageInfo, TheLineBesideTheListTellsWhenAndWhereFromThePageWasSaved)
{
    const HWND line = form_->InfoLine();
    ASSERT_NE(line, nullptr);
    const std::wstring first = WindowText(line);
    EXPECT_EQ(first, kv::FormatSavedLine(form_->Pages().Info(0)));
    EXPECT_NE(first.find(L"http://example.org/first/"), std::wstring::npos) << first;
    EXPECT_NE(first.find(L"2024"), std::wstring::npos) << first;

    // Beside the list in the strip, never over the page.
    EXPECT_TRUE(IsWindowVisible(line));
    const RECT list = ChildRect(form_->ComboBox1());
    const RECT info = ChildRect(line);
    EXPECT_GE(info.left, list.right);
    EXPECT_EQ(info.top, 0);
    EXPECT_LE(info.bottom, form_->StripHeight());
    EXPECT_EQ(browser_->Bounds().top, form_->StripHeight());

    ASSERT_TRUE(form_->SwitchPage(1));
    EXPECT_NE(WindowText(line).find(L"http://example.org/second/"), std::wstring::npos);

    // Too narrow for both: the list takes the strip.
    Resize(300, 400);
    EXPECT_FALSE(IsWindowVisible(line));
    EXPECT_EQ(ChildRect(form_->ComboBox1()).right, 300);

    // A load that fails leaves no facts of a page no longer listed.
    EXPECT_ANY_THROW(form_->LoadFile(FixturePath(L"viewer-no-pages.maff")));
    EXPECT_EQ(WindowText(line), L"");
}

TEST_F(KestrelFormPageInfo, TheSavedAddressOpensInTheUsersProgramAndCopies)
{
    ASSERT_TRUE(form_->OpenPageAddress());
    EXPECT_EQ(opened_, std::vector<std::wstring>{L"http://example.org/first/"});
    ASSERT_TRUE(form_->CopyPageAddress());
    EXPECT_EQ(ClipboardText(), L"http://example.org/first/");

    // The same from the keyboard, wherever the focus is in the viewer.
    form_->SwitchPage(1);
    SetKeys(true, true);
    for (const WPARAM key : {WPARAM('C'), WPARAM('O')}) {
        PostMessageW(form_->ComboBox1(), WM_KEYDOWN, key, 1);
        PostMessageW(form_->ComboBox1(), WM_KEYUP, key, 0xC0000001);
        Pump();
        Pump();
    }
    SetKeys(false, false);
    EXPECT_EQ(ClipboardText(), L"http://example.org/second/");
    EXPECT_EQ(opened_.back(), L"http://example.org/second/");
}
