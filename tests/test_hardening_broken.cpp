// Hardening, in the real host against the fake controller: endpoint and
// settings files that are broken or hostile (huge, binary, unfinished
// JSON, or a folder, a link or a FIFO in place of the file).
// Throughout, what the filter draws must never contain the source's own
// pixels, and every case ends with no thread, descriptor or libobs
// allocation left behind (the fixture is in hardening_support.h).
#include "hardening_support.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

using namespace hardening;

namespace {

using EndpointFiles = hardening_test;
using SettingsFile = hardening_test;

} // namespace

// ---------------------------------------------------------------------------
// Broken files

TEST_F(EndpointFiles, HugeBinaryFolderOrLinkNeverConnects)
{
	ASSERT_TRUE(ctl->start(0, 0, false));
	make_filter();
	for (broken b : ALL_BROKEN) {
		step = broken_name(b);
		SCOPED_TRACE(step);
		for (endpoint ep : {endpoint::input, endpoint::output}) {
			std::string head =
				"{\"port\": " + std::to_string(ctl->port(ep)) +
				", \"token\": \"" + ctl->token(ep) +
				"\", \"pad\": \"";
			ASSERT_TRUE(
				place_broken(ctl->endpoint_path(ep), b, head));
		}
		EXPECT_TRUE(only_black_while_reread());
		EXPECT_EQ(ctl->connection_count(endpoint::input), 0u);
		EXPECT_EQ(ctl->connection_count(endpoint::output), 0u);
	}
	for (endpoint ep : {endpoint::input, endpoint::output})
		remove_path(ctl->endpoint_path(ep));

	// A 50 MB file that is valid JSON is read like any other.
	step = "50 MB of valid JSON";
	for (endpoint ep : {endpoint::input, endpoint::output}) {
		fake::endpoint_file f;
		f.raw = "{\"port\": " + std::to_string(ctl->port(ep)) +
			", \"token\": \"" + ctl->token(ep) + "\", \"pad\": \"" +
			std::string(HUGE_SIZE, 'a') + "\"}";
		ASSERT_TRUE(ctl->publish(ep, f));
	}
	EXPECT_TRUE(ctl->wait_token_ok(endpoint::input, 1, LONG));
	EXPECT_TRUE(ctl->wait_token_ok(endpoint::output, 1, LONG));
}

TEST_F(SettingsFile, HugeBinaryFolderOrLinkAppliesNothing)
{
	make_filter();
	ASSERT_TRUE(wait_until([&] { return stdfs::exists(settings_path()); },
			       LONG));
	update_counter updates(fs.filter.get());
	std::string before = settings_json(fs.filter.get());

	for (broken b : ALL_BROKEN) {
		step = broken_name(b);
		SCOPED_TRACE(step);
		ASSERT_TRUE(place_broken(settings_path(), b,
					 "{\"fps\": 5, \"note\": \""));
		show();
		ASSERT_TRUE(let_frame_time_pass());
		show();
		EXPECT_EQ(updates.count, 0);
		EXPECT_EQ(settings_json(fs.filter.get()), before);
	}
	remove_path(settings_path());

	// The next change writes the file again, and the poll takes up the
	// controller's changes as before.
	step = "after the broken files";
	change_settings(fs.filter.get(),
			[](obs_data_t *d) { obs_data_set_int(d, "fps", 20); });
	ASSERT_TRUE(wait_until([&] {
		data_ptr d(obs_data_create_from_json(
			read_text(settings_path()).value_or("{}").c_str()));
		return d && obs_data_get_int(d.get(), "fps") == 20;
	}));
	ASSERT_TRUE(controller_edits(
		[](obs_data_t *d) { obs_data_set_int(d, "fps", 40); }));
	EXPECT_TRUE(wait_until([&] {
		data_ptr s(obs_data_create_from_json(
			settings_json(fs.filter.get()).c_str()));
		return obs_data_get_int(s.get(), "fps") == 40;
	}));
}

// A folder in place of a file: each case runs in a process of its own, as
// reading one has brought the host down.
TEST_F(EndpointFiles, FolderInPlaceOfTheFileNeverConnects)
{
	if (!in_child()) {
		ran_in_child = true;
		run_in_child();
		return;
	}
	ASSERT_TRUE(ctl->start(0, 0, false));
	make_filter();
	step = "folders in place of the endpoint files";
	for (endpoint ep : {endpoint::input, endpoint::output})
		ASSERT_TRUE(place_broken(ctl->endpoint_path(ep), broken::folder,
					 ""));
	EXPECT_TRUE(only_black_while_reread());
	EXPECT_EQ(ctl->connection_count(endpoint::input), 0u);
	EXPECT_EQ(ctl->connection_count(endpoint::output), 0u);
	for (endpoint ep : {endpoint::input, endpoint::output})
		remove_path(ctl->endpoint_path(ep));
	ASSERT_TRUE(ctl->publish_all());
	EXPECT_TRUE(ctl->wait_token_ok(endpoint::input, 1, LONG));
}

TEST_F(SettingsFile, FolderInPlaceOfTheFileAppliesNothing)
{
	if (!in_child()) {
		ran_in_child = true;
		run_in_child();
		return;
	}
	make_filter();
	ASSERT_TRUE(wait_until([&] { return stdfs::exists(settings_path()); },
			       LONG));
	update_counter updates(fs.filter.get());
	std::string before = settings_json(fs.filter.get());
	step = "a folder in place of settings.json";
	ASSERT_TRUE(place_broken(settings_path(), broken::folder, ""));
	show();
	ASSERT_TRUE(let_frame_time_pass());
	show();
	EXPECT_EQ(updates.count, 0);
	EXPECT_EQ(settings_json(fs.filter.get()), before);
	remove_path(settings_path());
}

// A FIFO at a file's name: opening it for reading waits for a writer.
// The module must neither hang a worker (and with it teardown) nor the
// host's graphics thread on one. Should it, the test opens the FIFO for
// writing itself to set the reader free, so that the run can go on.
namespace {

// Sets free any reader waiting on the FIFO at path and removes it.
void release_fifo(const std::string &path)
{
	int fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
	unlink(path.c_str());
	if (fd >= 0)
		close(fd);
}

} // namespace

TEST_F(EndpointFiles, FifoHoldsNeitherWorkersNorTeardown)
{
	ASSERT_TRUE(ctl->start(0, 0, false));
	auto before = thread_ids_but_controller();
	make_filter();
	auto workers = started_since(before);
	ASSERT_GE(workers.size(), 2u);
	// libobs's complaint when a freed reader finds the FIFO empty.
	allowed_log.push_back("Allocating 0 bytes");
	step = "FIFO endpoint files";
	for (endpoint ep : {endpoint::input, endpoint::output})
		ASSERT_EQ(mkfifo(ctl->endpoint_path(ep).c_str(), 0600), 0);
	EXPECT_TRUE(only_black_while_reread());

	auto destroy_at = fake::clock::now();
	fs = filtered_source();
	bool ended = wait_until([&] { return still_running(workers) == 0; },
				ms(10000));
	EXPECT_TRUE(ended) << "teardown hangs on a FIFO endpoint file ("
			   << elapsed(destroy_at).count() << " ms)";
	if (!ended) {
		for (endpoint ep : {endpoint::input, endpoint::output})
			release_fifo(ctl->endpoint_path(ep));
		ASSERT_TRUE(wait_until(
			[&] { return still_running(workers) == 0; }, LONG));
	}
	EXPECT_LE(elapsed(destroy_at), 5000ms);
}

TEST_F(SettingsFile, FifoDoesNotFreezeTheHost)
{
	make_filter();
	ASSERT_TRUE(wait_until([&] { return stdfs::exists(settings_path()); },
			       LONG));
	allowed_log.push_back("Allocating 0 bytes");
	step = "FIFO settings file";
	remove_path(settings_path());
	ASSERT_EQ(mkfifo(settings_path().c_str(), 0600), 0);

	// The host's video clock must go on while the poll meets the FIFO.
	uint64_t start = obs_get_video_frame_time();
	bool moving = wait_until(
		[&] {
			return obs_get_video_frame_time() - start >= 2000000000;
		},
		ms(6000));
	EXPECT_TRUE(moving) << "the graphics thread hangs on a FIFO "
			       "settings file";
	if (!moving) {
		release_fifo(settings_path());
		ASSERT_TRUE(let_frame_time_pass(0.5));
	}
	show();
	remove_path(settings_path());
}
