// Figures of the plug-in as a file manager and its browser use it.
//
//   maff-bench PLUGIN ARCHIVE soak [REQUESTS]
//   maff-bench PLUGIN ARCHIVE floor [REQUESTS]
//
// soak: loads ARCHIVE into a viewer, then fetches its items through maff: URLs one after the
// other, as the browser does, printing the process's private bytes, handles, threads and URL
// cache entries at the start and after every tenth of the run.
// floor: the same fetches of a scheme served from memory by a trivial handler of the
// benchmark's own: what URL monikers cost without the plug-in.
#include "tools/urlfetch/UrlFetch.h"

#include <windows.h>
#include <ole2.h>
#include <psapi.h>
#include <tlhelp32.h>
#include <urlmon.h>
#include <wininet.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using ListLoadWProc = HWND(__stdcall*)(HWND, wchar_t*, int);
using ListCloseWindowProc = void(__stdcall*)(HWND);

template <typename T>
T Export(HMODULE module, const char* name)
{
    return reinterpret_cast<T>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

size_t ThreadCount()
{
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return 0;
    THREADENTRY32 entry{};
    entry.dwSize = sizeof(entry);
    size_t count = 0;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry))
        if (entry.th32OwnerProcessID == GetCurrentProcessId())
            ++count;
    CloseHandle(snapshot);
    return count;
}

size_t CacheEntryCount()
{
    std::vector<char> buffer(64 * 1024);
    DWORD size = static_cast<DWORD>(buffer.size());
    auto* entry = reinterpret_cast<INTERNET_CACHE_ENTRY_INFOW*>(buffer.data());
    const HANDLE find = FindFirstUrlCacheEntryW(nullptr, entry, &size);
    if (find == nullptr)
        return 0;
    size_t count = 1;
    for (;;) {
        size = static_cast<DWORD>(buffer.size());
        if (!FindNextUrlCacheEntryW(find, entry, &size))
            break;
        ++count;
    }
    FindCloseUrlCache(find);
    return count;
}

// The value the next new handle gets: it keeps growing when handles leak (Wine does not count
// a process's handles).
unsigned long NextHandleValue()
{
    const HANDLE probe = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    CloseHandle(probe);
    return static_cast<unsigned long>(reinterpret_cast<uintptr_t>(probe));
}

void PrintFigures(const char* label, int done, double seconds)
{
    PROCESS_MEMORY_COUNTERS memory{};
    memory.cb = sizeof(memory);
    GetProcessMemoryInfo(GetCurrentProcess(), &memory, sizeof(memory));
    std::printf("%-6s %7d requests %7.1f s  private %7.1f MiB  working set %7.1f MiB  "
                "next handle %6lu  threads %3zu  cache entries %5zu\n",
                label, done, seconds, memory.PagefileUsage / 1048576.0,
                memory.WorkingSetSize / 1048576.0, NextHandleValue(), ThreadCount(),
                CacheEntryCount());
    std::fflush(stdout);
}

// A handler that answers every URL at once from memory, on the caller's thread.
class FloorProtocol final : public IInternetProtocol {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID id, void** object) override
    {
        if (IsEqualIID(id, IID_IUnknown) || IsEqualIID(id, IID_IInternetProtocol) ||
            IsEqualIID(id, IID_IInternetProtocolRoot)) {
            *object = static_cast<IInternetProtocol*>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return InterlockedIncrement(&refs_); }
    ULONG STDMETHODCALLTYPE Release() override
    {
        const ULONG count = InterlockedDecrement(&refs_);
        if (count == 0)
            delete this;
        return count;
    }
    HRESULT STDMETHODCALLTYPE Start(LPCWSTR, IInternetProtocolSink* sink, IInternetBindInfo*,
                                    DWORD, HANDLE_PTR) override
    {
        const ULONG size = static_cast<ULONG>(body_.size());
        sink->ReportProgress(BINDSTATUS_MIMETYPEAVAILABLE, L"text/plain");
        sink->ReportData(BSCF_FIRSTDATANOTIFICATION, 0, size);
        sink->ReportData(BSCF_LASTDATANOTIFICATION | BSCF_DATAFULLYAVAILABLE, size, size);
        sink->ReportResult(S_OK, 200, nullptr);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Continue(PROTOCOLDATA*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Abort(HRESULT, DWORD) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE Terminate(DWORD) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE Suspend() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Resume() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Read(void* buffer, ULONG size, ULONG* read) override
    {
        const ULONG count = std::min<ULONG>(size, static_cast<ULONG>(body_.size() - position_));
        std::memcpy(buffer, body_.data() + position_, count);
        position_ += count;
        *read = count;
        return count > 0 ? S_OK : S_FALSE;
    }
    HRESULT STDMETHODCALLTYPE Seek(LARGE_INTEGER, DWORD, ULARGE_INTEGER*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE LockRequest(DWORD) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE UnlockRequest() override { return S_OK; }

private:
    LONG refs_ = 1;
    std::string body_ = std::string(1000, 'x');
    size_t position_ = 0;
};

class FloorFactory final : public IClassFactory {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID id, void** object) override
    {
        if (IsEqualIID(id, IID_IUnknown) || IsEqualIID(id, IID_IClassFactory)) {
            *object = static_cast<IClassFactory*>(this);
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID id, void** object) override
    {
        *object = nullptr;
        if (outer != nullptr)
            return CLASS_E_NOAGGREGATION;
        auto* protocol = new FloorProtocol();
        const HRESULT result = protocol->QueryInterface(id, object);
        protocol->Release();
        return result;
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }
};

constexpr CLSID CLSID_FloorProtocol = {0x7d1c2b3a, 0x4e5f, 0x4a6b, {0x9c, 1, 2, 3, 4, 5, 6, 7}};

// Fetches the URLs one after the other, printing figures after every tenth of the run.
int FetchRun(const std::vector<std::wstring>& urls, int requests)
{
    LARGE_INTEGER frequency{}, start{}, now{};
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    const auto seconds = [&] {
        QueryPerformanceCounter(&now);
        return double(now.QuadPart - start.QuadPart) / double(frequency.QuadPart);
    };
    PrintFigures("start", 0, 0);
    int failures = 0;
    for (int i = 1; i <= requests; ++i) {
        const auto got = kvfetch::FetchUrl(urls[static_cast<size_t>(i) % urls.size()]);
        if (FAILED(got.result))
            ++failures;
        if (i % std::max(1, requests / 10) == 0)
            PrintFigures("", i, seconds());
    }
    std::printf("failed requests: %d\n", failures);
    return failures == 0 ? 0 : 1;
}

int Soak(HMODULE plugin, const std::wstring& archive, int requests)
{
    auto load = Export<ListLoadWProc>(plugin, "ListLoadW");
    auto close = Export<ListCloseWindowProc>(plugin, "ListCloseWindow");
    if (load == nullptr || close == nullptr)
        return 1;
    const HWND host = CreateWindowExW(0, L"STATIC", L"bench", WS_OVERLAPPEDWINDOW, 0, 0, 800, 600,
                                      nullptr, nullptr, nullptr, nullptr);
    std::wstring file = archive;
    const HWND viewer = load(host, file.data(), 0);
    if (viewer == nullptr) {
        std::printf("ListLoadW refused %ls\n", archive.c_str());
        return 1;
    }
    const int status = FetchRun({L"maff://0*page/index.html", L"maff://0*page/style.css",
                                 L"maff://0*page/images/a.png", L"maff://0*page/data.bin",
                                 L"maff://0*page/missing.png"},
                                requests);
    close(viewer);
    DestroyWindow(host);
    return status;
}

int Floor(int requests)
{
    static FloorFactory factory;
    IInternetSession* session = nullptr;
    if (FAILED(CoInternetGetSession(0, &session, 0)))
        return 1;
    session->RegisterNameSpace(&factory, CLSID_FloorProtocol, L"floor", 0, nullptr, 0);
    const int status = FetchRun({L"floor://a/1.html", L"floor://a/2.css"}, requests);
    session->UnregisterNameSpace(&factory, L"floor");
    session->Release();
    return status;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 4) {
        std::fprintf(stderr, "usage: maff-bench PLUGIN ARCHIVE soak [REQUESTS]\n");
        return 2;
    }
    OleInitialize(nullptr);
    const HMODULE plugin = LoadLibraryW(argv[1]);
    if (plugin == nullptr) {
        std::printf("cannot load %ls (error %lu)\n", argv[1], GetLastError());
        return 1;
    }
    int status = 2;
    const int requests = argc > 4 ? _wtoi(argv[4]) : 10000;
    if (std::wstring(argv[3]) == L"soak")
        status = Soak(plugin, argv[2], requests);
    else if (std::wstring(argv[3]) == L"floor")
        status = Floor(requests);
    FreeLibrary(plugin);
    OleUninitialize();
    return status;
}
