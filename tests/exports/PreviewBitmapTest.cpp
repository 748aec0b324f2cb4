// Thumbnails through the built plug-in's exports, as the host's thumbnail view asks for them:
// from its own thread or a worker without COM, and with the platform's real image decoders.
// Every image of the fixtures is one solid colour, so one pixel tells which image was chosen.
#include "tests/common/CountDown.h"
#include "tests/common/PluginLoader.h"
#include "tests/common/TestEnv.h"

#include <gtest/gtest.h>
#include <objbase.h>

#include <atomic>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>
#include <vector>

using namespace kvtest;

namespace {

struct Thumbnail {
    int width = 0;
    int height = 0;
    COLORREF centre = 0;
    bool deviceDependent = false;
};

// Reads what the host reads of a returned bitmap, and deletes it as the host does.
std::optional<Thumbnail> Take(HBITMAP bitmap)
{
    if (bitmap == nullptr)
        return std::nullopt;
    Thumbnail result;
    DIBSECTION section{};
    const int described = GetObjectW(bitmap, sizeof(section), &section);
    result.deviceDependent = described == sizeof(BITMAP);
    result.width = section.dsBm.bmWidth;
    result.height = section.dsBm.bmHeight;
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(info.bmiHeader);
    info.bmiHeader.biWidth = result.width;
    info.bmiHeader.biHeight = -result.height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    std::vector<uint32_t> pixels(static_cast<size_t>(result.width) * result.height);
    const HDC screen = GetDC(nullptr);
    const int rows = GetDIBits(screen, bitmap, 0, static_cast<UINT>(result.height), pixels.data(),
                               &info, DIB_RGB_COLORS);
    ReleaseDC(nullptr, screen);
    DeleteObject(bitmap);
    if (rows != result.height || pixels.empty())
        return std::nullopt;
    const uint32_t pixel = pixels[static_cast<size_t>(result.height / 2) * result.width + result.width / 2];
    result.centre = RGB((pixel >> 16) & 0xFF, (pixel >> 8) & 0xFF, pixel & 0xFF);
    return result;
}

::testing::AssertionResult Near(COLORREF actual, COLORREF expected)
{
    const auto off = [](int a, int b) { return std::abs(a - b) > 6; };
    if (off(GetRValue(actual), GetRValue(expected)) || off(GetGValue(actual), GetGValue(expected)) ||
        off(GetBValue(actual), GetBValue(expected)))
        return ::testing::AssertionFailure()
               << "colour (" << int(GetRValue(actual)) << ", " << int(GetGValue(actual)) << ", "
               << int(GetBValue(actual)) << "), expected (" << int(GetRValue(expected)) << ", "
               << int(GetGValue(expected)) << ", " << int(GetBValue(expected)) << ")";
    return ::testing::AssertionSuccess();
}

constexpr COLORREF Green = RGB(0, 160, 0);
constexpr COLORREF Blue = RGB(0, 0, 200);
constexpr COLORREF Magenta = RGB(200, 0, 200);
constexpr COLORREF Cyan = RGB(0, 200, 200);
constexpr COLORREF Orange = RGB(250, 140, 0);
constexpr COLORREF White = RGB(255, 255, 255);

// The content buffer the host passes: the file's first bytes.
std::string FirstBytes(const std::wstring& path)
{
    std::string bytes = ReadFileBytes(path);
    bytes.resize(std::min<size_t>(bytes.size(), 8192));
    return bytes;
}

class PreviewBitmap : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_NE(plugin_.ListGetPreviewBitmapW, nullptr);
        ASSERT_NE(plugin_.ListGetPreviewBitmap, nullptr);
    }

    HBITMAP Wide(const std::wstring& path, int width, int height)
    {
        std::wstring name = path;
        std::string content = FirstBytes(path);
        return plugin_.ListGetPreviewBitmapW(name.data(), width, height, content.data(),
                                             static_cast<int>(content.size()));
    }
    std::optional<Thumbnail> Of(const std::wstring& fixture, int width = 200, int height = 200)
    {
        return Take(Wide(FixturePath(fixture), width, height));
    }

    Plugin plugin_;
};

TEST_F(PreviewBitmap, ShowsTheImageOfMostPixelsOfTheFirstPageScaledIntoTheBox)
{
    // The first page's 400 x 200 image, not its larger file, nor the larger images of the
    // second page or of no page.
    const std::optional<Thumbnail> wide = Of(L"thumb-images.maff");
    ASSERT_TRUE(wide);
    EXPECT_EQ(wide->width, 200);
    EXPECT_EQ(wide->height, 100);
    EXPECT_TRUE(Near(wide->centre, Green));
    EXPECT_TRUE(wide->deviceDependent);

    const std::optional<Thumbnail> narrow = Of(L"thumb-images.maff", 50, 200);
    ASSERT_TRUE(narrow);
    EXPECT_EQ(narrow->width, 50);
    EXPECT_EQ(narrow->height, 25);
    EXPECT_TRUE(Near(narrow->centre, Green));

    const std::optional<Thumbnail> flat = Of(L"thumb-images.maff", 300, 30);
    ASSERT_TRUE(flat);
    EXPECT_EQ(flat->width, 60);
    EXPECT_EQ(flat->height, 30);
}

TEST_F(PreviewBitmap, SmallerImagesKeepTheirSizeAndTransparencyIsWhite)
{
    const std::optional<Thumbnail> small = Of(L"thumb-small.maff", 200, 200);
    ASSERT_TRUE(small);
    EXPECT_EQ(small->width, 50);
    EXPECT_EQ(small->height, 30);
    EXPECT_TRUE(Near(small->centre, Magenta));

    const std::optional<Thumbnail> exact = Of(L"thumb-small.maff", 50, 30);
    ASSERT_TRUE(exact);
    EXPECT_EQ(exact->width, 50);
    EXPECT_EQ(exact->height, 30);

    const std::optional<Thumbnail> clear = Of(L"thumb-transparent.maff", 32, 32);
    ASSERT_TRUE(clear);
    EXPECT_EQ(clear->width, 32);
    EXPECT_EQ(clear->height, 32);
    EXPECT_TRUE(Near(clear->centre, White));
}

TEST_F(PreviewBitmap, OtherTypesAPageFoundByItsStartFileAndTheImageAfterADamagedOne)
{
    const std::optional<Thumbnail> icon = Of(L"thumb-icon.maff");
    ASSERT_TRUE(icon);
    EXPECT_EQ(icon->width, 16);
    EXPECT_EQ(icon->height, 16);
    EXPECT_TRUE(Near(icon->centre, Blue));

    const std::optional<Thumbnail> fallback = Of(L"thumb-fallback.maff", 32, 32);
    ASSERT_TRUE(fallback);
    EXPECT_EQ(fallback->width, 32);
    EXPECT_EQ(fallback->height, 24);
    EXPECT_TRUE(Near(fallback->centre, Orange));

    const std::optional<Thumbnail> next = Of(L"thumb-corrupt-largest.maff");
    ASSERT_TRUE(next);
    EXPECT_EQ(next->width, 60);
    EXPECT_EQ(next->height, 40);
    EXPECT_TRUE(Near(next->centre, Cyan));
}

TEST_F(PreviewBitmap, NoImageNoBitmap)
{
    for (const wchar_t* fixture :
         {L"thumb-none.maff", L"thumb-corrupt.maff", L"thumb-huge.maff", L"thumb-notzip.maff",
          L"archive-empty.maff", L"no-such-file.maff"})
        EXPECT_FALSE(Of(fixture)) << fixture;
    EXPECT_FALSE(Of(L"thumb-images.maff", 0, 200));
    EXPECT_FALSE(Of(L"thumb-images.maff", 200, -1));
    EXPECT_EQ(plugin_.ListGetPreviewBitmapW(nullptr, 200, 200, nullptr, 0), nullptr);
    EXPECT_EQ(plugin_.ListGetPreviewBitmap(nullptr, 200, 200, nullptr, 0), nullptr);

    // Another extension is no archive of ours, as for the viewer.
    TempFolder folder;
    const std::wstring renamed = folder.Copy(FixturePath(L"thumb-images.maff"), L"images.zip");
    EXPECT_FALSE(Take(Wide(renamed, 200, 200)));
}

TEST_F(PreviewBitmap, AnsiNameAndTheHostsBuffer)
{
    TempFolder folder;
    const std::wstring copy = folder.Copy(FixturePath(L"thumb-images.maff"), L"ansi.maff");
    const int size = WideCharToMultiByte(CP_ACP, 0, copy.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string name(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_ACP, 0, copy.c_str(), -1, name.data(), size, nullptr, nullptr);
    std::string content = FirstBytes(copy);
    const std::optional<Thumbnail> ansi = Take(plugin_.ListGetPreviewBitmap(
        name.data(), 100, 100, content.data(), static_cast<int>(content.size())));
    ASSERT_TRUE(ansi);
    EXPECT_EQ(ansi->width, 100);
    EXPECT_EQ(ansi->height, 50);
    EXPECT_TRUE(Near(ansi->centre, Green));

    // The buffer is only a hint: without it the answer is the same.
    std::wstring wide = copy;
    const std::optional<Thumbnail> unbuffered =
        Take(plugin_.ListGetPreviewBitmapW(wide.data(), 100, 100, nullptr, 0));
    ASSERT_TRUE(unbuffered);
    EXPECT_EQ(unbuffered->width, 100);
    EXPECT_TRUE(Near(unbuffered->centre, Green));
}

// Whether the thread has COM of its own: a first initialisation answers S_OK, a further one
// S_FALSE. (A thread without COM counts as a member of the multi-threaded apartment when the
// process has one, so asking for the apartment type cannot tell.)
bool ThreadHasCom()
{
    const HRESULT result = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    if (SUCCEEDED(result))
        CoUninitialize();
    return result != S_OK;
}

bool ThreadInMultiThreadedApartment()
{
    APTTYPE type{};
    APTTYPEQUALIFIER qualifier{};
    return SUCCEEDED(CoGetApartmentType(&type, &qualifier)) && type == APTTYPE_MTA &&
           qualifier != APTTYPEQUALIFIER_IMPLICIT_MTA;
}

TEST_F(PreviewBitmap, WorkerThreadsWithAndWithoutCom)
{
    constexpr int Calls = 8;
    // More threads than an archive has readers: each thumbnail holds one throughout.
    constexpr int ThreadCount = 6;
    std::atomic<int> chosen{0};
    std::atomic<int> comLeftBehind{0};
    std::atomic<int> mtaLost{0};
    std::vector<std::thread> workers;
    const std::wstring path = FixturePath(L"thumb-images.maff");
    CountDown lined(ThreadCount);
    for (int t = 0; t < ThreadCount; ++t) {
        workers.emplace_back([&, t] {
            // Half the workers live in the multi-threaded apartment already.
            const bool mta = t % 2 == 1;
            if (mta)
                CoInitializeEx(nullptr, COINIT_MULTITHREADED);
            lined.ArriveAndWait();
            for (int i = 0; i < Calls; ++i) {
                std::wstring name = path;
                const std::optional<Thumbnail> thumbnail =
                    Take(plugin_.ListGetPreviewBitmapW(name.data(), 80, 80, nullptr, 0));
                if (thumbnail && thumbnail->width == 80 && thumbnail->height == 40 &&
                    Near(thumbnail->centre, Green))
                    ++chosen;
                if (!mta && ThreadHasCom())
                    ++comLeftBehind;
                if (mta && !ThreadInMultiThreadedApartment())
                    ++mtaLost;
            }
            if (mta)
                CoUninitialize();
        });
    }
    for (std::thread& worker : workers)
        worker.join();
    EXPECT_EQ(chosen.load(), ThreadCount * Calls);
    EXPECT_EQ(comLeftBehind.load(), 0);
    EXPECT_EQ(mtaLost.load(), 0);
}

} // namespace
