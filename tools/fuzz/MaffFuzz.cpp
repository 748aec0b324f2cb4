// Runs mutated archives through what a quick view runs: page discovery, then every item and
// page fetched through the maff: handler, in this process, under a watchdog.
//
//   maff-fuzz SEEDS FINDINGS [--seed N] [--cases N] [--first K] [--huge-documents 0|1]
//   maff-fuzz --replay FILE        runs one saved input, with the time of each request
//
// SEEDS is a folder of archives to mutate (every file up to 1 MiB); FINDINGS receives each
// input that crashed or hung, as <crash|hang>-<seed>-<case>.maff with a .txt beside it that says
// what was done to it. The run is a driver that starts this program again as a child for the
// cases; when a child dies, the driver records the case and starts another from the next one.
// Case K of seed N is always the same bytes, so "--seed N --first K --cases 1" repeats it.
#include "archive/ArchiveCache.h"
#include "lang/ShellLang.h"
#include "plugin/PageDiscovery.h"
#include "protocol/ArchiveRegistry.h"
#include "protocol/MaffProtocol.h"
#include "shell/ComFactory.h"
#include "tools/fuzz/FuzzCases.h"
#include "tools/urlfetch/RecordingSink.h"

#include <windows.h>
#include <ole2.h>
#include <psapi.h>
#include <urlmon.h>
#include <wrl/client.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

using Microsoft::WRL::ComPtr;

namespace {

// A case that runs longer than this is a hang: the user's file manager would stall.
constexpr ULONGLONG CaseTimeLimitMs = 2000;
constexpr UINT CrashExitCode = 0xC0DE0001;
constexpr UINT HangExitCode = 0xC0DE0002;
constexpr uint64_t MaxSeedSize = 1 << 20;
// A shown page makes this many requests at most (a large saved page has a few hundred
// resources); archives of thousands of items are fetched in part, their first items.
constexpr int MaxFetchedPages = 100;
constexpr int MaxFetchedItems = 400;

// What the child tells the driver, in memory that outlives the child.
struct SharedState {
    volatile LONG64 current;      // the case running now, or the last one started
    volatile LONG64 run;          // cases finished
    volatile LONG64 slowestCase;
    volatile LONG64 slowestMs;
    volatile LONG64 peakPrivate;  // bytes
    volatile LONG64 caseStart;    // GetTickCount64 when the case began; 0 between cases
    volatile LONG hang;
};

SharedState* state = nullptr;
std::wstring findings;

std::wstring CurrentInput() { return findings + L"\\current.maff"; }
std::wstring CurrentNote() { return findings + L"\\current.txt"; }

// Appends a line to the note of the running case; safe enough for a dying process.
void Note(const char* text)
{
    const HANDLE file = CreateFileW(CurrentNote().c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr,
                                    OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return;
    DWORD written = 0;
    WriteFile(file, text, static_cast<DWORD>(strlen(text)), &written, nullptr);
    CloseHandle(file);
}

LONG WINAPI CrashFilter(EXCEPTION_POINTERS* info)
{
    char text[128];
    snprintf(text, sizeof text, "crash: exception %08lx at %p\n",
             info->ExceptionRecord->ExceptionCode, info->ExceptionRecord->ExceptionAddress);
    Note(text);
    TerminateProcess(GetCurrentProcess(), CrashExitCode);
    return EXCEPTION_EXECUTE_HANDLER;
}

void Terminated()
{
    Note("crash: std::terminate\n");
    TerminateProcess(GetCurrentProcess(), CrashExitCode);
}

DWORD WINAPI Watchdog(void*)
{
    for (;;) {
        Sleep(50);
        const ULONGLONG start = static_cast<ULONGLONG>(state->caseStart);
        if (start != 0 && GetTickCount64() - start > CaseTimeLimitMs) {
            Note("hang: the case ran longer than 2 s\n");
            state->hang = 1;
            TerminateProcess(GetCurrentProcess(), HangExitCode);
        }
    }
}

bool verbose = false;

void Fetch(IClassFactory& factory, const std::wstring& url)
{
    const ULONGLONG start = GetTickCount64();
    ComPtr<IInternetProtocol> protocol;
    if (FAILED(factory.CreateInstance(nullptr, IID_PPV_ARGS(&protocol))))
        return;
    kvfetch::RecordingSink sink(0);  // a synchronous bind without a cache file
    if (SUCCEEDED(protocol->Start(url.c_str(), &sink, &sink, 0, 0))) {
        static char buffer[64 * 1024];
        ULONG read = 0;
        while (protocol->Read(buffer, sizeof buffer, &read) == S_OK) {
        }
    }
    protocol->Terminate(0);
    if (verbose)
        std::printf("%6llu ms  %.200ls\n", GetTickCount64() - start, url.c_str());
}

// What a quick view of the file runs: the viewer's discovery, then the browser's requests for
// the pages and for every item the pages could link.
void RunCase(IClassFactory& factory, const std::wstring& path, const std::wstring& archiveId)
{
    std::vector<std::wstring> urls;
    try {
        const auto archive = kv::OpenSharedArchive(path);
        kv::PageList pages;
        kv::VectorLabelList labels;
        {
            const kv::TSharedArchive::Lease lease = archive->Borrow();
            // The viewer stops at the first failure; the scans run apart here to reach both.
            try {
                kv::RunIndexScan(archiveId, lease.Reader(), pages, labels);
            } catch (...) {
            }
            try {
                kv::RunFallbackScan(archiveId, lease.Reader(), pages, labels);
            } catch (...) {
            }
        }
        for (int i = 0; i < std::min(pages.Count(), MaxFetchedPages); ++i)
            urls.push_back(pages[i]);
        for (int i = 0; i < std::min(archive->NameCount(), MaxFetchedItems); ++i) {
            std::wstring name = archive->Names()[static_cast<size_t>(i)];
            std::replace(name.begin(), name.end(), L'\\', L'/');
            urls.push_back(L"maff://" + archiveId + name);
        }
    } catch (...) {
        // An archive that cannot be opened shows nothing: a handled failure.
    }
    for (const std::wstring& url : urls)
        Fetch(factory, url);
}

std::string ReadFileBytes(const std::wstring& path)
{
    std::string bytes;
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return bytes;
    bytes.resize(GetFileSize(file, nullptr));
    DWORD read = 0;
    ReadFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr);
    bytes.resize(read);
    CloseHandle(file);
    return bytes;
}

std::vector<std::string> ReadSeeds(const std::wstring& folder)
{
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW found{};
    const HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &found);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            const uint64_t size = (uint64_t{found.nFileSizeHigh} << 32) | found.nFileSizeLow;
            if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && size <= MaxSeedSize &&
                found.cFileName[0] != L'.')
                names.push_back(found.cFileName);
        } while (FindNextFileW(find, &found));
        FindClose(find);
    }
    std::sort(names.begin(), names.end());  // the same seeds in the same order on every run
    std::vector<std::string> seeds;
    for (const auto& name : names) {
        seeds.push_back(ReadFileBytes(folder + L"\\" + name));
    }
    return seeds;
}

void WriteFileBytes(const std::wstring& path, const std::string& bytes)
{
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                    CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return;
    DWORD written = 0;
    WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
}

uint64_t PeakPrivateBytes()
{
    PROCESS_MEMORY_COUNTERS memory{};
    memory.cb = sizeof(memory);
    GetProcessMemoryInfo(GetCurrentProcess(), &memory, sizeof(memory));
    return memory.PeakPagefileUsage;
}

void StartInProcess()
{
    OleInitialize(nullptr);
    kv::InitializeLanguageTables();
    kv::CreateArchiveRegistry();
}

// Runs one saved input, printing each request's time.
int Replay(const std::wstring& path)
{
    StartInProcess();
    auto& factory = kv::CreateExtensionFactory(kv::ExtensionClassOf<kv::TProtocolExtension1>(), false);
    factory.ShowErrors = false;
    verbose = true;
    const ULONGLONG start = GetTickCount64();
    RunCase(factory, path, kv::RegisterArchive(path).Id());
    std::printf("%llu ms in all\n", GetTickCount64() - start);
    return 0;
}

int Child(const std::wstring& seedFolder, uint64_t seed, uint64_t first, uint64_t count, bool huge)
{
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
    SetUnhandledExceptionFilter(CrashFilter);
    std::set_terminate(Terminated);
    StartInProcess();
    auto& factory = kv::CreateExtensionFactory(kv::ExtensionClassOf<kv::TProtocolExtension1>(), false);
    factory.ShowErrors = false;
    const std::vector<std::string> seeds = ReadSeeds(seedFolder);
    const std::wstring path = CurrentInput();
    const kv::TArchiveRegistration archive = kv::RegisterArchive(path);
    const std::wstring& archiveId = archive.Id();
    CloseHandle(CreateThread(nullptr, 0, Watchdog, nullptr, 0, nullptr));

    for (uint64_t index = first; index < first + count; ++index) {
        const kvfuzz::FuzzCase input = kvfuzz::MakeCase(seeds, seed, index, huge);
        // The input is on disk before it runs, so a crash or hang leaves it behind.
        const std::string note = "seed " + std::to_string(seed) + " case " + std::to_string(index) +
                                 "\n" + input.description + "\n";
        WriteFileBytes(CurrentNote(), note);
        WriteFileBytes(path, input.bytes);
        state->current = static_cast<LONG64>(index);
        const ULONGLONG start = GetTickCount64();
        state->caseStart = static_cast<LONG64>(start);
        try {
            RunCase(factory, path, archiveId);
        } catch (...) {
        }
        const auto elapsed = static_cast<LONG64>(GetTickCount64() - start);
        state->caseStart = 0;
        if (elapsed > state->slowestMs) {
            state->slowestMs = elapsed;
            state->slowestCase = static_cast<LONG64>(index);
            // What the slowest case was, for a look at what comes near the limit.
            CopyFileW(CurrentNote().c_str(), (findings + L"\\slowest.txt").c_str(), FALSE);
        }
        // The file must be closed before it can be replaced by the next case.
        kv::CloseAllArchives();
        DeleteFileW(path.c_str());
        DeleteFileW(CurrentNote().c_str());
        state->run = state->run + 1;
        if (index % 64 == 0)
            state->peakPrivate = std::max<LONG64>(static_cast<LONG64>(state->peakPrivate), static_cast<LONG64>(PeakPrivateBytes()));
    }
    state->peakPrivate = std::max<LONG64>(static_cast<LONG64>(state->peakPrivate), static_cast<LONG64>(PeakPrivateBytes()));
    TerminateProcess(GetCurrentProcess(), 0);  // no unload work: the run is over
    return 0;
}

std::wstring Quoted(const std::wstring& text) { return L"\"" + text + L"\""; }

int Driver(const std::wstring& self, const std::wstring& seeds, uint64_t seed, uint64_t first,
           uint64_t count, bool huge)
{
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    const HANDLE mapping = CreateFileMappingW(INVALID_HANDLE_VALUE, &inherit, PAGE_READWRITE, 0,
                                              sizeof(SharedState), nullptr);
    state = static_cast<SharedState*>(MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, 0));
    if (state == nullptr)
        return 2;
    CreateDirectoryW(findings.c_str(), nullptr);
    const ULONGLONG started = GetTickCount64();
    uint64_t crashes = 0, hangs = 0, launches = 0;
    LONG64 peak = 0;
    uint64_t next = first;
    const uint64_t end = first + count;
    while (next < end) {
        state->current = static_cast<LONG64>(next) - 1;
        state->hang = 0;
        state->peakPrivate = 0;
        std::wstring command = Quoted(self) + L" --child " +
                               std::to_wstring(reinterpret_cast<uintptr_t>(mapping)) + L" " +
                               Quoted(seeds) + L" " + Quoted(findings) + L" " + std::to_wstring(seed) +
                               L" " + std::to_wstring(next) + L" " + std::to_wstring(end - next) +
                               (huge ? L" 1" : L" 0");
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION process{};
        if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                            &startup, &process)) {
            std::printf("cannot start the fuzzing child (error %lu)\n", GetLastError());
            return 2;
        }
        ++launches;
        WaitForSingleObject(process.hProcess, INFINITE);
        DWORD exitCode = 0;
        GetExitCodeProcess(process.hProcess, &exitCode);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
        peak = std::max<LONG64>(peak, static_cast<LONG64>(state->peakPrivate));
        if (exitCode == 0)
            break;
        const auto failed = static_cast<uint64_t>(state->current);
        if (state->current < static_cast<LONG64>(next)) {
            std::printf("the fuzzing child failed before its first case (exit code %08lx)\n", exitCode);
            return 2;
        }
        const bool hang = state->hang != 0 || exitCode == HangExitCode;
        (hang ? hangs : crashes) += 1;
        const std::wstring stem = findings + L"\\" + (hang ? L"hang-" : L"crash-") +
                                  std::to_wstring(seed) + L"-" + std::to_wstring(failed);
        MoveFileExW(CurrentInput().c_str(), (stem + L".maff").c_str(), MOVEFILE_REPLACE_EXISTING);
        MoveFileExW(CurrentNote().c_str(), (stem + L".txt").c_str(), MOVEFILE_REPLACE_EXISTING);
        std::printf("%s in case %llu (exit code %08lx): %ls.maff\n", hang ? "hang" : "crash",
                    static_cast<unsigned long long>(failed), exitCode, stem.c_str());
        std::fflush(stdout);
        next = failed + 1;
    }
    const double seconds = double(GetTickCount64() - started) / 1000.0;
    std::printf("cases run %llu, crashes %llu, hangs %llu, slowest case %llu (%lld ms), peak private "
                "memory %.1f MiB, %.1f s (%.0f cases/s), %llu processes\n",
                static_cast<unsigned long long>(count), static_cast<unsigned long long>(crashes),
                static_cast<unsigned long long>(hangs), static_cast<unsigned long long>(state->slowestCase),
                static_cast<long long>(state->slowestMs), double(peak) / 1048576.0, seconds,
                double(count) / std::max(seconds, 0.001), static_cast<unsigned long long>(launches));
    return crashes + hangs == 0 ? 0 : 1;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc >= 9 && std::wstring(argv[1]) == L"--child") {
        const HANDLE mapping = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(_wcstoui64(argv[2], nullptr, 10)));
        state = static_cast<SharedState*>(MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, 0));
        if (state == nullptr)
            return 2;
        findings = argv[4];
        return Child(argv[3], _wcstoui64(argv[5], nullptr, 10), _wcstoui64(argv[6], nullptr, 10),
                     _wcstoui64(argv[7], nullptr, 10), argv[8][0] == L'1');
    }
    if (argc == 3 && std::wstring(argv[1]) == L"--replay")
        return Replay(argv[2]);
    if (argc < 3) {
        std::fprintf(stderr, "usage: maff-fuzz SEEDS FINDINGS [--seed N] [--cases N] [--first K]\n");
        return 2;
    }
    uint64_t seed = 1, cases = 1000, first = 0, huge = 1;
    for (int i = 3; i + 1 < argc; i += 2) {
        const std::wstring option = argv[i];
        const uint64_t value = _wcstoui64(argv[i + 1], nullptr, 10);
        if (option == L"--seed")
            seed = value;
        else if (option == L"--cases")
            cases = value;
        else if (option == L"--first")
            first = value;
        else if (option == L"--huge-documents")
            huge = value;
    }
    findings = argv[2];
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    return Driver(self, argv[1], seed, first, cases, huge != 0);
}
