// Figures of the plug-in as a file manager and its browser use it.
//
//   maff-bench PLUGIN page ARCHIVE...          the cost of showing a page (see Page below)
//   maff-bench PLUGIN list ARCHIVE...          the cost of listing an archive's pages (see List)
//   maff-bench PLUGIN soak ARCHIVE [CYCLES [REQUESTS [FLOOR]]]
//                                              viewer open/close cycles, then a long run of
//                                              requests and a run of FLOOR requests served by a
//                                              trivial handler, with the process's figures
//   maff-bench PLUGIN floor [REQUESTS]         the run of requests served by the trivial handler
//   maff-bench PLUGIN load ARCHIVE [THREADS [REQUESTS]]
//                                              threads fetching the archive's items at once,
//                                              every byte compared with the item's bytes
//
// The process runs on one CPU (except under load): under Wine a round trip to the Wine server
// costs several times more when the two run on different CPUs, which would drown the figures
// in noise.
#include "archive/ArchiveCache.h"
#include "archive/ArchiveCallbacks.h"
#include "archive/ArchiveLibrary.h"
#include "archive/FileStream7z.h"
#include "archive/MaffZipFile.h"
#include "archive/PropVariant.h"
#include "plugin/ItemPaths.h"
#include "plugin/KestrelForm.h"
#include "plugin/PageDiscovery.h"
#include "plugin/WebBrowserHost.h"
#include "shell/Strings.h"
#include "tools/urlfetch/UrlFetch.h"

#include <windows.h>
#include <msxml2.h>
#include <ole2.h>
#include <psapi.h>
#include <shlwapi.h>
#include <tlhelp32.h>
#include <urlmon.h>
#include <wininet.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <unordered_map>
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

double PrivateMiB()
{
    PROCESS_MEMORY_COUNTERS memory{};
    memory.cb = sizeof(memory);
    GetProcessMemoryInfo(GetCurrentProcess(), &memory, sizeof(memory));
    return memory.PagefileUsage / 1048576.0;
}

// Prints the process's figures; answers the private bytes in MiB.
double PrintFigures(const char* label, int done, double seconds, const char* unit = "requests")
{
    PROCESS_MEMORY_COUNTERS memory{};
    memory.cb = sizeof(memory);
    GetProcessMemoryInfo(GetCurrentProcess(), &memory, sizeof(memory));
    std::printf("%-6s %7d %-8s %7.1f s  private %7.1f MiB  working set %7.1f MiB  "
                "next handle %6lu  threads %3zu  user %4lu  gdi %4lu  cache entries %5zu\n",
                label, done, unit, seconds, memory.PagefileUsage / 1048576.0,
                memory.WorkingSetSize / 1048576.0, NextHandleValue(), ThreadCount(),
                GetGuiResources(GetCurrentProcess(), GR_USEROBJECTS),
                GetGuiResources(GetCurrentProcess(), GR_GDIOBJECTS), CacheEntryCount());
    std::fflush(stdout);
    return memory.PagefileUsage / 1048576.0;
}

double SecondsSince(const LARGE_INTEGER& start)
{
    LARGE_INTEGER frequency{}, now{};
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&now);
    return double(now.QuadPart - start.QuadPart) / double(frequency.QuadPart);
}

void PumpMessages()
{
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
}

// Growth of private bytes per 1,000 units after warm-up: from the first tenth of the run to
// its end, so that what the first uses load once stays out of it.
void PrintGrowth(const char* what, const std::vector<double>& privateMiB, int total)
{
    if (privateMiB.size() < 3 || total < 10)
        return;
    const double units = double(total) * double(privateMiB.size() - 2) / double(privateMiB.size() - 1);
    std::printf("growth after warm-up: %.3f MiB per 1,000 %s\n",
                (privateMiB.back() - privateMiB[1]) * 1000.0 / units, what);
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
    HRESULT STDMETHODCALLTYPE Start(LPCWSTR url, IInternetProtocolSink* sink, IInternetBindInfo*,
                                    DWORD, HANDLE_PTR) override
    {
        // A bind that never ends keeps the thread's URL-moniker helper window alive, so that a
        // run of single binds does not pay for making it again each time.
        if (std::wstring(url).find(L"hold") != std::wstring::npos)
            return S_OK;
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
    LARGE_INTEGER start{};
    QueryPerformanceCounter(&start);
    std::vector<double> privateMiB{PrintFigures("start", 0, 0)};
    int failures = 0;
    for (int i = 1; i <= requests; ++i) {
        const auto got = kvfetch::FetchUrl(urls[static_cast<size_t>(i) % urls.size()]);
        if (FAILED(got.result))
            ++failures;
        if (i % std::max(1, requests / 10) == 0)
            privateMiB.push_back(PrintFigures("", i, SecondsSince(start)));
    }
    std::printf("failed requests: %d\n", failures);
    PrintGrowth("requests", privateMiB, requests);
    return failures == 0 ? 0 : 1;
}

// The trivial handler registered in the process's URL session while the object lives.
class FloorRegistration {
public:
    FloorRegistration()
    {
        if (SUCCEEDED(CoInternetGetSession(0, &session_, 0)))
            session_->RegisterNameSpace(&factory_, CLSID_FloorProtocol, L"floor", 0, nullptr, 0);
    }
    ~FloorRegistration()
    {
        if (session_ != nullptr) {
            session_->UnregisterNameSpace(&factory_, L"floor");
            session_->Release();
        }
    }
    FloorRegistration(const FloorRegistration&) = delete;
    FloorRegistration& operator=(const FloorRegistration&) = delete;

private:
    FloorFactory factory_;
    IInternetSession* session_ = nullptr;
};

// A file manager's lister: the plug-in's load and close exports and a window to host viewers.
struct Lister {
    explicit Lister(HMODULE plugin)
        : load(Export<ListLoadWProc>(plugin, "ListLoadW")),
          close(Export<ListCloseWindowProc>(plugin, "ListCloseWindow")),
          host(CreateWindowExW(0, L"STATIC", L"bench", WS_OVERLAPPEDWINDOW, 0, 0, 800, 600, nullptr,
                               nullptr, nullptr, nullptr))
    {
    }
    ~Lister()
    {
        if (host != nullptr)
            DestroyWindow(host);
    }
    Lister(const Lister&) = delete;
    Lister& operator=(const Lister&) = delete;

    bool Usable() const { return load != nullptr && close != nullptr && host != nullptr; }
    // A viewer of the archive, or null (said on the output).
    HWND Open(const std::wstring& archive) const
    {
        std::wstring file = archive;
        const HWND viewer = load(host, file.data(), 0);
        if (viewer == nullptr)
            std::printf("ListLoadW refused %ls\n", archive.c_str());
        return viewer;
    }

    ListLoadWProc load;
    ListCloseWindowProc close;
    HWND host;
};

// Viewer open/close cycles as a user paging through files makes them: ListLoadW, the messages
// it leaves, ListCloseWindow.
int ViewerCycles(const Lister& lister, const std::wstring& archive, int cycles)
{
    LARGE_INTEGER start{};
    QueryPerformanceCounter(&start);
    std::vector<double> privateMiB{PrintFigures("start", 0, 0, "viewers")};
    int refused = 0;
    for (int i = 1; i <= cycles; ++i) {
        std::wstring file = archive;
        const HWND viewer = lister.load(lister.host, file.data(), 0);
        PumpMessages();
        if (viewer == nullptr)
            ++refused;
        else
            lister.close(viewer);
        PumpMessages();
        if (i % std::max(1, cycles / 10) == 0)
            privateMiB.push_back(PrintFigures("", i, SecondsSince(start), "viewers"));
    }
    std::printf("refused viewers: %d\n", refused);
    PrintGrowth("viewer cycles", privateMiB, cycles);
    return refused == 0 ? 0 : 1;
}

// Viewer cycles without a single bind, then requests to one viewer's archive, then the same
// number of requests to the trivial handler: what the URL-moniker layer grows by itself is
// the floor's growth, the plug-in's own is the difference.
int Soak(HMODULE plugin, const std::wstring& archive, int cycles, int requests, int floorRequests)
{
    const Lister lister(plugin);
    if (!lister.Usable())
        return 1;
    std::printf("== %d viewer cycles\n", cycles);
    int status = ViewerCycles(lister, archive, cycles);

    const HWND viewer = lister.Open(archive);
    if (viewer == nullptr)
        return 1;
    FloorRegistration floor;
    {
        // A bind that stays open, as a browser showing a page has one.
        kvfetch::PendingFetch held(L"floor://hold");
        std::printf("== %d maff: requests\n", requests);
        status |= FetchRun({L"maff://0*page/index.html", L"maff://0*page/style.css",
                            L"maff://0*page/images/a.png", L"maff://0*page/data.bin",
                            L"maff://0*page/missing.png"},
                           requests);
        // Wine's own cost per bind grows with the binds made so far: a shorter floor run
        // gives its growth per 1,000 requests in a fraction of the time.
        std::printf("== %d requests to the trivial handler (the floor)\n", floorRequests);
        status |= FetchRun({L"floor://a/1.html", L"floor://a/2.css"}, floorRequests);
    }
    lister.close(viewer);
    PumpMessages();
    return status;
}

int Floor(int requests)
{
    FloorRegistration floor;
    return FetchRun({L"floor://a/1.html", L"floor://a/2.css"}, requests);
}

// Threads that each fetch the archive's items through URL monikers, comparing every byte.
int Load(HMODULE plugin, const std::wstring& archive, int threads, int requests)
{
    const Lister lister(plugin);
    if (!lister.Usable())
        return 1;
    const HWND viewer = lister.Open(archive);
    if (viewer == nullptr)
        return 1;
    // What each item must read as: the archive's own bytes (a later item of a name replaces
    // an earlier one, as the handler serves it).
    std::unordered_map<std::wstring, std::string> expected;
    {
        kv::TMaffZipFile reader(archive);
        for (int i = 0; i < reader.NameCount(); ++i) {
            const auto size = reader.DeclaredSize(i);
            if (!size || *size == 0)
                continue;  // folders and empty items
            const auto data = reader.ExtractItem(i)->Data();
            std::wstring name = reader.GetName(i);
            std::replace(name.begin(), name.end(), L'\\', L'/');
            expected[L"maff://0*" + name] = std::string(data.begin(), data.end());
        }
    }
    std::vector<std::pair<std::wstring, std::string>> items(expected.begin(), expected.end());
    std::sort(items.begin(), items.end());
    if (items.empty())
        return 1;
    FloorRegistration floor;
    std::atomic<long> mismatches{0}, failures{0};
    LARGE_INTEGER start{};
    QueryPerformanceCounter(&start);
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&, t] {
            OleInitialize(nullptr);
            {
                kvfetch::PendingFetch held(L"floor://hold");
                for (int j = 0; j < requests; ++j) {
                    const auto& item = items[static_cast<size_t>(t * 7 + j) % items.size()];
                    const kvfetch::FetchResult got = kvfetch::FetchUrl(item.first);
                    if (FAILED(got.result) || got.status != 200)
                        ++failures;
                    else if (got.body != item.second)
                        ++mismatches;
                }
            }
            OleUninitialize();
        });
    }
    for (auto& worker : workers)
        worker.join();
    const double seconds = SecondsSince(start);
    const long total = long(threads) * requests;
    std::printf("%d threads x %d requests over %zu items: %.1f s, %.0f requests/s, %ld mismatches, "
                "%ld failed requests, peak private %.1f MiB\n",
                threads, requests, items.size(), seconds, double(total) / seconds,
                mismatches.load(), failures.load(), PrivateMiB());
    lister.close(viewer);
    return mismatches == 0 && failures == 0 ? 0 : 1;
}


double Milliseconds(LARGE_INTEGER from, LARGE_INTEGER to)
{
    static LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f{};
        QueryPerformanceFrequency(&f);
        return f;
    }();
    return double(to.QuadPart - from.QuadPart) * 1000.0 / double(frequency.QuadPart);
}

template <typename Work>
double Timed(Work&& work)
{
    LARGE_INTEGER start{}, end{};
    QueryPerformanceCounter(&start);
    work();
    QueryPerformanceCounter(&end);
    return Milliseconds(start, end);
}

// The median of three runs: single runs under Wine jump now and then.
template <typename Work>
double Median3(Work&& work)
{
    double times[3];
    for (double& t : times)
        t = Timed(work);
    std::sort(std::begin(times), std::end(times));
    return times[1];
}

double WorkingSetMiB(bool peak)
{
    PROCESS_MEMORY_COUNTERS memory{};
    memory.cb = sizeof(memory);
    GetProcessMemoryInfo(GetCurrentProcess(), &memory, sizeof(memory));
    return (peak ? memory.PeakWorkingSetSize : memory.WorkingSetSize) / 1048576.0;
}

// The floor answers no header queries, so its status reads 0.
bool AllServed(const std::vector<kvfetch::FetchResult>& results)
{
    return std::all_of(results.begin(), results.end(), [](const kvfetch::FetchResult& r) {
        return r.result == S_OK && (r.status == 200 || r.status == 0) && !r.body.empty();
    });
}

// The cost of showing the page of 200 resources in each archive: ListLoadW until the list is
// filled (split into the reader's open and listing, the parsing of the descriptions, and the
// rest), the 200 fetches through URL monikers one at a time and six at a time, the same
// fetches served from memory by a trivial handler (the floor, which the plug-in cannot
// remove), and one open plus 200 extractions through the reader alone (the bound).
int Page(HMODULE plugin, const std::vector<std::wstring>& archives)
{
    const Lister lister(plugin);
    if (!lister.Usable())
        return 1;
    const auto load = lister.load;
    const auto close = lister.close;
    const HWND host = lister.host;
    FloorRegistration floor;
    std::vector<std::wstring> resources = {L"page/index.html"};
    for (int i = 1; i < 200; ++i)
        resources.push_back(kv::FormatString(L"page/res/r%03d.%ls", i, i % 10 == 0 ? L"css" : L"png"));
    std::vector<std::wstring> floorUrls;
    for (const auto& r : resources)
        floorUrls.push_back(L"floor://bench/" + r);

    // The first viewer of the process pays for loading the browser control and the archive
    // library: a warm-up load keeps that out of the figures.
    if (!archives.empty()) {
        std::wstring first = archives.front();
        if (const HWND viewer = load(host, first.data(), 0))
            close(viewer);
    }
    int archiveId = 0;  // the warm-up registered the first archive under the id it keeps
    std::printf("%8s | %9s %9s | %9s %9s | %9s | %8s %8s | %8s %8s %8s %8s | %8s %8s | %8s\n",
                "items", "fetch x1", "fetch x6", "floor x1", "floor x6", "bound", "cost/bd1",
                "cost/bd6", "ListLoad", "open", "parse", "rest", "load/bd", "WS MiB", "wait");
    int status = 0;
    for (const std::wstring& archive : archives) {
        // The file is read once before anything is timed, so that no figure pays for the disk.
        double openMs = 0, parseMs = 0, boundMs = 0;
        size_t items = 0;
        {
            kv::TMaffZipFile warm(archive);
            items = warm.Names().size();
        }
        {
            std::unique_ptr<kv::TMaffZipFile> reader;
            openMs = Median3([&] { reader = std::make_unique<kv::TMaffZipFile>(archive); });
            parseMs = Median3([&] {
                kv::PageList pages;
                kv::VectorLabelList labels;
                kv::RunIndexScan(L"0*", *reader, pages, labels);
            });
            boundMs = Median3([&] {
                kv::TMaffZipFile bound(archive);
                std::unordered_map<std::wstring, int> index;
                for (int i = 0; i < bound.NameCount(); ++i)
                    index[bound.GetName(i)] = i;
                for (const auto& r : resources) {
                    std::wstring name = r;
                    std::replace(name.begin(), name.end(), L'/', L'\\');
                    bound.ExtractItem(index.at(name));
                }
            });
        }
        // Six threads fetch the page's items while a seventh unpacks an 8 MiB item three
        // times, through the shared archive alone: the longest any of them waited for a reader.
        double longestWaitMs = 0;
        {
            const auto shared = kv::OpenSharedArchive(archive);
            std::vector<std::thread> threads;
            threads.emplace_back([&] {
                for (int i = 0; i < 3; ++i)
                    shared->ExtractItem(shared->FindItem(L"site\\big.bin"));
            });
            for (int t = 0; t < 6; ++t) {
                threads.emplace_back([&] {
                    for (const auto& r : resources) {
                        std::wstring name = r;
                        std::replace(name.begin(), name.end(), L'/', L'\\');
                        shared->ExtractItem(shared->FindItem(name));
                    }
                });
            }
            for (auto& thread : threads)
                thread.join();
            longestWaitMs = shared->LongestWait().count() / 1000.0;
        }
        kv::CloseAllArchives();
        const double workingSetBefore = WorkingSetMiB(false);
        std::wstring file = archive;
        HWND viewer = nullptr;
        const double loadMs = Timed([&] { viewer = load(host, file.data(), 0); });
        if (viewer == nullptr) {
            std::printf("ListLoadW refused %ls\n", archive.c_str());
            status = 1;
            continue;
        }
        std::vector<std::wstring> urls;
        const std::wstring base = L"maff://" + std::to_wstring(archiveId++) + L"*";
        for (const auto& r : resources)
            urls.push_back(base + r);

        std::vector<kvfetch::FetchResult> results;
        bool served = true;
        const auto run = [&](const std::vector<std::wstring>& list, size_t parallel) {
            return Median3([&] {
                results = kvfetch::FetchUrls(list, parallel);
                served = served && AllServed(results);
            });
        };
        // A bind that stays open for the whole run, as a browser showing a page has.
        kvfetch::PendingFetch held(L"floor://hold");
        const double fetch1 = run(urls, 1);
        const double fetch6 = run(urls, 6);
        const double floor1 = run(floorUrls, 1);
        const double floor6 = run(floorUrls, 6);
        const double workingSetAfter = WorkingSetMiB(false);
        close(viewer);
        if (!served)
            status = 1;
        std::printf("%8zu | %9.1f %9.1f | %9.1f %9.1f | %9.1f | %8.2f %8.2f | %8.1f %8.1f %8.1f %8.1f | %8.2f %8.1f | %8.1f\n",
                    items, fetch1, fetch6, floor1, floor6, boundMs, (fetch1 - floor1) / boundMs,
                    (fetch6 - floor6) / boundMs, loadMs, openMs, parseMs, loadMs - openMs - parseMs,
                    loadMs / (openMs + parseMs), workingSetAfter - workingSetBefore, longestWaitMs);
        std::fflush(stdout);
    }
    std::printf("times in ms (medians of 3); cost/bd = (fetch - floor) / bound; load/bd = ListLoadW / "
                "(open + parse); WS MiB = working set added by the archive's viewer and its fetches; "
                "wait = longest wait for a reader while 6 threads fetch beside an 8 MiB extraction; "
                "peak working set %.1f MiB%s\n",
                WorkingSetMiB(true), status == 0 ? "" : "; SOME FETCHES FAILED");
    return status;
}

// Receives every item of one Extract call into a string of its own, and nothing else: the
// least a reader can do with the bytes.
class CollectingExtract final : public kv::IArchiveExtractCallback, public kv::ISequentialOutStream {
public:
    explicit CollectingExtract(size_t items) : bytes(items) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID id, void** object) override
    {
        if (IsEqualIID(id, IID_IUnknown) || IsEqualIID(id, kv::IID_IArchiveExtractCallback))
            *object = static_cast<kv::IArchiveExtractCallback*>(this);
        else if (IsEqualIID(id, kv::IID_ISequentialOutStream))
            *object = static_cast<kv::ISequentialOutStream*>(this);
        else
            return *object = nullptr, E_NOINTERFACE;
        return S_OK;
    }
    // Lives on the caller's stack for the one call.
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE SetTotal(UINT64) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE SetCompleted(const UINT64*) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE GetStream(UINT32 index, kv::ISequentialOutStream** out, INT32) override
    {
        current_ = index;
        *out = this;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE PrepareOperation(INT32) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE SetOperationResult(INT32 result) override
    {
        failed |= result != kv::kExtractOK;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Write(const void* data, UINT32 size, UINT32* processed) override
    {
        auto& target = bytes.at(slots.at(current_));
        target.append(static_cast<const char*>(data), size);
        if (processed != nullptr)
            *processed = size;
        return S_OK;
    }

    std::vector<std::string> bytes;
    std::unordered_map<UINT32, size_t> slots;  // item index -> place in bytes
    bool failed = false;

private:
    UINT32 current_ = 0;
};

constexpr CLSID BenchDomDocument60 = {
    0x88D96A05, 0xF192, 0x11D4, {0xA6, 0x5F, 0x00, 0x40, 0x96, 0x32, 0x51, 0xE5}};
constexpr IID BenchXmlDomDocument = {
    0x2933BF81, 0x7B36, 0x11D2, {0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98, 0x3E, 0x60}};

// The irreducible part of listing an archive's pages, done with the library and the parser
// directly: open the archive, read every item's path and folder flag, unpack every
// description with one Extract call, load each into one XML document and read the three
// values a page is listed by. Times in ms.
struct ListingFloor {
    double open = 0, listing = 0, parse = 0;
    size_t items = 0, descriptions = 0;
};

// The "RDF:resource" value of the description's children that name a page's start file,
// address and title, by the most direct route through the parsed document.
size_t ReadPageValues(IXMLDOMDocument* document)
{
    using Microsoft::WRL::ComPtr;
    size_t found = 0;
    ComPtr<IXMLDOMElement> root;
    ComPtr<IXMLDOMNode> description;
    if (FAILED(document->get_documentElement(&root)) || !root ||
        FAILED(root->get_firstChild(&description)) || !description)
        return 0;
    ComPtr<IXMLDOMNode> child;
    description->get_firstChild(&child);
    BSTR attribute = SysAllocString(L"RDF:resource");
    while (child) {
        BSTR name = nullptr;
        child->get_nodeName(&name);
        if (name != nullptr && (wcscmp(name, L"MAF:indexfilename") == 0 ||
                                wcscmp(name, L"MAF:originalurl") == 0 || wcscmp(name, L"MAF:title") == 0)) {
            ComPtr<IXMLDOMNamedNodeMap> attributes;
            ComPtr<IXMLDOMNode> value;
            VARIANT text;
            VariantInit(&text);
            if (SUCCEEDED(child->get_attributes(&attributes)) && attributes &&
                SUCCEEDED(attributes->getNamedItem(attribute, &value)) && value &&
                SUCCEEDED(value->get_nodeValue(&text)))
                ++found;
            VariantClear(&text);
        }
        SysFreeString(name);
        ComPtr<IXMLDOMNode> next;
        child->get_nextSibling(&next);
        child = std::move(next);
    }
    SysFreeString(attribute);
    return found;
}

// The floor's reader, kept open between its parts.
class FloorReader {
public:
    explicit FloorReader(const std::wstring& archive) : archive_(archive)
    {
        kv::LoadArchiveLibrary();
        CoCreateInstance(BenchDomDocument60, nullptr, CLSCTX_INPROC_SERVER, BenchXmlDomDocument,
                         reinterpret_cast<void**>(document_.GetAddressOf()));
        if (document_)
            document_->put_async(VARIANT_FALSE);
    }

    void Open()
    {
        using Microsoft::WRL::ComPtr;
        reader_.Reset();
        kv::ArchiveLibraryEntries().CreateObject(&kv::ZipHandlerClassId, &kv::IID_IInArchive,
                                                 reinterpret_cast<void**>(reader_.GetAddressOf()));
        const auto file = kv::MakeInterfaced<kv::Torv7zFileStream>(archive_, STGM_READ | STGM_SHARE_DENY_NONE);
        ComPtr<kv::IInStream> stream;
        file->QueryInterface(kv::IID_IInStream, &stream);
        const auto callback = kv::MakeInterfaced<kv::TOpenCallback>(kv::MaxArchiveItems);
        ComPtr<kv::IArchiveOpenCallback> openCallback;
        callback->QueryInterface(kv::IID_IArchiveOpenCallback, &openCallback);
        const UINT64 maxStart = kv::MaxArchiveStartOffset;
        ok_ = reader_->Open(stream.Get(), &maxStart, openCallback.Get()) == S_OK;
    }

    void List()
    {
        UINT32 count = 0;
        reader_->GetNumberOfItems(&count);
        names_.assign(count, {});
        folders_.assign(count, false);
        for (UINT32 i = 0; i < count; ++i) {
            PROPVARIANT value{};
            reader_->GetProperty(i, kv::kpidPath, &value);
            kv::PropVariantToString(value, names_[i]);
            kv::ClearPropVariant(value);
            reader_->GetProperty(i, kv::kpidIsDir, &value);
            folders_[i] = value.vt == VT_BOOL && value.boolVal != VARIANT_FALSE;
            kv::ClearPropVariant(value);
        }
        descriptions_.clear();
        for (UINT32 i = 0; i < count; ++i)
            if (!folders_[i] && kv::SameTextIgnoreCase(kv::ItemFileName(names_[i]), L"index.rdf"))
                descriptions_.push_back(i);
    }

    void Parse()
    {
        using Microsoft::WRL::ComPtr;
        CollectingExtract collected(descriptions_.size());
        for (size_t i = 0; i < descriptions_.size(); ++i)
            collected.slots[descriptions_[i]] = i;
        reader_->Extract(descriptions_.data(), static_cast<UINT32>(descriptions_.size()), 0, &collected);
        ok_ = ok_ && !collected.failed && document_;
        for (const std::string& bytes : collected.bytes) {
            if (!document_)
                break;
            ComPtr<IStream> stream;
            stream.Attach(SHCreateMemStream(reinterpret_cast<const BYTE*>(bytes.data()),
                                            static_cast<UINT>(bytes.size())));
            VARIANT source;
            VariantInit(&source);
            source.vt = VT_UNKNOWN;
            source.punkVal = stream.Get();
            VARIANT_BOOL loaded = VARIANT_FALSE;
            ok_ = ok_ && SUCCEEDED(document_->load(source, &loaded)) && loaded == VARIANT_TRUE &&
                  ReadPageValues(document_.Get()) == 3;
        }
    }

    bool Ok() const { return ok_; }
    size_t Items() const { return names_.size(); }
    size_t Descriptions() const { return descriptions_.size(); }

private:
    std::wstring archive_;
    Microsoft::WRL::ComPtr<kv::IInArchive> reader_;
    Microsoft::WRL::ComPtr<IXMLDOMDocument> document_;
    std::vector<std::wstring> names_;
    std::vector<bool> folders_;
    std::vector<UINT32> descriptions_;
    bool ok_ = true;
};

// A copy of the archive under a name of its own: the plug-in keeps archives it opened for a
// few seconds, and every timed load must open the file afresh.
std::wstring FreshCopy(const std::wstring& archive, int run)
{
    std::wstring copy = archive + L"." + std::to_wstring(run) + L".maff";
    if (!CopyFileW(archive.c_str(), copy.c_str(), FALSE))
        return archive;
    return copy;
}

// The least of the runs: on a machine shared with other work, what a run costs without being
// held up by it.
double Best(const std::vector<double>& values)
{
    return values.empty() ? 0 : *std::min_element(values.begin(), values.end());
}

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

// The cost of listing an archive's pages: ListLoadW until the list is filled and the first page
// navigated to, against what no reader can avoid (ListingFloor), timed in turns so that both
// see the same machine. Apart from them: the viewer window with its list and browser control
// made alone, the control alone and a navigation of it to a blank page, which ListLoadW
// includes and which cost what the platform's controls cost.
int List(HMODULE plugin, const std::vector<std::wstring>& archives)
{
    constexpr int Runs = 9;
    const Lister lister(plugin);
    if (!lister.Usable())
        return 1;
    std::printf("%8s %6s | %9s | %8s %8s %8s | %6s | %8s %8s %8s %8s\n", "items", "pages",
                "ListLoadW", "open", "listing", "parse", "ratio", "scan", "window", "browser",
                "navigate");
    int status = 0;
    int run = 0;
    for (const std::wstring& archive : archives) {
        std::vector<std::wstring> copies;
        for (int i = 0; i <= Runs; ++i)
            copies.push_back(FreshCopy(archive, run++));
        // The first load of a process pays for the browser control's and the library's code:
        // a warm-up load of a copy keeps it out of the figures.
        if (const HWND viewer = lister.Open(copies[0])) {
            lister.close(viewer);
            PumpMessages();
        }
        FloorReader floor(archive);
        floor.Open();
        floor.List();
        floor.Parse();
        std::vector<double> load, open, listing, parse, scan;
        for (int i = 1; i <= Runs; ++i) {
            open.push_back(Timed([&] { floor.Open(); }));
            listing.push_back(Timed([&] { floor.List(); }));
            parse.push_back(Timed([&] { floor.Parse(); }));
            {
                kv::TMaffZipFile reader(archive);
                scan.push_back(Timed([&] {
                    kv::PageList pages;
                    kv::VectorLabelList labels;
                    kv::RunIndexScan(L"0*", reader, pages, labels);
                    kv::RunFallbackScan(L"0*", reader, pages, labels);
                }));
            }
            std::wstring file = copies[static_cast<size_t>(i)];
            HWND viewer = nullptr;
            load.push_back(Timed([&] { viewer = lister.load(lister.host, file.data(), 0); }));
            if (viewer == nullptr) {
                std::printf("ListLoadW refused %ls\n", file.c_str());
                status = 1;
            } else {
                lister.close(viewer);
            }
            PumpMessages();
        }
        if (!floor.Ok()) {
            std::printf("the floor could not read every description of %ls\n", archive.c_str());
            status = 1;
        }
        std::vector<double> window, browser, navigate;
        for (int i = 0; i < Runs; ++i) {
            kv::TKestrelForm* form = nullptr;
            window.push_back(Timed([&] { form = kv::TKestrelForm::Create(lister.host, kv::CreateWebBrowser); }));
            form->Destroy();
            std::unique_ptr<kv::IViewerBrowser> control;
            browser.push_back(Timed([&] { control = kv::CreateWebBrowser(lister.host); }));
            navigate.push_back(Timed([&] { control->Navigate(L"about:blank"); }));
            control.reset();
            PumpMessages();
        }
        // Each turn's ListLoadW against the floor timed just before it: a stretch of the other
        // work on the machine slows both alike.
        std::vector<double> ratios;
        for (size_t i = 0; i < load.size(); ++i)
            ratios.push_back(load[i] / (open[i] + listing[i] + parse[i]));
        const double loadMs = Best(load), openMs = Best(open), listingMs = Best(listing),
                     parseMs = Best(parse);
        std::printf("%8zu %6zu | %9.1f | %8.1f %8.1f %8.1f | %6.2f | %8.1f %8.1f %8.1f %8.1f\n",
                    floor.Items(), floor.Descriptions(), loadMs, openMs, listingMs, parseMs,
                    Median(ratios), Best(scan), Best(window), Best(browser), Best(navigate));
        std::fflush(stdout);
        for (const std::wstring& copy : copies)
            if (copy != archive)
                DeleteFileW(copy.c_str());
    }
    std::printf("times in ms (best of %d, in turns); ratio = ListLoadW / (open + listing + parse), "
                "the median of the turns' ratios; "
                "parse = every description unpacked by one extraction, loaded into one XML document "
                "and its three values read; scan = the plug-in's page discovery over an open reader; "
                "window = the viewer window with its list and browser "
                "control, browser = the control, navigate = its navigation to a blank page: made "
                "apart, all part of ListLoadW\n", Runs);
    return status;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: maff-bench PLUGIN page ARCHIVE...\n"
                             "       maff-bench PLUGIN list ARCHIVE...\n"
                             "       maff-bench PLUGIN soak ARCHIVE [CYCLES [REQUESTS [FLOOR]]]\n"
                             "       maff-bench PLUGIN floor [REQUESTS]\n"
                             "       maff-bench PLUGIN load ARCHIVE [THREADS [REQUESTS]]\n");
        return 2;
    }
    const std::wstring mode = argv[2];
    // Threads under load run on every CPU, as a browser's do.
    if (mode != L"load")
        SetProcessAffinityMask(GetCurrentProcess(), 1);
    OleInitialize(nullptr);
    const HMODULE plugin = LoadLibraryW(argv[1]);
    if (plugin == nullptr) {
        std::printf("cannot load %ls (error %lu)\n", argv[1], GetLastError());
        return 1;
    }
    int status = 2;
    if (mode == L"page")
        status = Page(plugin, std::vector<std::wstring>(argv + 3, argv + argc));
    else if (mode == L"list")
        status = List(plugin, std::vector<std::wstring>(argv + 3, argv + argc));
    else if (mode == L"soak" && argc > 3)
        status = Soak(plugin, argv[3], argc > 4 ? _wtoi(argv[4]) : 2000, argc > 5 ? _wtoi(argv[5]) : 100000,
                      argc > 6 ? _wtoi(argv[6]) : 20000);
    else if (mode == L"load" && argc > 3)
        status = Load(plugin, argv[3], argc > 4 ? _wtoi(argv[4]) : 16, argc > 5 ? _wtoi(argv[5]) : 1000);
    else if (mode == L"floor")
        status = Floor(argc > 3 ? _wtoi(argv[3]) : 10000);
    FreeLibrary(plugin);
    OleUninitialize();
    return status;
}
