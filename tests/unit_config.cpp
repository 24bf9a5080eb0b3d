#include "platform.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string config_dir(const char *xdg, const char *home, size_t size = 4096)
{
	std::string buf(size, '\0');
	if (!qm_config_dir_from(nullptr, xdg, home, &buf[0], size))
		return "<none>";
	return buf.c_str();
}

} // namespace

TEST(ConfigDirTest, FollowsXdgConfigHomeWhenItIsAbsolute)
{
	EXPECT_EQ(config_dir("/x/cfg", "/home/u"),
		  "/x/cfg/obs-studio/plugin_config/quilmar-direct");
}

TEST(ConfigDirTest, FallsBackToHomeForUnsetEmptyOrRelativeXdg)
{
	const std::string expected =
		"/home/u/.config/obs-studio/plugin_config/quilmar-direct";
	EXPECT_EQ(config_dir(nullptr, "/home/u"), expected);
	EXPECT_EQ(config_dir("", "/home/u"), expected);
	EXPECT_EQ(config_dir("relative/cfg", "/home/u"), expected);
}

TEST(ConfigDirTest, GivesUpWithoutAHomeOrWhenTheFolderDoesNotFit)
{
	EXPECT_EQ(config_dir(nullptr, nullptr), "<none>");
	EXPECT_EQ(config_dir("", ""), "<none>");

	std::string exact = "/x/obs-studio/plugin_config/quilmar-direct";
	EXPECT_EQ(config_dir("/x", nullptr, exact.size() + 1), exact);
	EXPECT_EQ(config_dir("/x", nullptr, exact.size()), "<none>");
}
