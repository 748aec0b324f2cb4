// The error page byte for byte, media type sniffing over a plug-in stream, and extensions
// from the MIME database.
#include "protocol/ErrorPage.h"
#include "protocol/MimeTypes.h"
#include "protocol/ShellResponse.h"
#include "shell/Exceptions.h"
#include "shell/Stream.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

using namespace kv;

namespace {

std::string PageWith(const std::string& paragraph)
{
    return "<!DOCTYPE html PUBLIC \"-//W3C//DTD XHTML 1.0 Transitional//EN\" "
           "\"http://www.w3.org/TR/xhtml1/DTD/xhtml1-transitional.dtd\">\r\n"
           "<html xmlns=\"http://www.w3.org/1999/xhtml\" xml:lang=\"en-gb\" lang=\"en-gb\" >\r\n"
           "  <head>\r\n"
           "    <meta http-equiv=\"content-type\" content=\"text/html; charset=utf-8\" />\r\n"
           "    <title>ERROR</title>\r\n"
           "  </head>\r\n"
           "  <body>\r\n"
           "  <h1>ERROR</h1>\r\n"
           "  <p>\r\n" +
           paragraph +
           "  </p>\r\n"
           "  </body>\r\n"
           "</html>\r\n";
}

std::string PageOf(const std::wstring& message, TorvShellResponse* response = nullptr)
{
    const auto stream = BuildErrorPage(message, response);
    EXPECT_EQ(stream->Position(), 0u);
    return std::string(stream->Data().begin(), stream->Data().end());
}

// A plug-in stream over bytes that hands out at most a few bytes per read, as a file or
// pipe may.
class ByteStream final : public TorvStream {
public:
    explicit ByteStream(std::string bytes, uint32_t chunk = 100) : bytes_(std::move(bytes)), chunk_(chunk) {}

    uint32_t Read(void* buffer, uint32_t count) override
    {
        const size_t n = std::min<size_t>({count, chunk_, bytes_.size() - std::min(position_, bytes_.size())});
        std::memcpy(buffer, bytes_.data() + position_, n);
        position_ += n;
        return static_cast<uint32_t>(n);
    }
    uint32_t Write(const void*, uint32_t) override { throw EOleSysError(STG_E_ACCESSDENIED); }
    int64_t Seek(int64_t offset, DWORD origin) override
    {
        const int64_t base = origin == STREAM_SEEK_SET   ? 0
                             : origin == STREAM_SEEK_CUR ? static_cast<int64_t>(position_)
                                                         : static_cast<int64_t>(bytes_.size());
        position_ = static_cast<size_t>(base + offset);
        return base + offset;
    }

private:
    std::string bytes_;
    uint32_t chunk_;
    size_t position_ = 0;
};

} // namespace

TEST(ErrorPage, EscapedMessageLinesByteForByte)
{
    TorvShellResponse response;
    response.SetValue(L"Content-Type", L"image/png; charset=x");
    EXPECT_EQ(PageOf(L"Invalid file", &response), PageWith("Invalid file<br />\r\n"));
    EXPECT_EQ(response.GetStatus(), 502);
    EXPECT_EQ(response.GetStatusText(), L"EXCEPTION");
    EXPECT_EQ(response.GetContentType(), L"text/html");
    // An HTML page like any other: the engine's newest mode.
    EXPECT_EQ(response.GetValue(L"X-UA-Compatible"), L"IE=edge");

    EXPECT_EQ(PageOf(L"<a href=\"x\">&'"),
              PageWith("&lt;a href=&quot;x&quot;&gt;&amp;'<br />\r\n"));
    EXPECT_EQ(PageOf(L""), PageWith(""));
    EXPECT_EQ(PageOf(L"one\r\ntwo\r\n"), PageWith("one<br />\r\ntwo<br />\r\n"));
    EXPECT_EQ(PageOf(L"a\rb\n\nc\t"), PageWith("a<br />\r\nb<br />\r\n<br />\r\nc\t<br />\r\n"));
    EXPECT_EQ(PageOf(L"Datei \u00FCber \u20AC"),
              PageWith("Datei \xC3\xBC" "ber \xE2\x82\xAC<br />\r\n"));
}

TEST(ErrorPage, TakesTheMessageOfAnyException)
{
    const auto page = [](std::exception_ptr error) {
        const auto stream = BuildErrorPage(error, nullptr);
        return std::string(stream->Data().begin(), stream->Data().end());
    };
    EXPECT_EQ(page(std::make_exception_ptr(EOleSysError(L"Item <x> not found", E_FAIL))),
              PageWith("Item &lt;x&gt; not found<br />\r\n"));
    EXPECT_EQ(page(std::make_exception_ptr(std::runtime_error("plain"))),
              PageWith("plain<br />\r\n"));
    EXPECT_EQ(page(nullptr), PageWith("Unknown error<br />\r\n"));
}

TEST(MimeTypes, SniffsTheFirstBytesAndRewinds)
{
    const std::string png("\x89PNG\r\n\x1a\n\0\0\0\rIHDR", 16);
    ByteStream image(png + std::string(400, '\0'), 7);
    std::wstring type = L"unchanged";
    EXPECT_TRUE(SniffMimeType(L"maff://0*/a/picture", image, type));
    EXPECT_EQ(type, L"image/x-png");
    EXPECT_EQ(image.Position(), 0);

    ByteStream html("<html><head><title>x</title></head><body>hello</body></html>");
    html.SetPosition(3);
    EXPECT_TRUE(SniffMimeType(L"maff://0*/a/page", html, type));
    EXPECT_EQ(type, L"text/html");
    EXPECT_EQ(html.Position(), 0);

    ByteStream unknown(std::string("\x01\x02\x03\xFE\xFF\x00\x10", 7));
    EXPECT_TRUE(SniffMimeType(L"maff://0*/a/blob", unknown, type));
    EXPECT_EQ(type, L"application/octet-stream");

    // At its end the stream gives no bytes: only the URL's file name can tell, and when it
    // cannot, the caller's type stays. Either way the stream is rewound.
    ByteStream atEnd("GIF89a");
    atEnd.Seek(0, STREAM_SEEK_END);
    type = L"unchanged";
    EXPECT_TRUE(SniffMimeType(L"maff://0*/a/picture.gif", atEnd, type));
    EXPECT_EQ(type, L"image/gif");
    EXPECT_EQ(atEnd.Position(), 0);
    atEnd.Seek(0, STREAM_SEEK_END);
    type = L"unchanged";
    EXPECT_FALSE(SniffMimeType(L"maff://0*/a/picture", atEnd, type));
    EXPECT_EQ(type, L"unchanged");
    EXPECT_EQ(atEnd.Position(), 0);
}

TEST(MimeTypes, ExtensionFromTheMimeDatabase)
{
    EXPECT_EQ(ExtensionFromMimeType(L"image/svg+xml"), L"svg");
    EXPECT_EQ(ExtensionFromMimeType(L"image/png"), L"png");
    EXPECT_EQ(ExtensionFromMimeType(L"application/x-kestrelview-unregistered"), L"");
    EXPECT_EQ(ExtensionFromMimeType(L""), L"");
}
