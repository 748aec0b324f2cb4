// The viewer through the built plug-in's exports, with the platform's browser control inside.
// Under Wine the control has no HTML engine: it navigates but never gets a document, so
// commands that need one are refused and end in the failure result.
#include "tests/common/PluginLoader.h"
#include "tests/common/TestEnv.h"
#include "tests/exports/HostWindow.h"

#include "shell/Strings.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace kvtest;

namespace {

const std::wstring FirstLabel = L"First page - http://example.org/first/";
const std::wstring SecondLabel = L"Second page - http://example.org/second/";
const std::wstring OnlyLabel = L"Only page - http://example.org/only/";

class ViewerExports : public ::testing::Test {
protected:
    HWND Load(const std::wstring& fixture)
    {
        std::wstring path = FixturePath(fixture);
        return plugin_.ListLoadW(host_.Handle(), path.data(), 0);
    }
    int LoadNext(HWND viewer, const std::wstring& fixture)
    {
        std::wstring path = FixturePath(fixture);
        return plugin_.ListLoadNextW(host_.Handle(), viewer, path.data(), 0);
    }

    Plugin plugin_;
    HostWindow host_;  // destroyed first: nothing of the plug-in outlives it
};

} // namespace

TEST_F(ViewerExports, TwoPageArchiveListsBothPagesAndShowsTheFirst)
{
    const HWND viewer = Load(L"viewer-two-pages.maff");
    ASSERT_NE(viewer, nullptr);
    EXPECT_EQ(GetParent(viewer), host_.Handle());
    EXPECT_TRUE(IsWindowVisible(viewer));
    EXPECT_EQ(ViewerLabels(viewer), (std::vector<std::wstring>{FirstLabel, SecondLabel}));
    EXPECT_EQ(ViewerSelection(viewer), 0);
    PumpMessages();

    plugin_.ListCloseWindow(viewer);
    EXPECT_FALSE(IsWindow(viewer));
    EXPECT_EQ(host_.ChildCount(), 0);
}

TEST_F(ViewerExports, LoadNextRebuildsTheListAndKeepsTheViewerOnFailure)
{
    const HWND viewer = Load(L"viewer-two-pages.maff");
    ASSERT_NE(viewer, nullptr);
    EXPECT_EQ(LoadNext(viewer, L"viewer-one-page.maff"), 0);
    EXPECT_EQ(ViewerLabels(viewer), std::vector<std::wstring>{OnlyLabel});
    EXPECT_EQ(ViewerSelection(viewer), 0);

    for (const wchar_t* name : {L"viewer-no-pages.maff", L"viewer-two-pages.zip"}) {
        EXPECT_EQ(LoadNext(viewer, name), 1) << name;
        EXPECT_TRUE(IsWindow(viewer)) << name;
        EXPECT_TRUE(ViewerLabels(viewer).empty()) << name;
    }
    EXPECT_EQ(LoadNext(viewer, L"viewer-two-pages-caps.MAFF"), 0);
    EXPECT_EQ(ViewerLabels(viewer), (std::vector<std::wstring>{FirstLabel, SecondLabel}));
    plugin_.ListCloseWindow(viewer);
}

TEST_F(ViewerExports, FailedLoadsLeaveNoWindow)
{
    for (const wchar_t* name : {L"viewer-two-pages.zip", L"viewer-two-pages",
                                L"viewer-two-pages.maff.zip", L"viewer-no-pages.maff",
                                L"not-a-zip.maff", L"no-such-file.maff"}) {
        EXPECT_EQ(Load(name), nullptr) << name;
        EXPECT_EQ(host_.ChildCount(), 0) << name;
    }
    EXPECT_EQ(plugin_.ListLoadW(host_.Handle(), nullptr, 0), nullptr);
    std::wstring path = FixturePath(L"viewer-two-pages.maff");
    EXPECT_EQ(plugin_.ListLoadW(nullptr, path.data(), 0), nullptr);  // a child needs a parent
}

TEST_F(ViewerExports, CapitalExtensionLoads)
{
    const HWND viewer = Load(L"viewer-two-pages-caps.MAFF");
    ASSERT_NE(viewer, nullptr);
    EXPECT_EQ(ViewerLabels(viewer).size(), 2u);
    plugin_.ListCloseWindow(viewer);
}

TEST_F(ViewerExports, SeveralViewersAtOnce)
{
    const HWND first = Load(L"viewer-two-pages.maff");
    const HWND second = Load(L"viewer-one-page.maff");
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_NE(first, second);
    plugin_.ListCloseWindow(first);
    EXPECT_FALSE(IsWindow(first));
    EXPECT_EQ(ViewerLabels(second), std::vector<std::wstring>{OnlyLabel});
    EXPECT_EQ(plugin_.ListSendCommand(second, 2, 0), 1);
    plugin_.ListCloseWindow(second);
    EXPECT_EQ(host_.ChildCount(), 0);
}

TEST_F(ViewerExports, ForeignHandlesGiveEachExportsResult)
{
    const HWND child = CreateWindowExW(0, L"STATIC", L"not a viewer", WS_CHILD | WS_VISIBLE, 0, 0,
                                       100, 100, host_.Handle(), nullptr, nullptr, nullptr);
    ASSERT_NE(child, nullptr);
    std::wstring file = FixturePath(L"viewer-two-pages.maff");
    std::wstring text = L"page";
    for (const HWND foreign : {host_.Handle(), child, HWND(nullptr), GetDesktopWindow()}) {
        EXPECT_EQ(plugin_.ListLoadNextW(host_.Handle(), foreign, file.data(), 0), 1);
        EXPECT_EQ(plugin_.ListSearchTextW(foreign, text.data(), 0), 1);
        EXPECT_EQ(plugin_.ListSendCommand(foreign, 1, 0), 1);
        EXPECT_EQ(plugin_.ListSendCommand(foreign, 3, 0), 1);
        EXPECT_EQ(plugin_.ListSearchDialog(foreign, 0), 1);
        EXPECT_EQ(plugin_.ListPrintW(foreign, file.data(), nullptr, 0, nullptr), 1);
        plugin_.ListCloseWindow(foreign);
    }
    EXPECT_TRUE(IsWindow(host_.Handle()));
    EXPECT_TRUE(IsWindow(child));
}

// The commands reach the real control: right after the load, before any message has let the
// navigation get anywhere, it has no document on any platform and refuses them, and each
// export gives its failure result; codes the plug-in does not support never reach it.
TEST_F(ViewerExports, CommandsOnTheRealControl)
{
    const HWND viewer = Load(L"viewer-two-pages.maff");
    ASSERT_NE(viewer, nullptr);
    EXPECT_EQ(plugin_.ListSendCommand(viewer, 1, 0), 1);
    EXPECT_EQ(plugin_.ListSendCommand(viewer, 3, 0), 1);
    // No dialog of its own: the host shows its search dialog, for "find" and "find next".
    EXPECT_EQ(plugin_.ListSearchDialog(viewer, 0), 1);
    EXPECT_EQ(plugin_.ListSearchDialog(viewer, 1), 1);
    std::wstring text = L"page";
    EXPECT_EQ(plugin_.ListSearchTextW(viewer, text.data(), 1), 1);
    // Still loading: nothing is opened, but the viewer was found.
    EXPECT_EQ(plugin_.ListPrintW(viewer, nullptr, nullptr, 0, nullptr), 0);
    EXPECT_EQ(plugin_.ListSendCommand(viewer, 2, 0), 1);  // new parameters: not supported
    EXPECT_EQ(plugin_.ListSendCommand(viewer, 4, 50), 1);  // set percent: no document to scroll
    EXPECT_EQ(plugin_.ListSendCommand(viewer, 0, 0), 1);
    // None of it harmed the viewer.
    EXPECT_EQ(ViewerLabels(viewer), (std::vector<std::wstring>{FirstLabel, SecondLabel}));
    PumpMessages();
    plugin_.ListCloseWindow(viewer);
    EXPECT_EQ(host_.ChildCount(), 0);
}

TEST_F(ViewerExports, AnsiFormsConvertAndForward)
{
    std::string path = kv::WideToAnsi(FixturePath(L"viewer-two-pages.maff"));
    const HWND viewer = plugin_.ListLoad(host_.Handle(), path.data(), 0);
    ASSERT_NE(viewer, nullptr);
    EXPECT_EQ(ViewerLabels(viewer), (std::vector<std::wstring>{FirstLabel, SecondLabel}));

    std::string next = kv::WideToAnsi(FixturePath(L"viewer-one-page.maff"));
    EXPECT_EQ(plugin_.ListLoadNext(host_.Handle(), viewer, next.data(), 0), 0);
    EXPECT_EQ(ViewerLabels(viewer), std::vector<std::wstring>{OnlyLabel});
    std::string wrong = kv::WideToAnsi(FixturePath(L"viewer-two-pages.zip"));
    EXPECT_EQ(plugin_.ListLoadNext(host_.Handle(), viewer, wrong.data(), 0), 1);
    EXPECT_EQ(plugin_.ListLoadNext(host_.Handle(), host_.Handle(), next.data(), 0), 1);

    std::string text = "page";
    EXPECT_EQ(plugin_.ListSearchText(viewer, text.data(), 0), 1);  // no document under Wine
    EXPECT_EQ(plugin_.ListSearchText(host_.Handle(), text.data(), 0), 1);
    std::string printer = "Printer";
    EXPECT_EQ(plugin_.ListPrint(viewer, path.data(), printer.data(), 0, nullptr), 0);
    EXPECT_EQ(plugin_.ListPrint(host_.Handle(), path.data(), printer.data(), 0, nullptr), 1);

    EXPECT_EQ(plugin_.ListLoad(host_.Handle(), wrong.data(), 0), nullptr);
    EXPECT_EQ(plugin_.ListLoad(host_.Handle(), nullptr, 0), nullptr);
    plugin_.ListCloseWindow(viewer);
    EXPECT_EQ(host_.ChildCount(), 0);
}
