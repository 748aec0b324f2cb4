#include "shell/ComFactory.h"
#include "shell/ComServer.h"
#include "shell/Exceptions.h"
#include "shell/Registry.h"

#include <gtest/gtest.h>
#include <wrl/client.h>

using Microsoft::WRL::ComPtr;
using namespace kv;

namespace {

// {6A1E4F3B-92C4-4B51-8C0E-1D2A3B4C5D6E}
constexpr CLSID CLSID_TestExtension = {
    0x6A1E4F3B, 0x92C4, 0x4B51, {0x8C, 0x0E, 0x1D, 0x2A, 0x3B, 0x4C, 0x5D, 0x6E}};

class TTestExtension : public TorvShellBaseExtension {
public:
    static constexpr const wchar_t* ClassName = L"TTestExtension";
    static CLSID GetClassID() { return CLSID_TestExtension; }
    static std::wstring GetDescription() { return L"Test extension"; }

    int siteChanges = 0;
    void SiteChanged(IUnknown*) override { ++siteChanges; }

protected:
    void Initialize() override
    {
        TorvShellBaseExtension::Initialize();
        RegistrationScope = 2;
    }
};

class TNoIdExtension : public TorvShellBaseExtension {
public:
    static constexpr const wchar_t* ClassName = L"TNoIdExtension";
};

class TUnlistedExtension : public TorvShellBaseExtension {
public:
    static constexpr const wchar_t* ClassName = L"TUnlistedExtension";
};

// A controller that only counts the references it is asked for.
class Outer : public IUnknown {
public:
    LONG refs = 1;
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** object) override
    {
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
    ULONG STDMETHODCALLTYPE Release() override { return --refs; }
};

TorvShellExtensionFactory& TestFactory()
{
    static TorvShellExtensionFactory& factory = [] () -> TorvShellExtensionFactory& {
        auto& f = CreateExtensionFactory(ExtensionClassOf<TTestExtension>(), false);
        f.ShowErrors = false;
        return f;
    }();
    return factory;
}

} // namespace

TEST(ComObject, AggregationHandsOutTheInnerUnknownAndDelegatesTheRest)
{
    Outer outer;
    const LONG before = ComServer::ObjectCount();
    ComPtr<IUnknown> inner;
    ASSERT_EQ(TestFactory().CreateInstance(&outer, IID_IUnknown, &inner), S_OK);
    EXPECT_EQ(ComServer::ObjectCount(), before + 1);

    // Interfaces of the aggregate count on the controller, not on the inner object.
    ComPtr<IPersist> persist;
    ASSERT_EQ(inner.As(&persist), S_OK);
    EXPECT_EQ(outer.refs, 2);
    CLSID classId{};
    EXPECT_EQ(persist->GetClassID(&classId), S_OK);
    EXPECT_TRUE(IsEqualCLSID(classId, CLSID_TestExtension));
    persist.Reset();
    EXPECT_EQ(outer.refs, 1);

    void* object = reinterpret_cast<void*>(1);
    EXPECT_EQ(TestFactory().CreateInstance(&outer, IID_IPersist, &object), CLASS_E_NOAGGREGATION);
    EXPECT_EQ(object, nullptr);
    inner.Reset();
    EXPECT_EQ(ComServer::ObjectCount(), before);
}

TEST(ComObject, MissingInterfaceLeavesNoObjectAndIdentityIsAnswered)
{
    const LONG before = ComServer::ObjectCount();
    void* object = reinterpret_cast<void*>(1);
    EXPECT_EQ(TestFactory().CreateInstance(nullptr, IID_IStream, &object), E_NOINTERFACE);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(ComServer::ObjectCount(), before);
    EXPECT_EQ(TestFactory().CreateInstance(nullptr, IID_IUnknown, nullptr), E_POINTER);

    ComPtr<ISupportErrorInfo> errorInfo;
    ASSERT_EQ(TestFactory().CreateInstance(nullptr, IID_PPV_ARGS(&errorInfo)), S_OK);
    // No method sets error information, so none claims to.
    EXPECT_EQ(errorInfo->InterfaceSupportsErrorInfo(IID_IObjectWithSite), S_FALSE);
    EXPECT_EQ(errorInfo->InterfaceSupportsErrorInfo(IID_IStream), S_FALSE);
    EXPECT_EQ(ComServer::ObjectCount(), before + 1);

    // A class without a class id of its own cannot have a factory, answer IPersist or register.
    EXPECT_THROW(CreateExtensionFactory(ExtensionClassOf<TNoIdExtension>(), true), Exception);
    UniqueExtension noId(ExtensionClassOf<TNoIdExtension>().Construct());
    CLSID classId{};
    EXPECT_EQ(noId->GetClassID(&classId), E_UNEXPECTED);
    EXPECT_EQ(noId->GetClassID(nullptr), E_POINTER);
    EXPECT_FALSE(noId->CanRegister());
    EXPECT_EQ(ComServer::ObjectCount(), before + 1);  // made outside COM: not counted

    try {
        CreateUncounted(ExtensionClassOf<TUnlistedExtension>());
        ADD_FAILURE() << "no factory, yet an object";
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), L"Object factory for class TUnlistedExtension missing");
    }
}

TEST(ComObject, SiteChangesOnlyWhenItDiffersAndNamesAreNormalized)
{
    TestFactory();
    UniqueExtension object = CreateUncounted(ExtensionClassOf<TTestExtension>());
    auto& test = static_cast<TTestExtension&>(*object);
    Outer site;
    EXPECT_EQ(test.SetSite(&site), S_OK);
    EXPECT_EQ(test.SetSite(&site), S_OK);
    EXPECT_EQ(test.siteChanges, 1);
    ComPtr<IUnknown> got;
    EXPECT_EQ(test.GetSite(IID_IUnknown, &got), E_NOINTERFACE);  // the site's own answer
    EXPECT_EQ(test.GetSite(IID_IUnknown, nullptr), E_POINTER);
    EXPECT_EQ(test.SetSite(nullptr), S_OK);
    EXPECT_EQ(test.siteChanges, 2);
    EXPECT_EQ(test.GetSite(IID_IUnknown, &got), E_FAIL);
    EXPECT_EQ(site.refs, 1);

    TorvNameList names = {L" maff ", L"", L"  "};
    test.NormalizeNames(names);
    EXPECT_EQ(names, TorvNameList{L"maff"});
}

TEST(ComObject, RegistryWriterWritesAndErasesTheClassKeysForTheCurrentUser)
{
    const std::wstring classKey =
        L"Software\\Classes\\CLSID\\" + GuidToString(CLSID_TestExtension);
    TestFactory().UpdateRegistry(true);
    EXPECT_EQ(ReadRegString(HKEY_CURRENT_USER, classKey, L""), L"Test extension");
    const std::wstring server = ReadRegString(HKEY_CURRENT_USER, classKey + L"\\" + ComServer::ServerKey(), L"");
    EXPECT_FALSE(server.empty());
    EXPECT_EQ(ReadRegString(HKEY_CURRENT_USER, classKey + L"\\ProgID", L""),
              L"Kestrelview.TTestExtension");
    EXPECT_EQ(ReadRegString(HKEY_CURRENT_USER, L"Software\\Classes\\Kestrelview.TTestExtension\\CLSID", L""),
              GuidToString(CLSID_TestExtension));
    EXPECT_EQ(ReadRegString(HKEY_CURRENT_USER,
                            L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Shell Extensions\\Approved",
                            GuidToString(CLSID_TestExtension)),
              L"Test extension");

    TestFactory().UpdateRegistry(false);
    EXPECT_EQ(ReadRegString(HKEY_CURRENT_USER, classKey, L""), L"");
    EXPECT_EQ(ReadRegString(HKEY_CURRENT_USER, L"Software\\Classes\\Kestrelview.TTestExtension", L""), L"");
}
