#include "host.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#ifndef QM_MODULE_PATH
#error "QM_MODULE_PATH must name the built module"
#endif

namespace qm_test {

namespace {

[[noreturn]] void give_up(const std::string &what)
{
	fprintf(stderr, "test host: %s\n", what.c_str());
	fflush(stderr);
	std::_Exit(2);
}

} // namespace

host_environment::host_environment(host_options options)
	: options_(std::move(options))
{
}

void host_environment::SetUp()
{
	std::string error;
	if (!make_config_home("qm-test", &error))
		give_up(error);
	host_config config;
	config.fps = 60;
	if (options_.load_module)
		config.module_path = QM_MODULE_PATH;
	if (getenv("QM_TEST_LOG_ALL"))
		config.echo_level = LOG_DEBUG;
	config.after_startup = options_.after_startup;
	if (!start(config, &error))
		give_up(error);
}

void host_environment::TearDown()
{
	long leaks = stop();
	EXPECT_EQ(leaks, 0) << "libobs still counts allocations after shutdown";
	if (!getenv("QM_TEST_KEEP_CONFIG"))
		remove_config_home();
}

int run_all_tests(int argc, char **argv, host_options options)
{
	::testing::InitGoogleTest(&argc, argv);
	::testing::AddGlobalTestEnvironment(
		new host_environment(std::move(options)));
	return RUN_ALL_TESTS();
}

std::optional<std::string> read_text(const std::string &path)
{
	std::ifstream in(path, std::ios::binary);
	if (!in)
		return std::nullopt;
	std::ostringstream text;
	text << in.rdbuf();
	return text.str();
}

bool write_text(const std::string &path, const std::string &text)
{
	std::ofstream out(path, std::ios::binary | std::ios::trunc);
	out << text;
	out.close();
	return bool(out);
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

} // namespace qm_test
