// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
#include "platform/paths/paths.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

namespace {

class PathsTest : public ::testing::Test {
protected:
    void SetUp() override { ::setenv("DORNEL_ROOT", "/tmp/dornel-root/", 1); }
    void TearDown() override { ::unsetenv("DORNEL_ROOT"); }
};

TEST_F(PathsTest, SystemDefaultsResolveUnderTheRoot) {
    EXPECT_EQ(platform::paths::Root(), "/tmp/dornel-root");
    EXPECT_EQ(platform::paths::NativePath("C:\\dornel"), "/tmp/dornel-root/c/dornel");
    EXPECT_EQ(platform::paths::NativePath("C:\\dornel\\log"), "/tmp/dornel-root/c/dornel/log");
    EXPECT_EQ(platform::paths::NativePath("C:\\"), "/tmp/dornel-root/c");
    EXPECT_EQ(platform::paths::NativePath("d:\\Boot\\x.bin"), "/tmp/dornel-root/d/Boot/x.bin");
}

TEST_F(PathsTest, NativeRootedAndRelativePathsKeepTheirPlace) {
    EXPECT_EQ(platform::paths::NativePath("/srv/boot"), "/srv/boot");
    EXPECT_EQ(platform::paths::NativePath("/var/log/dornel\\dornel.log"), "/var/log/dornel/dornel.log");
    EXPECT_EQ(platform::paths::NativePath("\\dornel\\x"), "/tmp/dornel-root/c/dornel/x");
    EXPECT_EQ(platform::paths::NativePath("dir\\file"), "dir/file");
}

TEST_F(PathsTest, UnsetRootFallsBackToTheSystemFolder) {
    ::unsetenv("DORNEL_ROOT");
    EXPECT_EQ(platform::paths::Root(), "/var/lib/dornel");
    ::setenv("DORNEL_ROOT", "", 1);
    EXPECT_EQ(platform::paths::Root(), "/var/lib/dornel");
}

TEST(ShortPathName, IsThePathItselfAndReportsTheSizeNeeded) {
    char buffer[16];
    EXPECT_EQ(GetShortPathNameA("C:\\Program Files", buffer, sizeof buffer), 16u + 1u);
    EXPECT_EQ(GetShortPathNameA("C:\\PCounter", buffer, sizeof buffer), 11u);
    EXPECT_STREQ(buffer, "C:\\PCounter");
    EXPECT_EQ(GetShortPathNameA(nullptr, buffer, sizeof buffer), 0u);
}

}  // namespace
