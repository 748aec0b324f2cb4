// Asynchronous pluggable protocol handlers: a base that implements the URL-moniker protocol
// interfaces once. A concrete handler names its schemes and class id and makes the content of
// one URL (GetContent, on a worker thread of its own); it may also answer URL questions by
// overriding the six URL-information hooks.
#pragma once

#include "archive/Cancellation.h"
#include "protocol/ProtocolRequest.h"
#include "protocol/ProtocolThread.h"
#include "shell/Handles.h"
#include "shell/ComObject.h"
#include "shell/Stream.h"

#include <urlmon.h>
#include <wininet.h>

#include <cstdint>
#include <memory>
#include <string>
#include <type_traits>

namespace kv {

class TorvShellResponse;

// Common base of protocol handlers and MIME filters: how they are registered.
class TorvShellBaseProtocolAndMIMEFilterExtension : public TorvShellBaseExtension {
public:
    // True: registered only in the URL session of this process, never in the registry.
    bool TemporaryRegistration = false;

    // Trimmed, without empty names, ASCII letters lower-cased.
    void NormalizeNames(TorvNameList& names) override;
    // Write and erase "PROTOCOLS\Handler\<scheme>" (or "PROTOCOLS\Filter\<type>") keys.
    void AfterRegister(TComObjectFactory& factory, bool perUser, const std::wstring& prefix,
                       HKEY classesRoot, HKEY approvedRoot) override;
    void BeforeUnregister(TComObjectFactory& factory, bool perUser, const std::wstring& prefix,
                          HKEY classesRoot, HKEY approvedRoot) override;

    virtual bool IsProtocolHandler() const noexcept { return false; }
    virtual bool IsMimeFilter() const noexcept { return false; }

protected:
    TorvShellBaseProtocolAndMIMEFilterExtension() noexcept = default;
};

// The WinINet combine flags a handler is told about.
enum TCombineOption : uint32_t {
    coEncodePercent = 1u << 0,      // ICU_ENCODE_PERCENT
    coBrowserMode = 1u << 1,        // ICU_BROWSER_MODE
    coEncodeSpacesOnly = 1u << 2,   // ICU_ENCODE_SPACES_ONLY
    coNoMeta = 1u << 3,             // ICU_NO_META
    coDecode = 1u << 4,             // ICU_DECODE
    coNoEncode = 1u << 5,           // ICU_NO_ENCODE
};
using TCombineOptions = uint32_t;
TCombineOptions CombineOptionsFromFlags(DWORD flags) noexcept;

class TorvShellProtocolExtension
    : public TorvImplements<TorvShellProtocolExtension, TorvShellBaseProtocolAndMIMEFilterExtension,
                            IInternetProtocolEx, IInternetProtocolInfo, IWinInetHttpInfo> {
public:
    static constexpr const wchar_t* ClassName = L"TorvShellProtocolExtension";
    static const TorvInterfaceTable& ClassInterfaces() noexcept;

    // The URL-information hooks a class overrides, as bits of the class's Features.
    enum THook : uint32_t {
        hkParseUrl = 1u << 0,
        hkCombineUrl = 1u << 1,
        hkCompareUrl = 1u << 2,
        hkQueryDateInfo = 1u << 3,
        hkQueryFlagInfo = 1u << 4,
        hkQueryTextInfo = 1u << 5,
    };
    // Which hooks class T overrides: a member pointer names the class that declares the member,
    // so one that still names this base is not overridden.
    template <class T>
    static constexpr uint32_t ClassFeaturesOf()
    {
        using Self = TorvShellProtocolExtension;
        uint32_t hooks = 0;
        if (!std::is_same_v<decltype(&T::DoParseUrl), decltype(&Self::DoParseUrl)>)
            hooks |= hkParseUrl;
        if (!std::is_same_v<decltype(&T::DoCombineUrl), decltype(&Self::DoCombineUrl)>)
            hooks |= hkCombineUrl;
        if (!std::is_same_v<decltype(&T::DoCompareUrl), decltype(&Self::DoCompareUrl)>)
            hooks |= hkCompareUrl;
        if (!std::is_same_v<decltype(&T::DoQueryDateInfo), decltype(&Self::DoQueryDateInfo)>)
            hooks |= hkQueryDateInfo;
        if (!std::is_same_v<decltype(&T::DoQueryFlagInfo), decltype(&Self::DoQueryFlagInfo)>)
            hooks |= hkQueryFlagInfo;
        if (!std::is_same_v<decltype(&T::DoQueryTextInfo), decltype(&Self::DoQueryTextInfo)>)
            hooks |= hkQueryTextInfo;
        return hooks;
    }
    bool Overrides(uint32_t hook) const noexcept { return (Class().Features & hook) != 0; }

    // 1: Start may answer from a fresh URL-cache entry and reads verb and body from the bind
    // information; 1 or 2: the worker writes a cache file when the client asks for a file.
    uint8_t CacheMode = 2;

    // The cancellation of the request whose content GetContent is making on this thread, so
    // that its long work (waits, extraction) can stop once the client no longer wants it; none
    // outside GetContent.
    static const TCancellation* CurrentCancellation() noexcept;
    class CancellationScope {
    public:
        explicit CancellationScope(const TCancellation& cancellation) noexcept;
        ~CancellationScope();
        CancellationScope(const CancellationScope&) = delete;
        CancellationScope& operator=(const CancellationScope&) = delete;

    private:
        const TCancellation* previous_;
    };

    bool IsProtocolHandler() const noexcept override { return true; }

    // Overridable operations; every default does nothing and answers false or none.
    virtual void GetProtocols(TorvNameList& names) {}
    virtual bool DoParseUrl(const std::wstring& url, int actionIndex, std::wstring& result)
    {
        return false;
    }
    virtual bool DoCombineUrl(const std::wstring& baseUrl, const std::wstring& relativeUrl,
                              TCombineOptions options, std::wstring& result)
    {
        return false;
    }
    virtual bool DoCompareUrl(const std::wstring& url1, const std::wstring& url2,
                              bool optionsGiven, bool& equal)
    {
        return false;
    }
    virtual bool DoQueryDateInfo(const std::wstring& url, int optionIndex, SYSTEMTIME& result)
    {
        return false;
    }
    virtual bool DoQueryFlagInfo(const std::wstring& url, int optionIndex, bool& result)
    {
        return false;
    }
    virtual bool DoQueryTextInfo(const std::wstring& url, int optionIndex, std::wstring& result)
    {
        return false;
    }
    // Makes the body of a URL and fills the response; runs on the request's worker thread.
    // None means "no such resource". fileName may name a file that already holds the body.
    virtual std::unique_ptr<TorvStream> GetContent(const std::wstring& url, const std::wstring& verb,
                                                   TorvStream& requestStream,
                                                   TorvShellResponse& response,
                                                   std::wstring& fileName)
    {
        return nullptr;
    }
    // Whether the URL's content is quick to make: then Start makes it on the calling thread and
    // reports before it returns, as a thread of its own would cost more than the work. Decided
    // from memory alone, without waiting: the calling thread is the client's (the browser's,
    // the file manager's). Content made this way is served from memory, without a cache file.
    virtual bool CanServeAtOnce(const std::wstring& url) { return false; }

    void GetNames(TorvNameList& names) override;
    bool CanRegister() override;
    HRESULT DoQueryInterface(REFIID id, void** object) noexcept override;

    // IInternetProtocolRoot
    HRESULT STDMETHODCALLTYPE Start(LPCWSTR url, IInternetProtocolSink* sink,
                                    IInternetBindInfo* bindInfo, DWORD flags,
                                    HANDLE_PTR reserved) override;
    HRESULT STDMETHODCALLTYPE Continue(PROTOCOLDATA* data) override;
    HRESULT STDMETHODCALLTYPE Abort(HRESULT reason, DWORD options) override;
    HRESULT STDMETHODCALLTYPE Terminate(DWORD options) override;
    HRESULT STDMETHODCALLTYPE Suspend() override;
    HRESULT STDMETHODCALLTYPE Resume() override;
    // IInternetProtocol
    HRESULT STDMETHODCALLTYPE Read(void* buffer, ULONG size, ULONG* read) override;
    HRESULT STDMETHODCALLTYPE Seek(LARGE_INTEGER move, DWORD origin,
                                   ULARGE_INTEGER* newPosition) override;
    HRESULT STDMETHODCALLTYPE LockRequest(DWORD options) override;
    HRESULT STDMETHODCALLTYPE UnlockRequest() override;
    // IInternetProtocolEx
    HRESULT STDMETHODCALLTYPE StartEx(IUri* uri, IInternetProtocolSink* sink,
                                      IInternetBindInfo* bindInfo, DWORD flags,
                                      HANDLE_PTR reserved) override;
    // IInternetProtocolInfo
    HRESULT STDMETHODCALLTYPE ParseUrl(LPCWSTR url, PARSEACTION action, DWORD flags,
                                       LPWSTR result, DWORD resultSize, DWORD* resultLength,
                                       DWORD reserved) override;
    HRESULT STDMETHODCALLTYPE CombineUrl(LPCWSTR baseUrl, LPCWSTR relativeUrl, DWORD flags,
                                         LPWSTR result, DWORD resultSize, DWORD* resultLength,
                                         DWORD reserved) override;
    HRESULT STDMETHODCALLTYPE CompareUrl(LPCWSTR url1, LPCWSTR url2, DWORD flags) override;
    HRESULT STDMETHODCALLTYPE QueryInfo(LPCWSTR url, QUERYOPTION option, DWORD flags,
                                        LPVOID buffer, DWORD bufferSize, DWORD* written,
                                        DWORD reserved) override;
    // IWinInetInfo
    HRESULT STDMETHODCALLTYPE QueryOption(DWORD option, LPVOID buffer, DWORD* size) override;
    // IWinInetHttpInfo
    HRESULT STDMETHODCALLTYPE QueryInfo(DWORD option, LPVOID buffer, DWORD* size, DWORD* flags,
                                        DWORD* reserved) override;

protected:
    TorvShellProtocolExtension() noexcept = default;
    void Initialize() override;
    void Uninitialize() override;

private:
    // The current request.
    std::shared_ptr<TorvProtocolRequest> Request();
    // The current request, once it has a data stream; raises "Stream is nil" before.
    std::shared_ptr<TorvProtocolRequest> DataRequest();
    // Ends the current request without waiting for its worker.
    void EndRequest() noexcept;
    HRESULT StartRequest(const std::wstring& url, IInternetProtocolSink* sink,
                         IInternetBindInfo* bindInfo);

    SrwLock requestLock_;
    std::shared_ptr<TorvProtocolRequest> request_;
};

} // namespace kv
