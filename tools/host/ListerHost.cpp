// A small lister host: loads a plug-in by path as a file manager does and prints what it answers.
//
//   lister-host PLUGIN [--ini FILE]
#include <windows.h>

#include <cstdio>
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
    std::fprintf(stderr, "usage: lister-host PLUGIN [--ini FILE]\n");
    return 2;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 2)
        return Usage();
    const std::wstring pluginPath = argv[1];
    std::wstring iniPath;
    for (int i = 2; i < argc; ++i) {
        const std::wstring arg = argv[i];
        if (arg == L"--ini" && i + 1 < argc)
            iniPath = argv[++i];
        else
            return Usage();
    }

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

    FreeLibrary(plugin);
    return 0;
}
