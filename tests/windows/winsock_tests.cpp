// The module starts Winsock once when it loads and cleans it up once when
// it unloads, whoever else in the process uses Winsock: a host's own
// start-up is neither ended nor prolonged by it.
#include "host-platform.h"
#include "obs-host.h"

#include <gtest/gtest.h>

#include <winsock2.h>
#include <windows.h>

#include <string>

using namespace qm_host;

namespace {

// How many start-ups Winsock counts right now. Winsock has no call that
// tells; each clean-up succeeds while the count is above 0, so the count
// is taken down to 0 and then restored.
int winsock_users()
{
	int users = 0;
	while (WSACleanup() == 0)
		users++;
	for (int i = 0; i < users; i++) {
		WSADATA wsa;
		WSAStartup(MAKEWORD(2, 2), &wsa);
	}
	return users;
}

} // namespace

TEST(Winsock, StartedOnceByTheModuleLoadAndCleanedUpOnceByItsUnload)
{
	std::string error;
	ASSERT_TRUE(make_config_home("qm-winsock", &error)) << error;
	host_config config;
	ASSERT_TRUE(start(config, &error)) << error;

	// The entry points are called as libobs calls them, so that the
	// module's unload can be told apart from libobs's own shutdown.
	std::string file = platform::module_file(QM_MODULE_PATH);
	HMODULE dll = LoadLibraryA(file.c_str());
	ASSERT_NE(dll, nullptr) << file;
	auto load = reinterpret_cast<bool (*)()>(reinterpret_cast<void *>(
		GetProcAddress(dll, "obs_module_load")));
	auto unload = reinterpret_cast<void (*)()>(reinterpret_cast<void *>(
		GetProcAddress(dll, "obs_module_unload")));
	ASSERT_NE(load, nullptr);
	ASSERT_NE(unload, nullptr);

	// The host's own start-up, which the module must leave alone.
	WSADATA wsa;
	ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &wsa), 0);
	int before = winsock_users();
	ASSERT_GE(before, 1);
	ASSERT_TRUE(load());
	EXPECT_EQ(winsock_users(), before + 1) << "after the module's load";
	unload();
	EXPECT_EQ(winsock_users(), before) << "after the module's unload";
	WSACleanup();

	EXPECT_EQ(stop(), 0) << "libobs still counts allocations";
	FreeLibrary(dll);
	remove_config_home();
}
