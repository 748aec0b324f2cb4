// The viewer with the real browser control: its client site's download control, read from the
// INI chain, and the control's own navigation events judged by the viewer. Under Wine the
// control has no HTML engine: it raises BeforeNavigate2 for every navigation and honours its
// cancel flag, but shows no page, so nothing a page does by itself (scripts, frames, pop-ups,
// downloads) can happen here; those events are driven through the sink in its own tests.
#include "archive/ArchiveLibrary.h"
#include "plugin/KestrelForm.h"
#include "plugin/ViewerSettings.h"
#include "plugin/WebBrowserHost.h"
#include "protocol/ArchiveRegistry.h"
#include "shell/Strings.h"
#include "tests/common/TestEnv.h"
#include "tests/plugin/KestrelFormFixture.h"
#include "tests/plugin/RecordedLaunches.h"

#include <gtest/gtest.h>

#include <exdisp.h>
#include <exdispid.h>
#include <mshtmdid.h>

#include <functional>
#include <string>
#include <vector>

using namespace kv;
using namespace kvtest;

namespace {

// Lets the control's posted work run until the condition holds or the time is up.
bool PumpUntil(const std::function<bool()>& condition, DWORD milliseconds = 5000)
{
    const ULONGLONG end = GetTickCount64() + milliseconds;
    for (;;) {
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
        if (condition())
            return true;
        if (GetTickCount64() >= end)
            return false;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
    }
}

void PumpFor(DWORD milliseconds)
{
    PumpUntil([] { return false; }, milliseconds);
}

std::wstring LocationOf(IWebBrowser2* control)
{
    BSTR location = nullptr;
    if (FAILED(control->get_LocationURL(&location)) || location == nullptr)
        return {};
    std::wstring text(location, SysStringLen(location));
    SysFreeString(location);
    return text;
}

// A navigation of the control itself, as a followed link starts one.
HRESULT NavigateControl(IWebBrowser2* control, const std::wstring& url)
{
    VARIANT target;
    VariantInit(&target);
    V_VT(&target) = VT_BSTR;
    V_BSTR(&target) = SysAllocString(url.c_str());
    VARIANT empty;
    VariantInit(&empty);
    const HRESULT result = control->Navigate2(&target, &empty, &empty, &empty, &empty);
    VariantClear(&target);
    return result;
}

// The download control the control's client site answers, asked as the engine asks.
DWORD DownloadControlOf(IWebBrowser2* control)
{
    Microsoft::WRL::ComPtr<IOleObject> object;
    Microsoft::WRL::ComPtr<IOleClientSite> site;
    Microsoft::WRL::ComPtr<IDispatch> ambient;
    EXPECT_EQ(control->QueryInterface(IID_PPV_ARGS(&object)), S_OK);
    EXPECT_EQ(object->GetClientSite(&site), S_OK);
    if (!site)
        return 0;
    EXPECT_EQ(site.As(&ambient), S_OK);
    DISPPARAMS none{};
    VARIANT result;
    VariantInit(&result);
    EXPECT_EQ(ambient->Invoke(DISPID_AMBIENT_DLCONTROL, IID_NULL, LOCALE_USER_DEFAULT,
                              DISPATCH_PROPERTYGET, &none, &result, nullptr, nullptr),
              S_OK);
    EXPECT_EQ(V_VT(&result), VT_I4);
    return static_cast<DWORD>(V_I4(&result));
}

// How many sinks a connection point holds; -1 when it cannot say.
int ConnectionCount(IConnectionPoint* point)
{
    Microsoft::WRL::ComPtr<IEnumConnections> connections;
    if (FAILED(point->EnumConnections(&connections)) || !connections)
        return -1;
    int count = 0;
    CONNECTDATA data{};
    ULONG fetched = 0;
    while (connections->Next(1, &data, &fetched) == S_OK && fetched == 1) {
        data.pUnk->Release();
        ++count;
    }
    return count;
}

class RealViewer : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(SUCCEEDED(OleInitialize(nullptr)));
        host_ = CreateWindowExW(0, HostWindowClass(), L"Host", WS_OVERLAPPEDWINDOW | WS_VISIBLE,
                                0, 0, 700, 500, nullptr, nullptr, GetModuleHandleW(nullptr),
                                nullptr);
        ASSERT_NE(host_, nullptr);
        form_ = TKestrelForm::Create(host_, CreateWebBrowser);
        ShowWindow(form_->Handle(), SW_SHOW);
    }

    void TearDown() override
    {
        if (host_ != nullptr)
            DestroyWindow(host_);
        PumpFor(20);
        OleUninitialize();
    }

    IWebBrowser2* Control() const
    {
        auto* host = dynamic_cast<WebBrowserHost*>(&form_->WebBrowser1());
        return host != nullptr ? host->Control() : nullptr;
    }
    std::wstring Location() const { return LocationOf(Control()); }
    int SelectedIndex() const
    {
        return static_cast<int>(SendMessageW(form_->ComboBox1(), CB_GETCURSEL, 0, 0));
    }

    HWND host_ = nullptr;
    TKestrelForm* form_ = nullptr;
    RecordedLaunches launches_;
};

} // namespace

TEST_F(RealViewer, PagesOfTheArchiveLoadAndLinksOutOfItStop)
{
    const std::wstring path = FixturePath(L"viewer-two-pages.maff");
    form_->LoadFile(path);
    const std::wstring id = RegisterArchive(path).Id();
    const std::wstring first = L"maff://" + id + L"first/index.html";
    const std::wstring second = L"maff://" + id + L"second/index.html";
    ASSERT_NE(Control(), nullptr);
    // The viewer's own navigation goes ahead.
    ASSERT_TRUE(PumpUntil([&] { return Location() == first; })) << WideToUtf8(Location());

    // A web address goes to the user's browser; the viewer stays on its page.
    EXPECT_EQ(NavigateControl(Control(), L"http://example.invalid/page?q=a b"), S_OK);
    EXPECT_TRUE(PumpUntil([&] { return !launches_.urls.empty(); }));
    EXPECT_EQ(launches_.urls, std::vector<std::wstring>{L"http://example.invalid/page?q=a%20b"});
    // The local file system, other archives and unknown schemes only stop.
    for (const wchar_t* url : {L"file:///C:/windows/win.ini", L"maff://999*first/index.html",
                               L"about:home", L"res://ieframe.dll/navcancl.htm"})
        EXPECT_EQ(NavigateControl(Control(), url), S_OK) << WideToUtf8(url);
    PumpFor(200);
    EXPECT_EQ(Location(), first);
    EXPECT_EQ(launches_.urls.size(), 1u);
    EXPECT_EQ(SelectedIndex(), 0);

    // Another page of the archive is shown, and the list follows it (ignoring case).
    const std::wstring otherCase = L"MAFF://" + id + L"Second/INDEX.html";
    EXPECT_EQ(NavigateControl(Control(), otherCase), S_OK);
    EXPECT_TRUE(PumpUntil([&] { return SelectedIndex() == 1; }));
    EXPECT_TRUE(PumpUntil([&] { return SameTextIgnoreCase(Location(), second); }))
        << WideToUtf8(Location());
    EXPECT_EQ(launches_.urls.size(), 1u);
}

TEST_F(RealViewer, APageAtTheArchivesTopIsFollowedUnderTheSlashTheBrowserAdds)
{
    const std::wstring path = FixturePath(L"pages-toplevel.maff");
    form_->LoadFile(path);
    const std::wstring top = L"maff://" + RegisterArchive(path).Id() + L"index.html";
    ASSERT_TRUE(PumpUntil([&] { return SameTextIgnoreCase(Location(), top + L"/"); }))
        << WideToUtf8(Location());
    SendMessageW(form_->ComboBox1(), CB_SETCURSEL, static_cast<WPARAM>(-1), 0);
    EXPECT_EQ(NavigateControl(Control(), Location()), S_OK);
    EXPECT_TRUE(PumpUntil([&] { return SelectedIndex() == 0; }));
}

// Once the viewer is gone, whatever the control still does reaches nobody.
TEST_F(RealViewer, NoEventReachesAViewerThatIsGone)
{
    form_->LoadFile(FixturePath(L"viewer-two-pages.maff"));
    Microsoft::WRL::ComPtr<IWebBrowser2> control = Control();
    ASSERT_NE(control, nullptr);
    Microsoft::WRL::ComPtr<IConnectionPointContainer> container;
    Microsoft::WRL::ComPtr<IConnectionPoint> point;
    ASSERT_EQ(control.As(&container), S_OK);
    ASSERT_EQ(container->FindConnectionPoint(DIID_DWebBrowserEvents2, &point), S_OK);
    EXPECT_EQ(ConnectionCount(point.Get()), 1);

    DestroyWindow(host_);
    host_ = nullptr;
    form_ = nullptr;
    PumpFor(20);
    EXPECT_EQ(ConnectionCount(point.Get()), 0);
    NavigateControl(control.Get(), L"http://example.invalid/");
    PumpFor(100);
    EXPECT_TRUE(launches_.urls.empty());
}

// The client site of the real control answers the download control the INI chain asks for.
TEST(RealControlSite, AnswersTheDownloadControlOfTheIniChain)
{
    ASSERT_TRUE(SUCCEEDED(OleInitialize(nullptr)));
    const HWND parent = CreateWindowExW(0, HostWindowClass(), L"Host", WS_OVERLAPPEDWINDOW, 0, 0,
                                        300, 200, nullptr, nullptr, GetModuleHandleW(nullptr),
                                        nullptr);
    ASSERT_NE(parent, nullptr);
    const std::wstring previous = GetHostIniFileName();
    TempFolder folder;
    for (const ViewerSettings settings : {ViewerSettings{}, ViewerSettings{true, false},
                                          ViewerSettings{false, true}, ViewerSettings{true, true}}) {
        const std::string ini = std::string("[Kestrelview]\r\nAllowScripts=") +
                                (settings.allowScripts ? "1" : "0") + "\r\nAllowNetwork=" +
                                (settings.allowNetwork ? "1" : "0") + "\r\n";
        const std::wstring name = L"host-" + std::to_wstring(settings.allowScripts) +
                                  std::to_wstring(settings.allowNetwork) + L".ini";
        SetHostIniFileName(folder.Write(name, ini));
        const auto browser = CreateWebBrowser(parent);
        auto* host = dynamic_cast<WebBrowserHost*>(browser.get());
        ASSERT_NE(host, nullptr);
        EXPECT_EQ(DownloadControlOf(host->Control()), DownloadControlFlags(settings))
            << settings.allowScripts << settings.allowNetwork;
    }
    SetHostIniFileName(previous);
    DestroyWindow(parent);
    PumpFor(20);
    OleUninitialize();
}
