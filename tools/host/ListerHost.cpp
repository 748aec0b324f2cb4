// A small lister host: loads a plug-in by path as a file manager does and prints what it answers,
// including the pages the viewer lists for a file, read from its window as a user sees them.
//
//   lister-host PLUGIN [FILE] [--next FILE] [--ini FILE] [--show] [--fetch URL [--out FILE]]
//   lister-host PLUGIN FILE --thumbnail OUT.bmp [W H] [--ini FILE]
#include "shell/GdiHandles.h"
#include "shell/Handles.h"
#include "tools/urlfetch/UrlFetch.h"

#include <windows.h>
#include <ole2.h>

#include <algorithm>
#include <cstdio>
#include <cwctype>
#include <string>
#include <vector>

namespace {

struct ListDefaultParamStruct {
    int size;
    DWORD PluginInterfaceVersionLow;
    DWORD PluginInterfaceVersionHi;
    char DefaultIniName[MAX_PATH];
};

using ListGetDetectStringProc = void(__stdcall*)(char*, int);
using ListSetDefaultParamsProc = void(__stdcall*)(ListDefaultParamStruct*);
using ListLoadWProc = HWND(__stdcall*)(HWND, wchar_t*, int);
using ListLoadNextWProc = int(__stdcall*)(HWND, HWND, wchar_t*, int);
using ListCloseWindowProc = void(__stdcall*)(HWND);
using ListGetPreviewBitmapWProc = HBITMAP(__stdcall*)(wchar_t*, int, int, char*, int);
using ListGetPreviewBitmapProc = HBITMAP(__stdcall*)(char*, int, int, char*, int);

constexpr int lcp_wraptext = 1;
constexpr int lcp_fittowindow = 2;

constexpr wchar_t HostClassName[] = L"ListerHostWindow";

HWND viewer = nullptr;  // the plug-in's window inside the host window
ListCloseWindowProc closeViewer = nullptr;

template <typename T>
T Export(HMODULE module, const char* name)
{
    return reinterpret_cast<T>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

std::string Narrow(const std::wstring& text)
{
    if (text.empty())
        return {};
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string result(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, result.data(), size, nullptr, nullptr);
    result.resize(static_cast<size_t>(size - 1));
    return result;
}

int Usage()
{
    std::fprintf(stderr,
                 "usage: lister-host PLUGIN [FILE] [--next FILE] [--ini FILE] [--show]\n"
                 "                   [--fetch URL [--out FILE]]\n"
                 "       lister-host PLUGIN FILE --thumbnail OUT.bmp [W H] [--ini FILE]\n"
                 "  FILE         load FILE into a viewer and list its pages\n"
                 "  --next FILE  then load FILE into the same viewer and list again\n"
                 "  --ini FILE   the host INI file handed to the plug-in\n"
                 "  --show       show the window and wait until it is closed\n"
                 "  --fetch URL  fetch a maff: URL of the loaded archive as the browser does and\n"
                 "               print its status, type, size and first lines\n"
                 "  --out FILE   write the fetched bytes to FILE instead\n"
                 "  --thumbnail OUT.bmp [W H]\n"
                 "               ask for FILE's thumbnail of at most W x H pixels (200 x 200)\n"
                 "               as the thumbnail view does, and write it to OUT.bmp\n");
    return 2;
}

LRESULT CALLBACK HostWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_SIZE:
        // The host sizes the plug-in's window to its client area, as a file manager does.
        if (viewer != nullptr && IsWindow(viewer))
            MoveWindow(viewer, 0, 0, LOWORD(lParam), HIWORD(lParam), TRUE);
        return 0;
    case WM_CLOSE:
        // A file manager closes the plug-in's window before its own lister window goes.
        if (viewer != nullptr && closeViewer != nullptr && IsWindow(viewer))
            closeViewer(viewer);
        viewer = nullptr;
        DestroyWindow(window);
        return 0;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

HWND CreateHostWindow(const std::wstring& title)
{
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.lpfnWndProc = HostWindowProc;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_WINDOW + 1));
    windowClass.lpszClassName = HostClassName;
    RegisterClassExW(&windowClass);
    return CreateWindowExW(0, HostClassName, title.c_str(), WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN,
                           CW_USEDEFAULT, CW_USEDEFAULT, 800, 600, nullptr, nullptr,
                           GetModuleHandleW(nullptr), nullptr);
}

void FitViewer(HWND host)
{
    RECT client{};
    GetClientRect(host, &client);
    MoveWindow(viewer, 0, 0, client.right, client.bottom, TRUE);
}

// The drop-down list of pages, read from the viewer window as a user sees it.
void PrintPages(HWND window)
{
    const HWND combo = FindWindowExW(window, nullptr, L"ComboBox", nullptr);
    if (combo == nullptr) {
        std::printf("  (the viewer has no drop-down list)\n");
        return;
    }
    const LRESULT count = SendMessageW(combo, CB_GETCOUNT, 0, 0);
    const LRESULT selected = SendMessageW(combo, CB_GETCURSEL, 0, 0);
    std::printf("  %ld page(s)%s\n", static_cast<long>(count),
                selected == CB_ERR ? ", none selected" : "");
    for (LRESULT i = 0; i < count; ++i) {
        const LRESULT length = SendMessageW(combo, CB_GETLBTEXTLEN, static_cast<WPARAM>(i), 0);
        std::wstring label(length == CB_ERR ? 0 : static_cast<size_t>(length), L'\0');
        if (length != CB_ERR) {
            std::vector<wchar_t> buffer(static_cast<size_t>(length) + 1, L'\0');
            SendMessageW(combo, CB_GETLBTEXT, static_cast<WPARAM>(i),
                         reinterpret_cast<LPARAM>(buffer.data()));
            label.assign(buffer.data());
        }
        std::printf("  %s %ld: %s\n", i == selected ? "*" : " ", static_cast<long>(i),
                    Narrow(label).c_str());
    }
}

// Fetches a URL through URL monikers, as the browser control does for the viewer's pages.
bool Fetch(const std::wstring& url, const std::wstring& outFile)
{
    const kvfetch::FetchResult got = kvfetch::FetchUrl(url);
    std::printf("fetch %s: result 0x%08lx, status %lu, type %s, %zu bytes\n", Narrow(url).c_str(),
                static_cast<unsigned long>(got.result), static_cast<unsigned long>(got.status),
                got.mimeType.empty() ? "(none)" : Narrow(got.mimeType).c_str(), got.body.size());
    if (!outFile.empty()) {
        const HANDLE file = CreateFileW(outFile.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                        FILE_ATTRIBUTE_NORMAL, nullptr);
        DWORD written = 0;
        const bool ok = file != INVALID_HANDLE_VALUE &&
                        WriteFile(file, got.body.data(), static_cast<DWORD>(got.body.size()),
                                  &written, nullptr) &&
                        written == got.body.size();
        if (file != INVALID_HANDLE_VALUE)
            CloseHandle(file);
        std::printf("  %s %s\n", ok ? "written to" : "cannot write", Narrow(outFile).c_str());
        return ok && SUCCEEDED(got.result);
    }
    size_t start = 0;
    for (int line = 0; line < 6 && start < got.body.size(); ++line) {
        size_t end = got.body.find('\n', start);
        if (end == std::string::npos)
            end = got.body.size();
        std::string text = got.body.substr(start, std::min<size_t>(end - start, 100));
        while (!text.empty() && (text.back() == '\r' || text.back() == '\n'))
            text.pop_back();
        std::printf("  | %s\n", text.c_str());
        start = end + 1;
    }
    return SUCCEEDED(got.result);
}

// The file's first bytes, which a file manager hands to the thumbnail call.
std::string FirstBytes(const std::wstring& file)
{
    std::string bytes(8192, '\0');
    DWORD read = 0;
    const HANDLE handle = CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle != INVALID_HANDLE_VALUE) {
        if (!ReadFile(handle, bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr))
            read = 0;
        CloseHandle(handle);
    }
    bytes.resize(read);
    return bytes;
}

// Writes a bitmap as a 32-bit .bmp file.
bool WriteBitmapFile(HBITMAP bitmap, const std::wstring& outFile, int& width, int& height)
{
    BITMAP facts{};
    if (GetObjectW(bitmap, sizeof(facts), &facts) == 0)
        return false;
    width = facts.bmWidth;
    height = facts.bmHeight;
    BITMAPINFOHEADER header{};
    header.biSize = sizeof(header);
    header.biWidth = width;
    header.biHeight = height;  // bottom row first, as .bmp files usually are
    header.biPlanes = 1;
    header.biBitCount = 32;
    header.biCompression = BI_RGB;
    std::vector<char> pixels(static_cast<size_t>(width) * height * 4);
    const kv::WindowDc screen(nullptr);
    const int rows = GetDIBits(screen.Get(), bitmap, 0, static_cast<UINT>(height), pixels.data(),
                               reinterpret_cast<BITMAPINFO*>(&header), DIB_RGB_COLORS);
    if (rows != height)
        return false;
    BITMAPFILEHEADER file{};
    file.bfType = 0x4D42;  // "BM"
    file.bfOffBits = sizeof(file) + sizeof(header);
    file.bfSize = static_cast<DWORD>(file.bfOffBits + pixels.size());
    const kv::UniqueHandle output(CreateFileW(outFile.c_str(), GENERIC_WRITE, 0, nullptr,
                                             CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (output.get() == INVALID_HANDLE_VALUE)
        return false;
    const HANDLE handle = output.get();
    DWORD written = 0;
    DWORD total = 0;
    bool ok = WriteFile(handle, &file, sizeof(file), &written, nullptr);
    total += written;
    ok = ok && WriteFile(handle, &header, sizeof(header), &written, nullptr);
    total += written;
    ok = ok && WriteFile(handle, pixels.data(), static_cast<DWORD>(pixels.size()), &written, nullptr);
    total += written;
    return ok && total == file.bfSize;
}

// Asks for the file's thumbnail as a file manager's thumbnail view does: the Unicode export
// when there is one, else the ANSI one, with the file's first bytes.
int Thumbnail(HMODULE plugin, const std::wstring& file, const std::wstring& outFile, int width,
              int height)
{
    auto wide = Export<ListGetPreviewBitmapWProc>(plugin, "ListGetPreviewBitmapW");
    auto ansi = Export<ListGetPreviewBitmapProc>(plugin, "ListGetPreviewBitmap");
    if (wide == nullptr && ansi == nullptr) {
        std::printf("ListGetPreviewBitmap is not exported\n");
        return 1;
    }
    std::string content = FirstBytes(file);
    std::wstring name = file;
    kv::UniqueBitmap bitmap;  // the bitmap is the host's to delete
    if (wide != nullptr) {
        bitmap.reset(wide(name.data(), width, height, content.data(), static_cast<int>(content.size())));
    } else {
        std::string ansiName(MAX_PATH * 2, '\0');
        WideCharToMultiByte(CP_ACP, 0, name.c_str(), -1, ansiName.data(),
                            static_cast<int>(ansiName.size()) - 1, nullptr, nullptr);
        bitmap.reset(
            ansi(ansiName.data(), width, height, content.data(), static_cast<int>(content.size())));
    }
    if (!bitmap) {
        std::printf("thumbnail of %s (at most %d x %d): none given\n", Narrow(file).c_str(), width,
                    height);
        return 0;
    }
    int gotWidth = 0;
    int gotHeight = 0;
    const bool written = WriteBitmapFile(bitmap.get(), outFile, gotWidth, gotHeight);
    std::printf("thumbnail of %s (at most %d x %d): %d x %d, %s %s\n", Narrow(file).c_str(), width,
                height, gotWidth, gotHeight, written ? "written to" : "cannot write",
                Narrow(outFile).c_str());
    return written ? 0 : 1;
}

void PrintLoadResult(const char* what, const std::wstring& file, bool loaded)
{
    std::printf("%s %s: %s\n", what, Narrow(file).c_str(), loaded ? "loaded" : "not loaded");
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    SetConsoleOutputCP(CP_UTF8);
    if (argc < 2)
        return Usage();
    const std::wstring pluginPath = argv[1];
    std::wstring iniPath;
    std::wstring firstFile;
    std::wstring nextFile;
    std::wstring fetchUrl;
    std::wstring outFile;
    std::wstring thumbnailFile;
    int thumbnailWidth = 200;
    int thumbnailHeight = 200;
    bool show = false;
    for (int i = 2; i < argc; ++i) {
        const std::wstring arg = argv[i];
        if (arg == L"--ini" && i + 1 < argc)
            iniPath = argv[++i];
        else if (arg == L"--next" && i + 1 < argc)
            nextFile = argv[++i];
        else if (arg == L"--fetch" && i + 1 < argc)
            fetchUrl = argv[++i];
        else if (arg == L"--out" && i + 1 < argc)
            outFile = argv[++i];
        else if (arg == L"--thumbnail" && i + 1 < argc) {
            thumbnailFile = argv[++i];
            // The box is optional: two numbers, or neither.
            if (i + 2 < argc && iswdigit(argv[i + 1][0]) && iswdigit(argv[i + 2][0])) {
                thumbnailWidth = _wtoi(argv[++i]);
                thumbnailHeight = _wtoi(argv[++i]);
            }
        } else if (arg == L"--show")
            show = true;
        else if (!arg.starts_with(L"--") && firstFile.empty())
            firstFile = arg;
        else
            return Usage();
    }
    if (firstFile.empty() && (!nextFile.empty() || show || !fetchUrl.empty()))
        return Usage();
    if (!outFile.empty() && fetchUrl.empty())
        return Usage();
    if (!thumbnailFile.empty() &&
        (firstFile.empty() || !nextFile.empty() || show || !fetchUrl.empty()))
        return Usage();

    // A file manager's user-interface thread hosts OLE controls.
    const bool oleInitialized = SUCCEEDED(OleInitialize(nullptr));

    HMODULE plugin = LoadLibraryW(pluginPath.c_str());
    if (plugin == nullptr) {
        std::printf("%s: cannot load (error %lu)\n", Narrow(pluginPath).c_str(), GetLastError());
        return 1;
    }
    std::printf("plug-in:       %s\n", Narrow(pluginPath).c_str());

    if (auto setDefaults = Export<ListSetDefaultParamsProc>(plugin, "ListSetDefaultParams")) {
        ListDefaultParamStruct params{};
        params.size = sizeof(params);
        params.PluginInterfaceVersionLow = 50;
        params.PluginInterfaceVersionHi = 2;
        WideCharToMultiByte(CP_ACP, 0, iniPath.c_str(), -1, params.DefaultIniName, MAX_PATH - 1,
                            nullptr, nullptr);
        setDefaults(&params);
    }

    auto detect = Export<ListGetDetectStringProc>(plugin, "ListGetDetectString");
    if (detect == nullptr) {
        std::printf("ListGetDetectString is not exported\n");
        FreeLibrary(plugin);
        return 1;
    }
    std::vector<char> buffer(1024, '\0');
    detect(buffer.data(), static_cast<int>(buffer.size()));
    std::printf("detect string: %s\n", buffer.data());

    int status = 0;
    if (!thumbnailFile.empty()) {
        // The thumbnail view opens no viewer.
        status = Thumbnail(plugin, firstFile, thumbnailFile, thumbnailWidth, thumbnailHeight);
    } else if (!firstFile.empty()) {
        auto load = Export<ListLoadWProc>(plugin, "ListLoadW");
        auto loadNext = Export<ListLoadNextWProc>(plugin, "ListLoadNextW");
        auto close = Export<ListCloseWindowProc>(plugin, "ListCloseWindow");
        closeViewer = close;
        if (load == nullptr || loadNext == nullptr || close == nullptr) {
            std::printf("the plug-in lacks ListLoadW, ListLoadNextW or ListCloseWindow\n");
            FreeLibrary(plugin);
            return 1;
        }
        const HWND host = CreateHostWindow(L"Lister - " + firstFile);
        if (host == nullptr) {
            std::printf("cannot create the host window (error %lu)\n", GetLastError());
            FreeLibrary(plugin);
            return 1;
        }
        viewer = load(host, firstFile.data(), lcp_wraptext | lcp_fittowindow);
        PrintLoadResult("ListLoadW", firstFile, viewer != nullptr);
        if (viewer == nullptr) {
            status = 1;
        } else {
            FitViewer(host);
            PrintPages(viewer);
            if (!nextFile.empty()) {
                const int result = loadNext(host, viewer, nextFile.data(), lcp_wraptext | lcp_fittowindow);
                PrintLoadResult("ListLoadNextW", nextFile, result == 0);
                PrintPages(viewer);
                if (result != 0)
                    status = 1;
            }
            if (!fetchUrl.empty() && !Fetch(fetchUrl, outFile))
                status = 1;
        }
        std::fflush(stdout);
        if (show && viewer != nullptr) {
            ShowWindow(host, SW_SHOWNORMAL);
            UpdateWindow(host);
            MSG message;
            while (GetMessageW(&message, nullptr, 0, 0) > 0) {
                TranslateMessage(&message);
                DispatchMessageW(&message);
            }
        }
        if (viewer != nullptr && IsWindow(viewer))
            close(viewer);
        viewer = nullptr;
        if (IsWindow(host))
            DestroyWindow(host);
    }

    FreeLibrary(plugin);
    if (oleInitialized)
        OleUninitialize();
    return status;
}
