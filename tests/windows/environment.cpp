#include "environment.h"
#include "wide_files.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace qm_wintest {

void host_environment::SetUp()
{
	std::string error;
	host_config config;
	config.module_path = "quilmar-direct.dll";
	if (getenv("QM_TEST_LOG_ALL"))
		config.echo_level = LOG_DEBUG;
	if (!make_config_home("qm-wintest", &error) || !start(config, &error)) {
		fprintf(stderr, "test host: %s\n", error.c_str());
		fflush(stderr);
		std::_Exit(2);
	}
}

void host_environment::TearDown()
{
	EXPECT_EQ(stop(), 0) << "libobs still counts allocations after "
				"shutdown that it does not keep without "
				"the module";
	remove_config_home();
}

std::optional<std::string> read_text(const std::string &path)
{
	return qm_wide::read_text(qm_wide::widen(path));
}

bool write_text(const std::string &path, const std::string &text)
{
	std::ofstream out(path, std::ios::binary | std::ios::trunc);
	return bool(out << text) && bool(out.flush());
}

std::vector<std::string> names_in(const std::string &dir)
{
	std::vector<std::string> names;
	std::error_code ec;
	for (auto &entry : std::filesystem::directory_iterator(dir, ec))
		names.push_back(entry.path().filename().string());
	std::sort(names.begin(), names.end());
	return names;
}

} // namespace qm_wintest

int main(int argc, char **argv)
{
	::testing::InitGoogleTest(&argc, argv);
	::testing::AddGlobalTestEnvironment(new qm_wintest::host_environment);
	return RUN_ALL_TESTS();
}
