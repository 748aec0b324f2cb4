// The host's last FreeLibrary while the URL-moniker layer goes on calling the plug-in: a
// thread combines maff: links in a loop across the unload, and requests follow it. Once its
// scheme is in the process's URL session the plug-in stays mapped until the process ends, so
// nothing the session may call can disappear, and nothing of the unload waits under the
// loader lock for a thread inside the session.
#include "tests/common/PluginLoader.h"
#include "tests/common/TestEnv.h"
#include "tests/exports/HostWindow.h"
#include "tools/urlfetch/UrlFetch.h"

#include "shell/Handles.h"

#include <gtest/gtest.h>
#include <urlmon.h>

#include <atomic>
#include <cstdlib>
#include <cwchar>
#include <memory>
#include <string>

using namespace kvtest;
using kvfetch::FetchResult;
using kvfetch::FetchUrl;

namespace {

// The archive the viewer registers first in a process; a pinned plug-in keeps the number.
const std::wstring Item = L"maff://0*page/data.bin";

// Ends the program when a thread of the test hangs: it still uses the test's state, so the
// test can neither go on nor return. The programs' main reports the abort with the test's name.
[[noreturn]] void Abandon(const char* hung)
{
    ADD_FAILURE() << hung;
    std::abort();
}

template <class Work>
DWORD WINAPI RunWork(void* work)
{
    (*static_cast<Work*>(work))();
    return 0;
}

// Runs work on a thread of its own; the handle lets the test wait for it with a limit.
template <class Work>
kv::UniqueHandle StartThread(Work& work)
{
    return kv::UniqueHandle(CreateThread(nullptr, 0, &RunWork<Work>, &work, 0, nullptr));
}

// Combines a link against a maff: page over and over on a thread of its own, as a browser
// resolving a page's links does.
class CombineLoop {
public:
    CombineLoop() : thread_(StartThread(*this)) { EXPECT_NE(thread_.get(), nullptr); }
    ~CombineLoop() { Stop(); }
    CombineLoop(const CombineLoop&) = delete;
    CombineLoop& operator=(const CombineLoop&) = delete;

    // True once `count` more combinations have been made.
    bool Advances(long count, DWORD timeoutMs = 10000) const
    {
        const long target = calls_.load() + count;
        const ULONGLONG deadline = GetTickCount64() + timeoutMs;
        while (calls_.load() < target) {
            if (GetTickCount64() > deadline)
                return false;
            Sleep(1);
        }
        return true;
    }
    void Stop()
    {
        stop_ = true;
        if (thread_ != nullptr && WaitForSingleObject(thread_.get(), 10000) != WAIT_OBJECT_0)
            Abandon("the combining thread hangs");
        thread_.reset();
    }
    long Failed() const { return failed_.load(); }
    long Wrong() const { return wrong_.load(); }

    // The thread's work.
    void operator()()
    {
        while (!stop_) {
            wchar_t combined[256] = {};
            DWORD length = 0;
            const HRESULT result = CoInternetCombineUrl(L"maff://0*p/index.html", L"a.png", 0,
                                                        combined, 256, &length, 0);
            if (result != S_OK)
                ++failed_;
            else if (std::wcscmp(combined, L"maff://0*p/a.png") != 0)
                ++wrong_;
            ++calls_;
        }
    }

private:
    std::atomic<bool> stop_{false};
    std::atomic<long> calls_{0};
    std::atomic<long> failed_{0};
    std::atomic<long> wrong_{0};
    kv::UniqueHandle thread_;
};

// The plug-in loaded and started as a host has it, with the test archive open in a viewer.
struct LoadedPlugin {
    LoadedPlugin() : plugin(std::make_unique<Plugin>())
    {
        if (plugin->ListLoadW == nullptr)
            return;
        std::wstring archive = FixturePath(L"protocol-items.maff");
        viewer = plugin->ListLoadW(host.Handle(), archive.data(), 0);
        EXPECT_NE(viewer, nullptr);
    }
    // The host closes its viewer and lets go of its reference.
    void Unload()
    {
        if (viewer != nullptr)
            plugin->ListCloseWindow(viewer);
        viewer = nullptr;
        plugin.reset();
    }

    HostWindow host;
    std::unique_ptr<Plugin> plugin;
    HWND viewer = nullptr;
};

} // namespace

TEST(Unload, LastFreeLibraryWhileLinksAreCombinedNeitherHangsNorCrashes)
{
    HostWindow host;  // the host's thread, initialised for OLE
    const std::wstring path = PluginPath();
    auto plugin = std::make_unique<Plugin>();
    ASSERT_NE(plugin->ListSetDefaultParams, nullptr);
    ListDefaultParamStruct params{};
    params.size = sizeof(params);
    params.PluginInterfaceVersionLow = 50;
    params.PluginInterfaceVersionHi = 2;
    plugin->ListSetDefaultParams(&params);  // starts it: the scheme is in the session
    // A second reference, as a host that loaded the plug-in twice holds: both go.
    HMODULE second = LoadLibraryW(path.c_str());
    ASSERT_NE(second, nullptr);

    CombineLoop loop;
    ASSERT_TRUE(loop.Advances(20)) << "no link was combined";
    FreeLibrary(second);
    plugin.reset();
    const ULONGLONG unloaded = GetTickCount64();
    // The session goes on calling the plug-in's code after the host's last reference is gone,
    // for long enough that anything the unload set off happens under the loop.
    EXPECT_TRUE(loop.Advances(20)) << "combining stalled after the unload";
    while (GetTickCount64() - unloaded < 1000)
        Sleep(10);
    loop.Stop();
    EXPECT_EQ(loop.Failed(), 0);
    EXPECT_EQ(loop.Wrong(), 0);

    EXPECT_NE(GetModuleHandleW(path.c_str()), nullptr) << "the plug-in was unmapped";
    // Still the plug-in's scheme: the item, or the error page when no viewer of this process
    // has opened the archive.
    const FetchResult after = FetchUrl(Item);
    EXPECT_EQ(after.result, S_OK);
    EXPECT_TRUE(after.status == 200u ||
                (after.status == 502u && after.body.find("<h1>ERROR</h1>") != std::string::npos))
        << after.status << " " << after.body;
}

TEST(Unload, RequestsInFlightAcrossTheUnloadAreServedOrRefusedAndALaterLoadServesAgain)
{
    auto loaded = std::make_unique<LoadedPlugin>();
    ASSERT_NE(loaded->viewer, nullptr);
    const std::string data = FetchUrl(Item).body;
    ASSERT_FALSE(data.empty());

    std::atomic<int> started{0};
    std::atomic<int> served{0};
    std::atomic<int> refused{0};
    std::atomic<int> wrong{0};
    auto browse = [&] {
        OleInitialize(nullptr);
        for (int i = 0; i < 40; ++i) {
            ++started;
            const FetchResult got = FetchUrl(Item);
            if (got.status == 200 && got.body == data)
                ++served;
            else if (got.status == 502 &&
                     got.body.find("List index out of bounds (0)") != std::string::npos)
                ++refused;  // the viewer is closed: its archive is no longer served
            else
                ++wrong;
        }
        OleUninitialize();
    };
    kv::UniqueHandle browser = StartThread(browse);
    ASSERT_NE(browser.get(), nullptr);
    while (started.load() < 2 && WaitForSingleObject(browser.get(), 1) == WAIT_TIMEOUT) {
    }
    loaded->Unload();
    if (WaitForSingleObject(browser.get(), 60000) != WAIT_OBJECT_0)
        Abandon("the requests hang");
    EXPECT_GE(served.load(), 1);
    EXPECT_EQ(served.load() + refused.load(), 40);
    EXPECT_EQ(wrong.load(), 0);
    loaded.reset();

    // Loaded again in the same process: the same plug-in, which opens and serves as before.
    LoadedPlugin again;
    ASSERT_NE(again.viewer, nullptr);
    EXPECT_EQ(FetchUrl(Item).body, data);
    again.Unload();
}

TEST(Unload, ALibraryThatNeverStartedUnloadsAndAStartedOneStaysMapped)
{
    TempFolder folder;
    const std::wstring extension = PluginPath().substr(PluginPath().rfind(L'.'));
    const std::wstring copy = folder.Copy(PluginPath(), L"kv-never-started" + extension);
    {
        Plugin plugin(copy.c_str());
        ASSERT_NE(plugin.Module(), nullptr);
    }
    EXPECT_EQ(GetModuleHandleW(copy.c_str()), nullptr);

    // The plug-in the host starts: it is in the URL session and stays.
    const std::wstring path = PluginPath();
    {
        Plugin plugin;
        ASSERT_NE(plugin.ListGetDetectString, nullptr);
        char detect[64] = {};
        plugin.ListGetDetectString(detect, sizeof(detect));
        EXPECT_STRNE(detect, "");
    }
    EXPECT_NE(GetModuleHandleW(path.c_str()), nullptr);
}
