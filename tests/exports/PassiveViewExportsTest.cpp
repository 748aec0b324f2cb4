// The viewer's navigation judgement in the built plug-in, through its exports in a host window:
// the real browser control is let through to the pages of the file shown, and of the next file
// after ListLoadNextW. The requests are seen by a recording maff: handler registered in this
// process's URL session above the plug-in's own, which answers that nothing exists (under Wine
// the control shows no page either way).
#include "tests/common/PluginLoader.h"
#include "tests/common/TestEnv.h"
#include "tests/exports/HostWindow.h"

#include <gtest/gtest.h>
#include <urlmon.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

using namespace kvtest;

namespace {

// {6E1B4C53-2A7D-4C1E-9F3B-8D2E5A7C9B10}
constexpr CLSID RecordingHandlerClass = {
    0x6e1b4c53, 0x2a7d, 0x4c1e, {0x9f, 0x3b, 0x8d, 0x2e, 0x5a, 0x7c, 0x9b, 0x10}};

struct Requests {
    std::mutex lock;
    std::vector<std::wstring> urls;

    std::vector<std::wstring> Snapshot()
    {
        std::lock_guard guard(lock);
        return urls;
    }
};

class RecordingProtocol final : public IInternetProtocol {
public:
    explicit RecordingProtocol(Requests& requests) : requests_(requests) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override
    {
        if (object == nullptr)
            return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IInternetProtocolRoot ||
            riid == IID_IInternetProtocol) {
            *object = static_cast<IInternetProtocol*>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
    ULONG STDMETHODCALLTYPE Release() override
    {
        const ULONG count = --references_;
        if (count == 0)
            delete this;
        return count;
    }

    HRESULT STDMETHODCALLTYPE Start(LPCWSTR url, IInternetProtocolSink*, IInternetBindInfo*, DWORD,
                                    HANDLE_PTR) override
    {
        std::lock_guard guard(requests_.lock);
        requests_.urls.emplace_back(url != nullptr ? url : L"");
        return INET_E_RESOURCE_NOT_FOUND;
    }
    HRESULT STDMETHODCALLTYPE Continue(PROTOCOLDATA*) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE Abort(HRESULT, DWORD) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE Terminate(DWORD) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE Suspend() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Resume() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Read(void*, ULONG, ULONG* read) override
    {
        if (read != nullptr)
            *read = 0;
        return S_FALSE;
    }
    HRESULT STDMETHODCALLTYPE Seek(LARGE_INTEGER, DWORD, ULARGE_INTEGER*) override
    {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE LockRequest(DWORD) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE UnlockRequest() override { return S_OK; }

private:
    ~RecordingProtocol() = default;
    std::atomic<ULONG> references_{1};
    Requests& requests_;
};

// Lives on the test's stack; COM's references to it end with the session registration.
class RecordingFactory final : public IClassFactory {
public:
    explicit RecordingFactory(Requests& requests) : requests_(requests) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override
    {
        if (object == nullptr)
            return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IClassFactory) {
            *object = static_cast<IClassFactory*>(this);
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** object) override
    {
        if (object == nullptr)
            return E_POINTER;
        *object = nullptr;
        if (outer != nullptr)
            return CLASS_E_NOAGGREGATION;
        auto* protocol = new RecordingProtocol(requests_);
        const HRESULT result = protocol->QueryInterface(riid, object);
        protocol->Release();
        return result;
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }

private:
    Requests& requests_;
};

class RecordingHandler {
public:
    RecordingHandler()
    {
        EXPECT_EQ(CoInternetGetSession(0, &session_, 0), S_OK);
        if (session_ != nullptr)
            EXPECT_EQ(session_->RegisterNameSpace(&factory_, RecordingHandlerClass, L"maff", 0,
                                                  nullptr, 0),
                      S_OK);
    }
    ~RecordingHandler()
    {
        if (session_ != nullptr) {
            session_->UnregisterNameSpace(&factory_, L"maff");
            session_->Release();
        }
    }
    RecordingHandler(const RecordingHandler&) = delete;
    RecordingHandler& operator=(const RecordingHandler&) = delete;

    Requests requests;

private:
    RecordingFactory factory_{requests};
    IInternetSession* session_ = nullptr;
};

bool EndsWith(const std::wstring& text, const std::wstring& end)
{
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// The first request for a URL ending so, waiting for the control's posted work; empty when
// none came within the time.
std::wstring WaitForRequest(Requests& requests, const std::wstring& end)
{
    const ULONGLONG deadline = GetTickCount64() + 5000;
    for (;;) {
        for (const std::wstring& url : requests.Snapshot())
            if (EndsWith(url, end))
                return url;
        if (GetTickCount64() >= deadline)
            return {};
        PumpMessages();
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
    }
}

// "maff://<id>" of a maff: URL.
std::wstring ArchiveOf(const std::wstring& url)
{
    const size_t star = url.find(L'*');
    return star == std::wstring::npos ? url : url.substr(0, star + 1);
}

} // namespace

TEST(PassiveViewExports, TheBrowserGoesToThePagesOfTheFileShownAndOfTheNext)
{
    Plugin plugin;
    ASSERT_NE(plugin.ListLoadW, nullptr);
    HostWindow host;
    // Started first, so that the recording handler is registered above the plug-in's.
    char detect[256] = {};
    plugin.ListGetDetectString(detect, sizeof(detect));
    RecordingHandler handler;

    std::wstring first = FixturePath(L"viewer-two-pages.maff");
    const HWND viewer = plugin.ListLoadW(host.Handle(), first.data(), 0);
    ASSERT_NE(viewer, nullptr);
    const std::wstring firstPage = WaitForRequest(handler.requests, L"first/index.html");
    ASSERT_FALSE(firstPage.empty()) << "the first page was never requested";
    EXPECT_EQ(firstPage.rfind(L"maff://", 0), 0u);

    std::wstring next = FixturePath(L"viewer-one-page.maff");
    ASSERT_EQ(plugin.ListLoadNextW(host.Handle(), viewer, next.data(), 0), 0);
    const std::wstring nextPage = WaitForRequest(handler.requests, L"only/index.html");
    ASSERT_FALSE(nextPage.empty()) << "the next file's page was never requested";
    EXPECT_NE(ArchiveOf(nextPage), ArchiveOf(firstPage));

    // Nothing but the archives' own pages was asked for.
    for (const std::wstring& url : handler.requests.Snapshot())
        EXPECT_TRUE(ArchiveOf(url) == ArchiveOf(firstPage) || ArchiveOf(url) == ArchiveOf(nextPage));
    plugin.ListCloseWindow(viewer);
    PumpMessages();
}
