// The maff: URL scheme: "maff://" + archive index + "*" + item path, with "/" between folders.
// Every file inside an archive that a viewer registered becomes addressable, so relative links
// inside a saved page resolve to further maff: URLs of the same archive.
#pragma once

#include "archive/ArchiveCache.h"
#include "protocol/ProtocolExtension.h"

#include <optional>
#include <string>

namespace kv {

struct TMaffUrl {
    int ArchiveIndex = -1;
    std::wstring ArchivePath;
    std::wstring ItemPath;  // with "\" between folders, as the archive names items
};

// Raises "Invalid protocol" for a URL that is not maff: or has no "*", the conversion error for
// an archive id that is not a number, and "List index out of bounds (%d)" for one not registered.
TMaffUrl ParseMaffUrl(const std::wstring& url);

// The item path a link most likely means when no item has its exact name: without "?query" and
// "#fragment", with "." and ".." segments resolved (never above the root) and percent escapes
// decoded once as UTF-8. Saved pages link their files percent-encoded.
std::wstring NormalizeItemPath(const std::wstring& itemPath);

class TProtocolExtension1 : public TorvShellProtocolExtension {
public:
    static constexpr const wchar_t* ClassName = L"TProtocolExtension1";
    static CLSID GetClassID();
    static std::wstring GetDescription() { return L"Maff protocol"; }

    void GetProtocols(TorvNameList& names) override;
    bool DoCombineUrl(const std::wstring& baseUrl, const std::wstring& relativeUrl,
                      TCombineOptions options, std::wstring& result) override;
    // The security questions: a maff: URL is its own security URL, and its site is the scheme
    // with the archive id ("maff://0*"), so that every archive is a site of its own.
    bool DoParseUrl(const std::wstring& url, int actionIndex, std::wstring& result) override;
    // Neither secure (it says nothing of the channel) nor safe (a saved page is untrusted).
    bool DoQueryFlagInfo(const std::wstring& url, int optionIndex, bool& result) override;
    // Items of an archive that is open already, up to this size, are served on the calling
    // thread: a worker thread of their own would cost more than their extraction.
    static constexpr uint64_t ServeAtOnceLimit = 512 * 1024;
    bool CanServeAtOnce(const std::wstring& url) override;
    std::unique_ptr<TorvStream> GetContent(const std::wstring& url, const std::wstring& verb,
                                           TorvStream& requestStream, TorvShellResponse& response,
                                           std::wstring& fileName) override;

protected:
    void Initialize() override;

private:
    // What CanServeAtOnce found for the URL it was asked about, with the reader it took, so
    // that serving it neither looks it up again nor waits for a reader.
    struct Found {
        std::wstring url;
        DWORD thread = 0;
        int archiveIndex = -1;
        std::shared_ptr<TSharedArchive> archive;
        int index = -1;
        std::optional<TSharedArchive::Lease> lease;
    };
    SrwLock foundLock_;
    std::optional<Found> found_;
};

// {C4F375D9-53ED-4485-B43F-13CD59F7266E}
inline constexpr CLSID CLSID_MaffProtocol = {
    0xC4F375D9, 0x53ED, 0x4485, {0xB4, 0x3F, 0x13, 0xCD, 0x59, 0xF7, 0x26, 0x6E}};

// Start-up of the handler: the session registration for "maff", kept until the process ends.
void RegisterMaffProtocol();

} // namespace kv
