#include "tests/common/PluginLoader.h"

#include "tests/common/TestEnv.h"

#include <gtest/gtest.h>

namespace kvtest {

namespace {
template <typename T>
void BindExport(HMODULE module, const char* name, T& target)
{
    target = reinterpret_cast<T>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}
} // namespace

Plugin::Plugin() : Plugin(PluginPath().c_str()) {}

Plugin::Plugin(const wchar_t* path)
{
    module_ = LoadLibraryW(path);
    if (module_ == nullptr) {
        ADD_FAILURE() << "cannot load the plug-in, error " << GetLastError();
        return;
    }
    Bind();
    if (ListGetDetectString == nullptr || ListSetDefaultParams == nullptr)
        ADD_FAILURE() << "the plug-in lacks its basic exports";
}

Plugin::~Plugin()
{
    if (module_ != nullptr)
        FreeLibrary(module_);
}

void Plugin::Bind()
{
    BindExport(module_, "ListGetDetectString", ListGetDetectString);
    BindExport(module_, "ListSetDefaultParams", ListSetDefaultParams);
    BindExport(module_, "ListLoad", ListLoad);
    BindExport(module_, "ListLoadW", ListLoadW);
    BindExport(module_, "ListLoadNext", ListLoadNext);
    BindExport(module_, "ListLoadNextW", ListLoadNextW);
    BindExport(module_, "ListCloseWindow", ListCloseWindow);
    BindExport(module_, "ListSearchText", ListSearchText);
    BindExport(module_, "ListSearchTextW", ListSearchTextW);
    BindExport(module_, "ListSearchDialog", ListSearchDialog);
    BindExport(module_, "ListSendCommand", ListSendCommand);
    BindExport(module_, "ListPrint", ListPrint);
    BindExport(module_, "ListPrintW", ListPrintW);
    BindExport(module_, "ListGetPreviewBitmap", ListGetPreviewBitmap);
    BindExport(module_, "ListGetPreviewBitmapW", ListGetPreviewBitmapW);
}

} // namespace kvtest
