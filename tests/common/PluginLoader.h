// Loads the built plug-in by path and binds its exports by name, as a host does.
#pragma once

#include <windows.h>

namespace kvtest {

struct ListDefaultParamStruct {
    int size;
    DWORD PluginInterfaceVersionLow;
    DWORD PluginInterfaceVersionHi;
    char DefaultIniName[MAX_PATH];
};

class Plugin {
public:
    Plugin();  // loads the plug-in at PluginPath()
    explicit Plugin(const wchar_t* path);
    ~Plugin();
    Plugin(const Plugin&) = delete;
    Plugin& operator=(const Plugin&) = delete;

    HMODULE Module() const { return module_; }

    void(__stdcall* ListGetDetectString)(char*, int) = nullptr;
    void(__stdcall* ListSetDefaultParams)(ListDefaultParamStruct*) = nullptr;
    HWND(__stdcall* ListLoad)(HWND, char*, int) = nullptr;
    HWND(__stdcall* ListLoadW)(HWND, wchar_t*, int) = nullptr;
    int(__stdcall* ListLoadNext)(HWND, HWND, char*, int) = nullptr;
    int(__stdcall* ListLoadNextW)(HWND, HWND, wchar_t*, int) = nullptr;
    void(__stdcall* ListCloseWindow)(HWND) = nullptr;
    int(__stdcall* ListSearchText)(HWND, char*, int) = nullptr;
    int(__stdcall* ListSearchTextW)(HWND, wchar_t*, int) = nullptr;
    int(__stdcall* ListSearchDialog)(HWND, int) = nullptr;
    int(__stdcall* ListSendCommand)(HWND, int, int) = nullptr;
    int(__stdcall* ListPrint)(HWND, char*, char*, int, RECT*) = nullptr;
    int(__stdcall* ListPrintW)(HWND, wchar_t*, wchar_t*, int, RECT*) = nullptr;
    HBITMAP(__stdcall* ListGetPreviewBitmap)(char*, int, int, char*, int) = nullptr;
    HBITMAP(__stdcall* ListGetPreviewBitmapW)(wchar_t*, int, int, char*, int) = nullptr;

private:
    void Bind();
    HMODULE module_ = nullptr;
};

} // namespace kvtest
