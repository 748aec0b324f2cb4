// The browser's events as the control delivers them: IDispatch::Invoke with the arguments in
// the engine's order (the last parameter first), strings and flags by reference, and cancel
// flags as VT_BYREF | VT_BOOL.
#include "plugin/BrowserEventSink.h"

#include <gtest/gtest.h>

#include <exdisp.h>
#include <exdispid.h>
#include <shobjidl.h>

#include <string>
#include <vector>

using namespace kv;

namespace {

class RecordingEvents final : public IBrowserEvents {
public:
    struct Navigation {
        std::wstring url;
        bool topLevel;
    };

    bool BeforeNavigate(const std::wstring& url, bool topLevel) noexcept override
    {
        navigations.push_back({url, topLevel});
        return allow;
    }
    void NewWindow(const std::wstring& url) noexcept override { newWindows.push_back(url); }

    bool allow = true;
    std::vector<Navigation> navigations;
    std::vector<std::wstring> newWindows;
};

HRESULT Fire(IDispatch* sink, DISPID member, VARIANT* arguments, UINT count)
{
    DISPPARAMS parameters{arguments, nullptr, count, 0};
    return sink->Invoke(member, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &parameters,
                        nullptr, nullptr, nullptr);
}

void SetReference(VARIANT& argument, VARIANT& value)
{
    V_VT(&argument) = VT_BYREF | VT_VARIANT;
    V_VARIANTREF(&argument) = &value;
}

void SetString(VARIANT& value, const wchar_t* text)
{
    V_VT(&value) = VT_BSTR;
    V_BSTR(&value) = SysAllocString(text);
}

// BeforeNavigate2(pDisp, URL, Flags, TargetFrameName, PostData, Headers, Cancel) as the control
// raises it.
class BeforeNavigate2 {
public:
    BeforeNavigate2(IDispatch* frame, const wchar_t* url)
    {
        for (VARIANT* value : {&url_, &flags_, &frameName_, &postData_, &headers_})
            VariantInit(value);
        SetString(url_, url);
        V_VT(&flags_) = VT_I4;
        V_I4(&flags_) = 0;
        SetString(frameName_, L"");
        SetString(headers_, L"");
        V_VT(&arguments_[6]) = VT_DISPATCH;
        V_DISPATCH(&arguments_[6]) = frame;
        SetReference(arguments_[5], url_);
        SetReference(arguments_[4], flags_);
        SetReference(arguments_[3], frameName_);
        SetReference(arguments_[2], postData_);
        SetReference(arguments_[1], headers_);
        V_VT(&arguments_[0]) = VT_BYREF | VT_BOOL;
        V_BOOLREF(&arguments_[0]) = &cancel;
    }
    ~BeforeNavigate2()
    {
        for (VARIANT* value : {&url_, &flags_, &frameName_, &postData_, &headers_})
            VariantClear(value);
    }
    BeforeNavigate2(const BeforeNavigate2&) = delete;
    BeforeNavigate2& operator=(const BeforeNavigate2&) = delete;

    HRESULT FireAt(IDispatch* sink, UINT count = 7)
    {
        return Fire(sink, DISPID_BEFORENAVIGATE2, arguments_ + (7 - count), count);
    }
    // The URL by value instead of by reference, as some callers pass it.
    void PassUrlByValue() { arguments_[5] = url_; }

    VARIANT_BOOL cancel = VARIANT_FALSE;

private:
    VARIANT url_, flags_, frameName_, postData_, headers_;
    VARIANT arguments_[7]{};
};

// NewWindow3(ppDisp, Cancel, dwFlags, bstrUrlContext, bstrUrl); NewWindow2(ppDisp, Cancel).
class NewWindow {
public:
    explicit NewWindow(const wchar_t* url)
    {
        V_VT(&arguments_[4]) = VT_BYREF | VT_DISPATCH;
        V_DISPATCHREF(&arguments_[4]) = &window_;
        V_VT(&arguments_[3]) = VT_BYREF | VT_BOOL;
        V_BOOLREF(&arguments_[3]) = &cancel;
        V_VT(&arguments_[2]) = VT_I4;
        V_I4(&arguments_[2]) = 0x2;  // NWMF_USERINITED
        SetString(arguments_[1], L"maff://0*page/index.html");
        SetString(arguments_[0], url);
    }
    ~NewWindow()
    {
        VariantClear(&arguments_[1]);
        VariantClear(&arguments_[0]);
    }
    NewWindow(const NewWindow&) = delete;
    NewWindow& operator=(const NewWindow&) = delete;

    HRESULT Fire3(IDispatch* sink) { return Fire(sink, DISPID_NEWWINDOW3, arguments_, 5); }
    HRESULT Fire2(IDispatch* sink) { return Fire(sink, DISPID_NEWWINDOW2, arguments_ + 3, 2); }

    VARIANT_BOOL cancel = VARIANT_FALSE;
    IDispatch* window_ = nullptr;

private:
    VARIANT arguments_[5]{};
};

// FileDownload(ActiveDocument, Cancel)
VARIANT_BOOL FileDownload(IDispatch* sink, bool shownAsDocument)
{
    VARIANT_BOOL cancel = VARIANT_FALSE;
    VARIANT arguments[2]{};
    V_VT(&arguments[1]) = VT_BOOL;
    V_BOOL(&arguments[1]) = shownAsDocument ? VARIANT_TRUE : VARIANT_FALSE;
    V_VT(&arguments[0]) = VT_BYREF | VT_BOOL;
    V_BOOLREF(&arguments[0]) = &cancel;
    EXPECT_EQ(Fire(sink, DISPID_FILEDOWNLOAD, arguments, 2), S_OK);
    return cancel;
}

class BrowserEventSinkTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        // Any COM object stands for the control and for a frame inside it: only identities
        // are compared.
        browser_ = BrowserEventSink::Create(nullptr);
        frame_ = BrowserEventSink::Create(nullptr);
        sink_ = BrowserEventSink::Create(static_cast<IDispatch*>(browser_.Get()));
        sink_->SetEvents(&events_);
    }

    IDispatch* Browser() const { return browser_.Get(); }
    IDispatch* Frame() const { return frame_.Get(); }
    IDispatch* Sink() const { return sink_.Get(); }

    Microsoft::WRL::ComPtr<BrowserEventSink> browser_;
    Microsoft::WRL::ComPtr<BrowserEventSink> frame_;
    Microsoft::WRL::ComPtr<BrowserEventSink> sink_;
    RecordingEvents events_;
};

} // namespace

TEST_F(BrowserEventSinkTest, BeforeNavigateAsksTheViewerAndCancelsWhatItRefuses)
{
    {
        BeforeNavigate2 event(Browser(), L"maff://0*page/index.html");
        EXPECT_EQ(event.FireAt(Sink()), S_OK);
        EXPECT_EQ(event.cancel, VARIANT_FALSE);
    }
    events_.allow = false;
    {
        BeforeNavigate2 event(Browser(), L"http://example.com/");
        EXPECT_EQ(event.FireAt(Sink()), S_OK);
        EXPECT_EQ(event.cancel, VARIANT_TRUE);
    }
    {
        // A frame's navigation is not the page's own.
        BeforeNavigate2 event(Frame(), L"http://ads.example.com/frame.html");
        event.PassUrlByValue();
        EXPECT_EQ(event.FireAt(Sink()), S_OK);
        EXPECT_EQ(event.cancel, VARIANT_TRUE);
    }
    ASSERT_EQ(events_.navigations.size(), 3u);
    EXPECT_EQ(events_.navigations[0].url, L"maff://0*page/index.html");
    EXPECT_TRUE(events_.navigations[0].topLevel);
    EXPECT_EQ(events_.navigations[1].url, L"http://example.com/");
    EXPECT_TRUE(events_.navigations[1].topLevel);
    EXPECT_EQ(events_.navigations[2].url, L"http://ads.example.com/frame.html");
    EXPECT_FALSE(events_.navigations[2].topLevel);

    // What another receiver cancelled stays cancelled.
    events_.allow = true;
    BeforeNavigate2 cancelled(Browser(), L"maff://0*page/index.html");
    cancelled.cancel = VARIANT_TRUE;
    cancelled.FireAt(Sink());
    EXPECT_EQ(cancelled.cancel, VARIANT_TRUE);
}

TEST_F(BrowserEventSinkTest, MalformedEventsChangeNothingAndNeverFail)
{
    events_.allow = false;
    BeforeNavigate2 shortOfArguments(Browser(), L"http://example.com/");
    EXPECT_EQ(shortOfArguments.FireAt(Sink(), 6), S_OK);
    EXPECT_EQ(shortOfArguments.cancel, VARIANT_FALSE);
    EXPECT_TRUE(events_.navigations.empty());

    // Without the frame's object the navigation is taken for a frame's.
    BeforeNavigate2 noFrame(nullptr, L"http://example.com/");
    EXPECT_EQ(noFrame.FireAt(Sink()), S_OK);
    EXPECT_EQ(noFrame.cancel, VARIANT_TRUE);
    ASSERT_EQ(events_.navigations.size(), 1u);
    EXPECT_FALSE(events_.navigations[0].topLevel);

    DISPPARAMS none{};
    EXPECT_EQ(Sink()->Invoke(DISPID_BEFORENAVIGATE2, IID_NULL, LOCALE_USER_DEFAULT,
                             DISPATCH_METHOD, nullptr, nullptr, nullptr, nullptr),
              E_INVALIDARG);
    EXPECT_EQ(Sink()->Invoke(DISPID_BEFORENAVIGATE2, IID_NULL, LOCALE_USER_DEFAULT,
                             DISPATCH_METHOD, &none, nullptr, nullptr, nullptr),
              S_OK);
    EXPECT_EQ(Sink()->Invoke(DISPID_DOCUMENTCOMPLETE, IID_NULL, LOCALE_USER_DEFAULT,
                             DISPATCH_METHOD, &none, nullptr, nullptr, nullptr),
              DISP_E_MEMBERNOTFOUND);
    EXPECT_EQ(Sink()->Invoke(DISPID_BEFORENAVIGATE2, IID_IDispatch, LOCALE_USER_DEFAULT,
                             DISPATCH_METHOD, &none, nullptr, nullptr, nullptr),
              DISP_E_UNKNOWNINTERFACE);
    EXPECT_EQ(events_.navigations.size(), 1u);
}

TEST_F(BrowserEventSinkTest, NewWindowsAreAlwaysRefusedAndOnlyTheThirdSaysWhere)
{
    NewWindow third(L"https://example.com/popup");
    EXPECT_EQ(third.Fire3(Sink()), S_OK);
    EXPECT_EQ(third.cancel, VARIANT_TRUE);
    EXPECT_EQ(third.window_, nullptr);
    EXPECT_EQ(events_.newWindows, std::vector<std::wstring>{L"https://example.com/popup"});

    NewWindow second(L"ignored");
    EXPECT_EQ(second.Fire2(Sink()), S_OK);
    EXPECT_EQ(second.cancel, VARIANT_TRUE);
    EXPECT_EQ(events_.newWindows.size(), 1u);

    // Refused even with nobody to ask.
    sink_->SetEvents(nullptr);
    NewWindow unheard(L"https://example.com/other");
    unheard.Fire3(Sink());
    EXPECT_EQ(unheard.cancel, VARIANT_TRUE);
    EXPECT_EQ(events_.newWindows.size(), 1u);
    EXPECT_TRUE(events_.navigations.empty());
}

TEST_F(BrowserEventSinkTest, DownloadsGoAheadOnlyAsDocuments)
{
    EXPECT_EQ(FileDownload(Sink(), true), VARIANT_FALSE);
    EXPECT_EQ(FileDownload(Sink(), false), VARIANT_TRUE);
}

TEST_F(BrowserEventSinkTest, NobodyAskedOnceDisconnected)
{
    events_.allow = false;
    sink_->Disconnect();
    BeforeNavigate2 event(Browser(), L"http://example.com/");
    EXPECT_EQ(event.FireAt(Sink()), S_OK);
    EXPECT_EQ(event.cancel, VARIANT_FALSE);
    NewWindow window(L"http://example.com/");
    window.Fire3(Sink());
    EXPECT_EQ(window.cancel, VARIANT_TRUE);
    EXPECT_TRUE(events_.navigations.empty());
    EXPECT_TRUE(events_.newWindows.empty());
}

TEST_F(BrowserEventSinkTest, IsAnEventInterfaceAndNothingElse)
{
    Microsoft::WRL::ComPtr<IUnknown> unknown;
    Microsoft::WRL::ComPtr<IDispatch> events;
    EXPECT_EQ(Sink()->QueryInterface(DIID_DWebBrowserEvents2, reinterpret_cast<void**>(events.GetAddressOf())), S_OK);
    EXPECT_EQ(events.Get(), Sink());
    EXPECT_EQ(Sink()->QueryInterface(IID_PPV_ARGS(&unknown)), S_OK);
    Microsoft::WRL::ComPtr<IConnectionPointContainer> container;
    EXPECT_EQ(Sink()->QueryInterface(IID_PPV_ARGS(&container)), E_NOINTERFACE);
    EXPECT_EQ(container, nullptr);
}
