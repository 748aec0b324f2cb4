// The exported lister functions. Every export catches every failure and answers the
// interface's failure result: nothing may escape into the host.
#include "archive/ArchiveLibrary.h"
#include "plugin/KestrelForm.h"
#include "plugin/ListerApi.h"
#include "plugin/PreviewBitmap.h"
#include "plugin/XmlDocument.h"
#include "plugin/entry/Startup.h"
#include "shell/Exceptions.h"
#include "shell/Strings.h"

#include <cstring>
#include <optional>

using namespace kv;

namespace {

// Start-up is idempotent; the exports that cannot fail still do their work when it fails.
void TryStartUp() noexcept
{
    try {
        EnsureStarted();
    } catch (...) {
    }
}

std::optional<std::wstring> WideArgument(const wchar_t* text)
{
    if (text == nullptr)
        return std::nullopt;
    return std::wstring(text);
}

std::optional<std::wstring> AnsiArgument(const char* text)
{
    if (text == nullptr)
        return std::nullopt;
    return AnsiToWide(text);
}

wchar_t* Pointer(std::optional<std::wstring>& text)
{
    return text ? text->data() : nullptr;
}

const std::wstring& Required(const std::optional<std::wstring>& text)
{
    if (!text)
        throw EArgumentException(L"Missing argument");
    return *text;
}

} // namespace

extern "C" {

void __stdcall ListSetDefaultParams(ListDefaultParamStruct* dps)
{
    TryStartUp();
    try {
        if (dps == nullptr)
            return;
        const size_t length = strnlen(dps->DefaultIniName, MAX_PATH);
        SetHostIniFileName(AnsiToWide(std::string_view(dps->DefaultIniName, length)));
    } catch (...) {
    }
}

void __stdcall ListGetDetectString(char* detectString, int maxlen)
{
    TryStartUp();
    try {
        if (detectString == nullptr || maxlen <= 0)
            return;
        if (maxlen >= static_cast<int>(sizeof(DetectString)))
            std::memcpy(detectString, DetectString, sizeof(DetectString));
        else
            detectString[0] = '\0';
    } catch (...) {
    }
}

HWND __stdcall ListLoadW(HWND parentWin, wchar_t* fileToLoad, int showFlags)
{
    try {
        EnsureStarted();
        const std::wstring fileName = Required(WideArgument(fileToLoad));
        TKestrelForm* const created = TKestrelForm::Create(parentWin, CreateWebBrowser);
        // Known by its handle once the load runs: starting the first navigation may dispatch
        // the host's messages, and a close among them frees the form.
        const HWND window = created->Handle();
        try {
            created->SetShowFlags(showFlags);
            created->LoadFile(fileName);
        } catch (...) {
            // A failed load leaves no window behind.
            if (TKestrelForm* form = TKestrelForm::FromHandle(window))
                form->Destroy();
            return nullptr;
        }
        if (TKestrelForm::FromHandle(window) == nullptr)
            return nullptr;
        ShowWindow(window, SW_SHOW);
        return window;
    } catch (...) {
        return nullptr;
    }
}

HWND __stdcall ListLoad(HWND parentWin, char* fileToLoad, int showFlags)
{
    try {
        EnsureStarted();
        std::optional<std::wstring> fileName = AnsiArgument(fileToLoad);
        return ListLoadW(parentWin, Pointer(fileName), showFlags);
    } catch (...) {
        return nullptr;
    }
}

int __stdcall ListLoadNextW(HWND parentWin, HWND listWin, wchar_t* fileToLoad, int showFlags)
{
    try {
        EnsureStarted();
        TKestrelForm* form = TKestrelForm::FromHandle(listWin);
        if (form == nullptr)
            return LISTPLUGIN_ERROR;
        form->SetShowFlags(showFlags);
        form->LoadFile(Required(WideArgument(fileToLoad)));
        return LISTPLUGIN_OK;
    } catch (...) {
        return LISTPLUGIN_ERROR;
    }
}

int __stdcall ListLoadNext(HWND parentWin, HWND listWin, char* fileToLoad, int showFlags)
{
    try {
        EnsureStarted();
        std::optional<std::wstring> fileName = AnsiArgument(fileToLoad);
        return ListLoadNextW(parentWin, listWin, Pointer(fileName), showFlags);
    } catch (...) {
        return LISTPLUGIN_ERROR;
    }
}

void __stdcall ListCloseWindow(HWND listWin)
{
    try {
        EnsureStarted();
        if (TKestrelForm* form = TKestrelForm::FromHandle(listWin))
            form->Destroy();
    } catch (...) {
    }
}

int __stdcall ListSearchTextW(HWND listWin, wchar_t* searchString, int searchParameter)
{
    try {
        EnsureStarted();
        TKestrelForm* form = TKestrelForm::FromHandle(listWin);
        if (form == nullptr)
            return LISTPLUGIN_ERROR;
        // Not found is an error: the host then tells the user so.
        return form->SearchText(Required(WideArgument(searchString)), searchParameter)
                   ? LISTPLUGIN_OK
                   : LISTPLUGIN_ERROR;
    } catch (...) {
        return LISTPLUGIN_ERROR;
    }
}

int __stdcall ListSearchText(HWND listWin, char* searchString, int searchParameter)
{
    try {
        EnsureStarted();
        std::optional<std::wstring> text = AnsiArgument(searchString);
        return ListSearchTextW(listWin, Pointer(text), searchParameter);
    } catch (...) {
        return LISTPLUGIN_ERROR;
    }
}

int __stdcall ListSendCommand(HWND listWin, int command, int parameter)
{
    try {
        EnsureStarted();
        TKestrelForm* form = TKestrelForm::FromHandle(listWin);
        if (form == nullptr)
            return LISTPLUGIN_ERROR;
        switch (command) {
        case lc_copy:
            form->CopySelection();
            return LISTPLUGIN_OK;
        case lc_selectall:
            form->SelectAll();
            return LISTPLUGIN_OK;
        case lc_newparams:
            form->SetShowFlags(parameter);
            return LISTPLUGIN_OK;
        case lc_setpercent:
            return form->SetPercent(parameter) ? LISTPLUGIN_OK : LISTPLUGIN_ERROR;
        default:
            return LISTPLUGIN_ERROR;
        }
    } catch (...) {
        return LISTPLUGIN_ERROR;
    }
}

int __stdcall ListSearchDialog(HWND listWin, int findNext)
{
    // The viewer has no search dialog of its own: the host shows its own, with its history and
    // options, and searches through ListSearchText(W), also for "find next".
    return LISTPLUGIN_ERROR;
}

int __stdcall ListPrintW(HWND listWin, wchar_t* fileToPrint, wchar_t* defPrinter, int printFlags,
                         RECT* margins)
{
    try {
        EnsureStarted();
        TKestrelForm* form = TKestrelForm::FromHandle(listWin);
        if (form == nullptr)
            return LISTPLUGIN_ERROR;
        // Previewed or not (the page still loading): the viewer was there.
        form->PrintPreview();
        return LISTPLUGIN_OK;
    } catch (...) {
        return LISTPLUGIN_ERROR;
    }
}

int __stdcall ListPrint(HWND listWin, char* fileToPrint, char* defPrinter, int printFlags,
                        RECT* margins)
{
    try {
        EnsureStarted();
        std::optional<std::wstring> file = AnsiArgument(fileToPrint);
        std::optional<std::wstring> printer = AnsiArgument(defPrinter);
        return ListPrintW(listWin, Pointer(file), Pointer(printer), printFlags, margins);
    } catch (...) {
        return LISTPLUGIN_ERROR;
    }
}

HBITMAP __stdcall ListGetPreviewBitmapW(wchar_t* fileToLoad, int width, int height,
                                       char* contentBuf, int contentBufLen)
{
    try {
        // The host may call from a thread of its own without COM, and this may be the
        // plug-in's first call: start-up registers with the URL-moniker session.
        const ComInitialization com;
        EnsureStarted();
        return CreatePreviewBitmap(Required(WideArgument(fileToLoad)), width, height);
    } catch (...) {
        return nullptr;
    }
}

HBITMAP __stdcall ListGetPreviewBitmap(char* fileToLoad, int width, int height, char* contentBuf,
                                      int contentBufLen)
{
    try {
        std::optional<std::wstring> fileName = AnsiArgument(fileToLoad);
        return ListGetPreviewBitmapW(Pointer(fileName), width, height, contentBuf, contentBufLen);
    } catch (...) {
        return nullptr;
    }
}

} // extern "C"
