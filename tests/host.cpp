#include "host.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

extern char **environ;

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

std::string settings_path(const std::string &dir)
{
	return dir + "/settings.json";
}

std::string faces_dir(const std::string &dir)
{
	return dir + "/faces";
}

bool controller_writes(const std::string &text, const std::string &dir)
{
	std::string temp = dir + "/settings.json.controller";
	return write_text(temp, text) &&
	       rename(temp.c_str(), settings_path(dir).c_str()) == 0;
}

bool controller_edits(const std::function<void(obs_data_t *)> &edit,
		      const std::string &dir)
{
	auto text = read_text(settings_path(dir));
	data_ptr file(text ? obs_data_create_from_json(text->c_str())
			   : nullptr);
	if (!file)
		return false;
	edit(file.get());
	return controller_writes(obs_data_get_json(file.get()), dir);
}

data_ptr settings_copy(obs_source_t *filter)
{
	obs_data_t *copy = obs_data_create();
	run_on_graphics_thread([&] {
		obs_data_t *live = obs_source_get_settings(filter);
		obs_data_apply(copy, live);
		obs_data_release(live);
	});
	return data_ptr(copy);
}

std::string settings_json(obs_source_t *filter)
{
	data_ptr copy = settings_copy(filter);
	return obs_data_get_json(copy.get());
}

void change_settings(obs_source_t *filter,
		     const std::function<void(obs_data_t *)> &edit)
{
	data_ptr changes(obs_data_create());
	edit(changes.get());
	// The host changes the live settings object on the calling thread,
	// while the graphics thread may be handing the same object to the
	// filter's deferred update: a race of the host's own, which many
	// quick changes turn into a crash. Changed on the graphics thread,
	// they come one after the other, as the user's do.
	run_on_graphics_thread(
		[&] { obs_source_update(filter, changes.get()); });
}

reference_list references_of(obs_data_t *settings)
{
	reference_list list;
	obs_data_array_t *refs =
		settings ? obs_data_get_array(settings, "references") : nullptr;
	for (size_t i = 0; refs && i < obs_data_array_count(refs); i++) {
		obs_data_t *item = obs_data_array_item(refs, i);
		list.values.push_back(obs_data_get_string(item, "value"));
		list.items.push_back(obs_data_get_json(item));
		obs_data_release(item);
	}
	obs_data_array_release(refs);
	return list;
}

reference_list references_of(const std::string &json)
{
	data_ptr settings(obs_data_create_from_json(json.c_str()));
	return references_of(settings.get());
}

bool let_frame_time_pass(double seconds)
{
	uint64_t start = obs_get_video_frame_time();
	return wait_until(
		[&] {
			return double(obs_get_video_frame_time() - start) /
				       1e9 >=
			       seconds;
		},
		std::chrono::seconds(60));
}

std::string run_self(const std::vector<std::string> &args,
		     const std::vector<std::string> &env,
		     std::chrono::milliseconds deadline)
{
	std::string exe = std::filesystem::read_symlink("/proc/self/exe");
	std::vector<std::string> env_text = env;
	for (char **e = environ; *e; e++) {
		std::string entry = *e;
		std::string name = entry.substr(0, entry.find('=') + 1);
		bool replaced = false;
		for (auto &given : env)
			replaced = replaced || given.rfind(name, 0) == 0;
		if (!replaced)
			env_text.push_back(entry);
	}
	std::vector<char *> envp;
	for (auto &e : env_text)
		envp.push_back(e.data());
	envp.push_back(nullptr);
	std::vector<std::string> arg_text{exe};
	arg_text.insert(arg_text.end(), args.begin(), args.end());
	std::vector<char *> argv;
	for (auto &a : arg_text)
		argv.push_back(a.data());
	argv.push_back(nullptr);

	pid_t pid = 0;
	if (posix_spawn(&pid, exe.c_str(), nullptr, nullptr, argv.data(),
			envp.data()) != 0)
		return "cannot start " + exe;
	int status = 0;
	bool ended = wait_until(
		[&] { return waitpid(pid, &status, WNOHANG) == pid; }, deadline,
		std::chrono::milliseconds(20));
	if (!ended) {
		kill(pid, SIGKILL);
		waitpid(pid, &status, 0);
		return "it hung and was killed";
	}
	if (WIFSIGNALED(status))
		return std::string("it died of signal ") +
		       strsignal(WTERMSIG(status));
	if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
		return "it exited with status " +
		       std::to_string(WEXITSTATUS(status));
	return "";
}

void endpoint_reads::mark()
{
	input_mark_ = input_.count();
	output_mark_ = output_.count();
}

bool endpoint_reads::seen(int times) const
{
	return input_.count() - input_mark_ >= times &&
	       output_.count() - output_mark_ >= times;
}

bool endpoint_reads::wait(int times, std::chrono::milliseconds deadline) const
{
	return wait_until([&] { return seen(times); }, deadline);
}

std::set<std::string> thread_ids_but_controller()
{
	std::set<std::string> ids;
	std::error_code ec;
	for (auto &entry :
	     std::filesystem::directory_iterator("/proc/self/task", ec)) {
		std::ifstream comm(entry.path() / "comm");
		std::string name;
		std::getline(comm, name);
		if (name.rfind(CONTROLLER_THREADS, 0) != 0)
			ids.insert(entry.path().filename().string());
	}
	return ids;
}

int thread_count_but_controller()
{
	return int(thread_ids_but_controller().size());
}

size_t still_running(const std::set<std::string> &ids)
{
	size_t n = 0;
	std::error_code ec;
	for (auto &id : ids)
		n += std::filesystem::exists("/proc/self/task/" + id, ec);
	return n;
}

std::set<std::string> started_since(const std::set<std::string> &before)
{
	std::set<std::string> started;
	for (auto &id : thread_ids_but_controller())
		if (!before.count(id))
			started.insert(id);
	return started;
}

int fd_count()
{
	int n = 0;
	std::error_code ec;
	for (auto it = std::filesystem::directory_iterator("/proc/self/fd", ec);
	     !ec && it != std::filesystem::directory_iterator();
	     it.increment(ec))
		n++;
	return n;
}

} // namespace qm_test
