// The plug-in loaded as a host loads it: by path, exports by plain name.
#include "tests/common/PluginLoader.h"

#include <gtest/gtest.h>

#include <cstring>

using kvtest::Plugin;

TEST(DetectString, BufferSizes)
{
    Plugin plugin;
    ASSERT_NE(plugin.ListGetDetectString, nullptr);
    char buffer[32];

    std::memset(buffer, 'x', sizeof(buffer));
    plugin.ListGetDetectString(buffer, 11);
    EXPECT_STREQ(buffer, "EXT=\"MAFF\"");

    std::memset(buffer, 'x', sizeof(buffer));
    plugin.ListGetDetectString(buffer, 10);
    EXPECT_EQ(buffer[0], '\0');
    EXPECT_EQ(buffer[1], 'x');

    std::memset(buffer, 'x', sizeof(buffer));
    plugin.ListGetDetectString(buffer, 0);
    EXPECT_EQ(buffer[0], 'x');

    plugin.ListGetDetectString(nullptr, 11);  // swallowed, no crash
}

TEST(DetectString, ExportsResolveByPlainName)
{
    Plugin plugin;
    for (const char* name : {"ListGetDetectString", "ListSetDefaultParams"})
        EXPECT_NE(GetProcAddress(plugin.Module(), name), nullptr) << name;
}
