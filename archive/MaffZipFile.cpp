#include "archive/MaffZipFile.h"

#include "archive/ArchiveCallbacks.h"
#include "archive/ArchiveLibrary.h"
#include "archive/ArchiveResult.h"
#include "archive/FileStream7z.h"
#include "archive/PropVariant.h"
#include "shell/Exceptions.h"
#include "shell/Strings.h"

#include <algorithm>
#include <iterator>
#include <optional>

namespace kv {

using Microsoft::WRL::ComPtr;

namespace {

// Read access, sharing everything: the user keeps control of the file while a viewer shows it
// (rename, move, delete or replace it in the file manager). A changed file is noticed by the
// archive cache, which opens it afresh.
constexpr DWORD ArchiveStreamMode = STGM_READ | STGM_SHARE_DENY_NONE;

// A property value that is always cleared. Release() clears it and raises on failure; the
// destructor clears quietly on the way out of an exception, which is already being reported.
class PropertyValue {
public:
    PropertyValue() noexcept { value_.vt = VT_EMPTY; }
    ~PropertyValue() { ClearPropVariant(value_); }
    PropertyValue(const PropertyValue&) = delete;
    PropertyValue& operator=(const PropertyValue&) = delete;

    PROPVARIANT* operator&() noexcept { return &value_; }
    const PROPVARIANT& Get() const noexcept { return value_; }
    void Release()
    {
        const HRESULT r = ClearPropVariant(value_);
        if (FAILED(r))
            throw EOleSysError(r);
    }

private:
    PROPVARIANT value_{};
};

std::wstring ReadItemPath(IInArchive* archive, UINT32 index)
{
    PropertyValue value;
    CheckArchiveResult(archive->GetProperty(index, kpidPath, &value));
    std::wstring text;
    const HRESULT r = PropVariantToString(value.Get(), text);
    if (FAILED(r))
        throw EOleSysError(r);
    value.Release();
    return text;
}

bool ReadIsFolder(IInArchive* archive, UINT32 index)
{
    PropertyValue value;
    CheckArchiveResult(archive->GetProperty(index, kpidIsDir, &value));
    const bool folder = value.Get().vt == VT_BOOL && value.Get().boolVal != VARIANT_FALSE;
    value.Release();
    return folder;
}

// A size property of an item (kpidSize, kpidPackSize), when the archive declares one.
std::optional<uint64_t> ReadSizeProperty(IInArchive* archive, UINT32 index, PROPID property)
{
    PropertyValue value;
    CheckArchiveResult(archive->GetProperty(index, property, &value));
    std::optional<uint64_t> size;
    switch (value.Get().vt) {
    case VT_UI8: size = value.Get().uhVal.QuadPart; break;
    case VT_UI4: size = value.Get().ulVal; break;
    default: break;
    }
    value.Release();
    return size;
}

// The unpacked size the archive declares for an item, when it declares one.
std::optional<uint64_t> ReadDeclaredSize(IInArchive* archive, UINT32 index)
{
    return ReadSizeProperty(archive, index, kpidSize);
}

std::wstring SizeText(uint64_t size)
{
    constexpr uint64_t MiB = 1024 * 1024;
    if (size >= MiB && size % MiB == 0)
        return std::to_wstring(size / MiB) + L" MiB";
    if (size >= 1024 && size % 1024 == 0)
        return std::to_wstring(size / 1024) + L" KiB";
    return std::to_wstring(size) + L" bytes";
}

std::wstring OperationResultText(int32_t result)
{
    switch (result) {
    case kExtractUnsupportedMethod: return L"unsupported compression method";
    case kExtractDataError: return L"data error";
    case kExtractCRCError: return L"CRC error";
    case kExtractUnavailable: return L"data unavailable";
    case kExtractUnexpectedEnd: return L"unexpected end of data";
    case kExtractDataAfterEnd: return L"data after the end of the item";
    case kExtractIsNotArc: return L"not an archive";
    case kExtractHeadersError: return L"headers error";
    case kExtractWrongPassword: return L"encrypted, and no password is known";
    default: return FormatString(L"extraction result %d", static_cast<int>(result));
    }
}

[[noreturn]] void RaiseTooLarge(const std::wstring& name, const std::wstring& detail,
                                uint64_t limit)
{
    throw EOleSysError(FormatString(L"Cannot extract \"%ls\": %ls the limit of %ls", name.c_str(),
                                    detail.c_str(), SizeText(limit).c_str()),
                       HResultFromOSError(ERROR_FILE_TOO_LARGE));
}

} // namespace

bool DecoderMemoryIsBounded(const std::wstring& method)
{
    // Store copies; Deflate and Deflate64 use a fixed window; BZip2 under 8 MiB; encryption
    // adds nothing worth counting.
    static const wchar_t* const bounded[] = {L"Store",     L"Deflate", L"Deflate64", L"BZip2",
                                             L"ZipCrypto", L"AES-128", L"AES-192",   L"AES-256"};
    size_t start = 0;
    while (start < method.size()) {
        size_t end = method.find(L' ', start);
        if (end == std::wstring::npos)
            end = method.size();
        const std::wstring token = method.substr(start, end - start);
        const std::wstring name = token.substr(0, token.find(L':'));
        if (!name.empty() && std::none_of(std::begin(bounded), std::end(bounded),
                                          [&](const wchar_t* known) { return name == known; }))
            return false;
        start = end + 1;
    }
    return true;
}

TMaffZipFile::TMaffZipFile(const std::wstring& archiveFileName, uint64_t maxItems,
                           std::shared_ptr<const TItemNames> names)
{
    LoadArchiveLibrary();
    const ArchiveLibraryEntryPoints entries = ArchiveLibraryEntries();
    if (entries.CreateObject == nullptr)
        RaiseOSError(ERROR_INVALID_FUNCTION);
    CheckArchiveResult(entries.CreateObject(&ZipHandlerClassId, &IID_IInArchive,
                                            reinterpret_cast<void**>(archive_.GetAddressOf())));
    if (!archive_)
        RaiseOSError(ERROR_INVALID_PARAMETER);

    {
        ComPtr<IInStream> inStream;
        {
            const auto fileStream =
                MakeInterfaced<Torv7zFileStream>(archiveFileName, ArchiveStreamMode);
            CheckArchiveResult(fileStream->QueryInterface(IID_IInStream, &inStream));
        }
        const auto callback = MakeInterfaced<TOpenCallback>(maxItems);
        ComPtr<IArchiveOpenCallback> openCallback;
        CheckArchiveResult(callback->QueryInterface(IID_IArchiveOpenCallback, &openCallback));
        const UINT64 maxStart = MaxArchiveStartOffset;
        const HRESULT opened = archive_->Open(inStream.Get(), &maxStart, openCallback.Get());
        // From here on only the library holds the file stream.
        openCallback.Reset();
        inStream.Reset();
        if (const uint64_t items = callback->RefusedItemCount(); items != 0)
            throw EOleSysError(FormatString(L"The archive holds %llu items, more than the %llu a "
                                            L"viewer opens",
                                            items, maxItems),
                               HResultFromOSError(ERROR_FILE_TOO_LARGE));
        CheckArchiveResult(opened);
    }

    UINT32 count = 0;
    CheckArchiveResult(archive_->GetNumberOfItems(&count));
    if (names && names->Names.size() == count) {
        list_ = std::move(names);
        return;
    }
    auto list = std::make_shared<TItemNames>();
    list->Names.resize(count);
    list->Folders.resize(count);
    uint64_t nameBytes = 0;
    for (UINT32 i = 0; i < count; ++i) {
        std::wstring& name = list->Names[i];
        name = ReadItemPath(archive_.Get(), i);
        nameBytes += sizeof(std::wstring) + (name.capacity() + 1) * sizeof(wchar_t);
        if (nameBytes > MaxItemNameBytes)
            throw EOleSysError(FormatString(L"The names of the archive's items take more than "
                                            L"%ls of memory, more than a viewer holds",
                                            SizeText(MaxItemNameBytes).c_str()),
                               HResultFromOSError(ERROR_FILE_TOO_LARGE));
        list->Folders[i] = ReadIsFolder(archive_.Get(), i);
    }
    list_ = std::move(list);
}

TMaffZipFile::~TMaffZipFile()
{
    // The library closes the archive, and with it the file, when its last reference goes.
    archive_.Reset();
}

const std::wstring& TMaffZipFile::GetName(int AIndex) const
{
    if (AIndex < 0 || static_cast<size_t>(AIndex) >= list_->Names.size())
        throw EArgumentException(FormatString(L"List index out of bounds (%d)", AIndex));
    return list_->Names[static_cast<size_t>(AIndex)];
}

std::wstring TMaffZipFile::ItemMethod(int index) const
{
    GetName(index);  // checks the index
    PropertyValue value;
    CheckArchiveResult(archive_->GetProperty(static_cast<UINT32>(index), kpidMethod, &value));
    std::wstring text;
    if (FAILED(PropVariantToString(value.Get(), text)))
        text.clear();
    value.Release();
    return text;
}

bool TMaffZipFile::IsFolder(int index) const
{
    GetName(index);  // the same index check
    return list_->Folders[static_cast<size_t>(index)];
}

std::optional<uint64_t> TMaffZipFile::DeclaredSize(int index) const
{
    GetName(index);  // checks the index
    return ReadDeclaredSize(archive_.Get(), static_cast<UINT32>(index));
}

std::optional<uint64_t> TMaffZipFile::PackedSize(int index) const
{
    GetName(index);  // checks the index
    return ReadSizeProperty(archive_.Get(), static_cast<UINT32>(index), kpidPackSize);
}

ComPtr<MemoryStream> TMaffZipFile::ExtractItem(int index, const TCancellation* cancellation)
{
    // The library does not check indices itself.
    if (index < 0 || static_cast<size_t>(index) >= list_->Names.size())
        throw EOleSysError(FormatString(L"There is no item %d in the archive", index),
                           E_INVALIDARG);
    const std::wstring& name = list_->Names[static_cast<size_t>(index)];
    const auto item = static_cast<UINT32>(index);

    // Refused without unpacking anything when the archive admits the size; otherwise the
    // extract callback enforces the same limit on the bytes that actually arrive.
    const std::optional<uint64_t> declared = ReadDeclaredSize(archive_.Get(), item);
    if (declared && *declared > maxItemSize_)
        RaiseTooLarge(name, FormatString(L"its size of %llu bytes exceeds", *declared),
                      maxItemSize_);

    const std::wstring method = ItemMethod(index);
    if (!DecoderMemoryIsBounded(method))
        throw EOleSysError(FormatString(L"Cannot extract \"%ls\": its compression method %ls may "
                                        L"need more than %ls of memory",
                                        name.c_str(), method.c_str(),
                                        SizeText(MaxDecoderMemory).c_str()),
                           HResultFromOSError(ERROR_NOT_SUPPORTED));

    ComPtr<MemoryStream> result = MemoryStream::Create();
    {
        if (IsCancelled(cancellation))
            RaiseCancelled();
        const auto callback = MakeInterfaced<TExtractCallback>(result, maxItemSize_, cancellation);
        ComPtr<IArchiveExtractCallback> extractCallback;
        CheckArchiveResult(callback->QueryInterface(IID_IArchiveExtractCallback, &extractCallback));
        ComPtr<ISequentialOutStream> outStream;
        CheckArchiveResult(extractCallback->QueryInterface(IID_ISequentialOutStream, &outStream));
        const HRESULT extracted = archive_->Extract(&item, 1, 0, extractCallback.Get());
        if (callback->Cancelled())
            RaiseCancelled();
        if (callback->SizeLimitExceeded())
            RaiseTooLarge(name, L"it unpacks to more than", maxItemSize_);
        if (callback->OutOfMemory())
            throw EOleSysError(FormatString(L"Cannot extract \"%ls\": it is too large for the "
                                            L"memory available",
                                            name.c_str()),
                               E_OUTOFMEMORY);
        CheckArchiveResult(extracted);
        // Damaged data is never passed on as if it were the item.
        if (const int32_t verdict = callback->OperationResult(); verdict != kExtractOK)
            throw EOleSysError(FormatString(L"Cannot extract \"%ls\": %ls", name.c_str(),
                                            OperationResultText(verdict).c_str()),
                               E_FAIL);
    }
    result->SetPosition(0);
    return result;
}

HRESULT TMaffZipFile::ExtractInto(const std::vector<UINT32>& indices,
                                  IArchiveExtractCallback* callback)
{
    // The library checks neither the range nor the order.
    for (size_t i = 0; i < indices.size(); ++i)
        if (indices[i] >= list_->Names.size() || (i > 0 && indices[i] <= indices[i - 1]))
            throw EOleSysError(L"Item indices out of range or order", E_INVALIDARG);
    if (indices.empty())
        return S_OK;
    return archive_->Extract(indices.data(), static_cast<UINT32>(indices.size()), 0, callback);
}

} // namespace kv
