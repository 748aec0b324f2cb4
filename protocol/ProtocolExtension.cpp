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

void TorvShellProtocolExtension::EndRequest() noexcept
{
    // The worker reads BindInfo and Sink through this object: it ends before they go.
    if (TorvShellThread::Ptr<TorvShellProtocolThread> thread = std::move(Thread)) {
        thread->Terminate();
        try {
            thread->WaitFor(INFINITE);
        } catch (...) {
        }
    }
    BindInfo.Reset();
    Sink.Reset();
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

TorvShellThread::Ptr<TorvShellProtocolThread> TorvShellProtocolExtension::CreateProtocolThread(
    const std::wstring& url, const std::wstring& verb, std::unique_ptr<TorvStream> requestStream)
{
    return TorvShellProtocolThread::Create(*this, url, verb, std::move(requestStream));
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
    // Held for the call: ending the previous request releases the stored references.
    Microsoft::WRL::ComPtr<IInternetProtocolSink> sinkHold(sink);
    Microsoft::WRL::ComPtr<IInternetBindInfo> bindInfoHold(bindInfo);
    EndRequest();
    if (url.empty() || sink == nullptr || bindInfo == nullptr)
        return E_INVALIDARG;
    BindInfo = bindInfo;
    Sink = sink;
    std::wstring verb = L"GET";
    std::unique_ptr<TorvStream> requestStream;
    std::unique_ptr<TorvShellCacheFileStream> cacheStream;
    if (CacheMode == 1) {
        BindInfoCopy info(*bindInfo);
        if (info.Ok()) {
            if ((info.Flags() & (BINDF_RESYNCHRONIZE | BINDF_GETNEWESTVERSION)) == 0)
                cacheStream = FreshCacheEntry(url);
            verb = VerbOf(info.Info());
            requestStream = RequestBodyOf(info.Info());
        }
    }
    if (!requestStream)
        requestStream = WrapMemoryStream(MemoryStream::Create().Get());
    // Asked before the work starts: once the result is reported the client may end the
    // request (Terminate), and a binding asked afterwards may no longer answer.
    bool synchronous = true;
    {
        BindInfoCopy info(*bindInfo);
        synchronous = !info.Ok() || (info.Flags() & BINDF_ASYNCHRONOUS) == 0;
    }
    if (cacheStream)
        Thread = TorvShellCacheProtocolThread::Create(*this, url, verb, std::move(requestStream),
                                                      std::move(cacheStream));
    else if (CanServeAtOnce(url)) {
        // Reads made from inside the reports find the worker in place.
        Thread = TorvShellThread::Prepare<TorvShellProtocolThread>(*this, url, verb,
                                                                   std::move(requestStream));
        Thread->RunHere();
    } else
        Thread = CreateProtocolThread(url, verb, std::move(requestStream));
    if (synchronous)
        Thread->WaitFor(INFINITE);
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

HRESULT TorvShellProtocolExtension::Abort(HRESULT, DWORD)
{
    if (Thread)
        Thread->Terminate();
    return S_OK;
}

TorvShellProtocolThread& TorvShellProtocolExtension::DataThread()
{
    if (!Thread || !Thread->HasDataStream())
        throw EUninitializedObject(L"Stream is nil");
    return *Thread;
}

HRESULT TorvShellProtocolExtension::Terminate(DWORD)
{
    return ComMethod([&] {
        TorvShellProtocolThread& thread = DataThread();
        thread.WaitFor(INFINITE);
        BindInfo.Reset();
        Sink.Reset();
        return S_OK;
    });
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
        TorvShellProtocolThread& thread = DataThread();
        if (buffer == nullptr || size == 0)
            return E_INVALIDARG;
        if (read == nullptr)
            return E_POINTER;
        return thread.ReadData(buffer, size, *read);
    });
}

HRESULT TorvShellProtocolExtension::Seek(LARGE_INTEGER move, DWORD origin,
                                         ULARGE_INTEGER* newPosition)
{
    return ComMethod([&] {
        TorvShellProtocolThread& thread = DataThread();
        int64_t position = 0;
        if (!thread.SeekData(move.QuadPart, origin, position))
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
