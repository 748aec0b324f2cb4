// What the tests need to know about the build: where fixtures, libraries and the plug-in are,
// and scratch folders that clean up after themselves.
#pragma once

#include <windows.h>

#include <string>

namespace kvtest {

std::wstring FixturePath(const std::wstring& name);  // a generated archive
std::wstring ArchiveLibraryPath();                   // the real 7z.dll for this bitness
std::wstring PluginPath();                           // the built plug-in
std::wstring SupportPath(const std::wstring& name);  // a helper DLL built for the tests
std::wstring BinPath(const std::wstring& name);      // a file in the build tree's top folder

// A fresh folder under the temporary folder, removed with everything in it on destruction.
// What cannot be removed then (a started plug-in copy stays mapped until its process ends) goes
// with the first folder a later test process makes.
class TempFolder {
public:
    TempFolder();
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    const std::wstring& Path() const { return path_; }  // with a trailing backslash
    std::wstring File(const std::wstring& name) const { return path_ + name; }
    // Writes bytes (UTF-8 text, for instance) to a file in the folder; returns its path.
    std::wstring Write(const std::wstring& name, const std::string& bytes) const;
    std::wstring Copy(const std::wstring& source, const std::wstring& name) const;

private:
    std::wstring path_;
};

std::string ReadFileBytes(const std::wstring& path);

} // namespace kvtest
