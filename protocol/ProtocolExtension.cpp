#include "protocol/ProtocolExtension.h"

#include "protocol/CacheFileStream.h"
#include "protocol/ShellResponse.h"
#include "shell/ComFactory.h"
#include "shell/Exceptions.h"
#include "shell/FileStream.h"
#include "shell/MemoryStream.h"
#include "shell/OleStream.h"
#include "shell/Registry.h"
#include "shell/Strings.h"

#include <algorithm>
#include <cwctype>

namespace kv {

// ---- TorvShellBaseProtocolAndMIMEFilterExtension ----

void TorvShellBaseProtocolAndMIMEFilterExtension::NormalizeNames(TorvNameList& names)
{
    TorvShellBaseExtension::NormalizeNames(names);
    for (std::wstring& name : names)
        std::transform(name.begin(), name.end(), name.begin(), [](wchar_t c) {
            return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c - L'A' + L'a') : c;
        });
}

namespace {
// The registry folder of a handler's names; empty for a class that is neither kind.
std::wstring HandlerBaseKey(const TorvShellBaseProtocolAndMIMEFilterExtension& object)
{
    if (object.IsProtocolHandler())
        return L"PROTOCOLS\\Handler\\";
    if (object.IsMimeFilter())
        return L"PROTOCOLS\\Filter\\";
    return {};
}
} // namespace

void TorvShellBaseProtocolAndMIMEFilterExtension::AfterRegister(TComObjectFactory&, bool,
                                                               const std::wstring& prefix,
                                                               HKEY classesRoot, HKEY)
{
    const std::wstring base = HandlerBaseKey(*this);
    if (TemporaryRegistration || base.empty())
        return;
    const std::wstring classId = GuidToString(Class().GetClassID());
    TorvNameList names;
    GetNames(names);
    NormalizeNames(names);
    for (const std::wstring& name : names) {
        const std::wstring key = prefix + base + name;
        WriteRegKeyString(classesRoot, key, L"", name + L": " + Class().GetDescription());
        WriteRegKeyString(classesRoot, key, L"CLSID", classId);
    }
}

void TorvShellBaseProtocolAndMIMEFilterExtension::BeforeUnregister(TComObjectFactory&, bool,
                                                                  const std::wstring& prefix,
                                                                  HKEY classesRoot, HKEY)
{
    const std::wstring base = HandlerBaseKey(*this);
    if (TemporaryRegistration || base.empty())
        return;
    TorvNameList names;
    GetNames(names);
    NormalizeNames(names);
    for (const std::wstring& name : names)
        DeleteRegKey(classesRoot, prefix + base + name);
}

// ---- TorvShellProtocolExtension ----

TCombineOptions CombineOptionsFromFlags(DWORD flags) noexcept
{
    static constexpr DWORD bits[] = {ICU_ENCODE_PERCENT, ICU_BROWSER_MODE, ICU_ENCODE_SPACES_ONLY,
                                     ICU_NO_META,        ICU_DECODE,       ICU_NO_ENCODE};
    TCombineOptions options = 0;
    for (size_t i = 0; i < std::size(bits); ++i)
        if ((flags & bits[i]) != 0)
            options |= 1u << i;
    return options;
}

const TorvInterfaceTable& TorvShellProtocolExtension::ClassInterfaces() noexcept
{
    using Self = TorvShellProtocolExtension;
    static constexpr TorvInterfaceEntry entries[] = {
        InterfaceEntry<Self, IInternetProtocolRoot, IInternetProtocolEx>(IID_IInternetProtocolRoot),
        InterfaceEntry<Self, IInternetProtocol, IInternetProtocolEx>(IID_IInternetProtocol),
        InterfaceEntry<Self, IInternetProtocolEx>(IID_IInternetProtocolEx),
        InterfaceEntry<Self, IInternetProtocolInfo>(IID_IInternetProtocolInfo),
        InterfaceEntry<Self, IWinInetInfo, IWinInetHttpInfo>(IID_IWinInetInfo),
        InterfaceEntry<Self, IWinInetHttpInfo>(IID_IWinInetHttpInfo),
    };
    static constexpr TorvInterfaceTable table = MakeInterfaceTable<TorvShellBaseExtension>(entries);
    return table;
}

void TorvShellProtocolExtension::Initialize()
{
    TorvShellBaseProtocolAndMIMEFilterExtension::Initialize();
    CacheMode = 2;
}

void TorvShellProtocolExtension::Uninitialize()
{
    TorvShellBaseProtocolAndMIMEFilterExtension::Uninitialize();
    EndRequest();
}

namespace {
thread_local const TCancellation* currentCancellation = nullptr;
} // namespace

const TCancellation* TorvShellProtocolExtension::CurrentCancellation() noexcept
{
    return currentCancellation;
}

TorvShellProtocolExtension::CancellationScope::CancellationScope(
    const TCancellation& cancellation) noexcept
    : previous_(currentCancellation)
{
    currentCancellation = &cancellation;
}

TorvShellProtocolExtension::CancellationScope::~CancellationScope()
{
    currentCancellation = previous_;
}

std::shared_ptr<TorvProtocolRequest> TorvShellProtocolExtension::Request()
{
    std::lock_guard guard(requestLock_);
    return request_;
}

std::shared_ptr<TorvProtocolRequest> TorvShellProtocolExtension::DataRequest()
{
    std::shared_ptr<TorvProtocolRequest> request = Request();
    if (!request || !request->HasDataStream())
        throw EUninitializedObject(L"Stream is nil");
    return request;
}

void TorvShellProtocolExtension::EndRequest() noexcept
{
    // The worker owns what it still needs: it is told to stop, not waited for.
    std::shared_ptr<TorvProtocolRequest> request;
    {
        std::lock_guard guard(requestLock_);
        request = std::move(request_);
    }
    if (request)
        request->End();
}

void TorvShellProtocolExtension::GetNames(TorvNameList& names)
{
    GetProtocols(names);
}

bool TorvShellProtocolExtension::CanRegister()
{
    if (!TorvShellBaseProtocolAndMIMEFilterExtension::CanRegister())
        return false;
    TorvNameList names;
    GetNames(names);
    NormalizeNames(names);
    return !names.empty();
}

HRESULT TorvShellProtocolExtension::DoQueryInterface(REFIID id, void** object) noexcept
{
    if (object == nullptr)
        return E_POINTER;
    *object = nullptr;
    // Without a hook of its own the class lets the URL-moniker layer handle URLs itself.
    if (IsEqualIID(id, IID_IInternetProtocolInfo) &&
        !Overrides(hkParseUrl | hkCombineUrl | hkCompareUrl | hkQueryDateInfo | hkQueryFlagInfo |
                   hkQueryTextInfo))
        return E_NOINTERFACE;
    return TorvShellBaseProtocolAndMIMEFilterExtension::DoQueryInterface(id, object);
}

namespace {

// The bind information of the request, released on every path (its strings and medium belong
// to the copy the caller made for us).
class BindInfoCopy {
public:
    explicit BindInfoCopy(IInternetBindInfo& source)
    {
        info_.cbSize = sizeof(info_);
        ok_ = SUCCEEDED(source.GetBindInfo(&flags_, &info_));
    }
    ~BindInfoCopy()
    {
        if (ok_)
            ReleaseBindInfo(&info_);
    }
    BindInfoCopy(const BindInfoCopy&) = delete;
    BindInfoCopy& operator=(const BindInfoCopy&) = delete;

    bool Ok() const noexcept { return ok_; }
    DWORD Flags() const noexcept { return flags_; }
    const BINDINFO& Info() const noexcept { return info_; }

private:
    BINDINFO info_{};
    DWORD flags_ = 0;
    bool ok_ = false;
};

std::wstring VerbOf(const BINDINFO& info)
{
    switch (info.dwBindVerb) {
    case BINDVERB_POST:
        return L"POST";
    case BINDVERB_PUT:
        return L"PUT";
    case BINDVERB_CUSTOM:
        return info.szCustomVerb != nullptr ? info.szCustomVerb : L"";
    default:
        return L"GET";
    }
}

std::unique_ptr<TorvStream> RequestBodyOf(const BINDINFO& info)
{
    const STGMEDIUM& medium = info.stgmedData;
    switch (medium.tymed) {
    case TYMED_NULL:
        return nullptr;
    case TYMED_HGLOBAL: {
        if (medium.hGlobal == nullptr)
            throw EArgumentException(L"BindInfo.stgmedData.stm is 0");
        const void* data = GlobalLock(medium.hGlobal);
        if (data == nullptr)
            RaiseLastOSError();
        auto memory = MemoryStream::Create();
        try {
            memory->Append(data, GlobalSize(medium.hGlobal));
        } catch (...) {
            GlobalUnlock(medium.hGlobal);
            throw;
        }
        GlobalUnlock(medium.hGlobal);
        return WrapMemoryStream(memory.Get());
    }
    case TYMED_FILE:
        if (medium.lpszFileName == nullptr)
            throw EArgumentException(L"BindInfo.stgmedData.lpszFileName is nil");
        return OpenFileStream(medium.lpszFileName, STGM_READ);
    case TYMED_ISTREAM:
        if (medium.pstm == nullptr)
            throw EArgumentException(L"BindInfo.stgmedData.stm is nil");
        return WrapOleStream(medium.pstm);
    default:
        throw EArgumentException(L"Cannot process BindInfo.stgmedData.tymed");
    }
}

// The URL's cache entry when it is fresh ("Expires" not passed), else none.
std::unique_ptr<TorvShellCacheFileStream> FreshCacheEntry(const std::wstring& url)
{
    try {
        auto entry = std::make_unique<TorvShellCacheFileStream>(url);
        if (entry->Response().GetValue(L"Expires").empty())
            return nullptr;
        SYSTEMTIME now{};
        GetLocalTime(&now);
        FILETIME nowTime{};
        SystemTimeToFileTime(&now, &nowTime);
        const FILETIME expires = entry->Response().GetValueAsFileTime(L"Expires", false);
        if (CompareFileTime(&nowTime, &expires) > 0)
            return nullptr;
        return entry;
    } catch (...) {
        return nullptr;
    }
}

} // namespace

HRESULT TorvShellProtocolExtension::StartRequest(const std::wstring& url,
                                                 IInternetProtocolSink* sink,
                                                 IInternetBindInfo* bindInfo)
{
    EndRequest();
    if (url.empty() || sink == nullptr || bindInfo == nullptr)
        return E_INVALIDARG;
    // Everything the work needs of the bind information is read here, once: the worker never
    // calls the client's binding, which may end before the worker does.
    std::wstring verb = L"GET";
    std::unique_ptr<TorvStream> requestStream;
    std::unique_ptr<TorvShellCacheFileStream> cacheStream;
    DWORD bindFlags = 0;
    bool synchronous = true;
    {
        BindInfoCopy info(*bindInfo);
        if (info.Ok()) {
            bindFlags = info.Flags();
            synchronous = (bindFlags & BINDF_ASYNCHRONOUS) == 0;
            if (CacheMode == 1) {
                if ((bindFlags & (BINDF_RESYNCHRONIZE | BINDF_GETNEWESTVERSION)) == 0)
                    cacheStream = FreshCacheEntry(url);
                verb = VerbOf(info.Info());
                requestStream = RequestBodyOf(info.Info());
            }
        }
    }
    if (!requestStream)
        requestStream = WrapMemoryStream(MemoryStream::Create().Get());
    auto request = std::make_shared<TorvProtocolRequest>(url, verb, std::move(requestStream), sink,
                                                         bindFlags);
    {
        std::lock_guard guard(requestLock_);
        request_ = request;
    }
    try {
        if (cacheStream)
            TorvShellCacheProtocolThread::Start(*this, request, std::move(cacheStream));
        else if (synchronous)
            // The client waits for the result anyway: a thread would only add to its wait.
            TorvShellProtocolThread::RunHere(*this, request, true);
        else if (CanServeAtOnce(url))
            TorvShellProtocolThread::RunHere(*this, request, false);
        else
            TorvShellProtocolThread::Start(*this, request);
    } catch (...) {
        // Without a worker nothing would ever report: the client's sink is let go at once.
        EndRequest();
        throw;
    }
    return S_OK;
}

HRESULT TorvShellProtocolExtension::Start(LPCWSTR url, IInternetProtocolSink* sink,
                                          IInternetBindInfo* bindInfo, DWORD, HANDLE_PTR)
{
    return ComMethod([&] { return StartRequest(url != nullptr ? url : L"", sink, bindInfo); });
}

HRESULT TorvShellProtocolExtension::StartEx(IUri* uri, IInternetProtocolSink* sink,
                                            IInternetBindInfo* bindInfo, DWORD, HANDLE_PTR)
{
    return ComMethod([&] {
        if (uri == nullptr)
            return E_INVALIDARG;
        BSTR text = nullptr;
        const HRESULT result = uri->GetAbsoluteUri(&text);
        if (FAILED(result))
            return result;
        const std::wstring url(text != nullptr ? text : L"", SysStringLen(text));
        SysFreeString(text);
        return StartRequest(url, sink, bindInfo);
    });
}

HRESULT TorvShellProtocolExtension::Continue(PROTOCOLDATA*)
{
    return E_NOTIMPL;
}

HRESULT TorvShellProtocolExtension::Abort(HRESULT reason, DWORD)
{
    return ComMethod([&] {
        const std::shared_ptr<TorvProtocolRequest> request = Request();
        if (!request)
            return S_OK;
        // The work stops; the client learns the reason as the request's result, unless the
        // result has been reported already.
        return request->Abort(reason) ? S_OK : INET_E_RESULT_DISPATCHED;
    });
}

HRESULT TorvShellProtocolExtension::Terminate(DWORD)
{
    // Always succeeds: the sink is let go and nothing more is reported. Data already there
    // stays readable (the client may have locked the request to read on).
    if (const std::shared_ptr<TorvProtocolRequest> request = Request())
        request->End();
    return S_OK;
}

HRESULT TorvShellProtocolExtension::Suspend()
{
    return E_NOTIMPL;
}

HRESULT TorvShellProtocolExtension::Resume()
{
    return E_NOTIMPL;
}

HRESULT TorvShellProtocolExtension::Read(void* buffer, ULONG size, ULONG* read)
{
    return ComMethod([&] {
        const std::shared_ptr<TorvProtocolRequest> request = DataRequest();
        if (buffer == nullptr || size == 0)
            return E_INVALIDARG;
        if (read == nullptr)
            return E_POINTER;
        return request->ReadData(buffer, size, *read);
    });
}

HRESULT TorvShellProtocolExtension::Seek(LARGE_INTEGER move, DWORD origin,
                                         ULARGE_INTEGER* newPosition)
{
    return ComMethod([&] {
        const std::shared_ptr<TorvProtocolRequest> request = DataRequest();
        int64_t position = 0;
        if (!request->SeekData(move.QuadPart, origin, position))
            return E_NOTIMPL;
        if (newPosition != nullptr)
            newPosition->QuadPart = static_cast<ULONGLONG>(position);
        return S_OK;
    });
}

HRESULT TorvShellProtocolExtension::LockRequest(DWORD)
{
    return S_OK;
}

HRESULT TorvShellProtocolExtension::UnlockRequest()
{
    return S_OK;
}

} // namespace kv
