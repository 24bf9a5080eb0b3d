// The controller as a child process of the demo: posix_spawn with its
// stdout on a pipe, SIGTERM (SIGKILL when it does not end), and the
// key=value pairs of the summary line it prints last.
#include "demo-controller.h"

#include "host-wait.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <sstream>
#include <vector>

extern char **environ;

using namespace qm_host;

namespace qm_demo {

bool start_controller(const std::string &path, const std::string &config_dir,
		      controller_run *run)
{
	int fds[2];
	if (pipe2(fds, O_CLOEXEC) != 0)
		return false;
	posix_spawn_file_actions_t actions;
	posix_spawn_file_actions_init(&actions);
	posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
	std::vector<std::string> args = {path, "--config-dir", config_dir,
					 "--quiet"};
	std::vector<char *> argv;
	for (auto &a : args)
		argv.push_back(a.data());
	argv.push_back(nullptr);
	pid_t pid = -1;
	int err = posix_spawn(&pid, path.c_str(), &actions, nullptr,
			      argv.data(), environ);
	posix_spawn_file_actions_destroy(&actions);
	close(fds[1]);
	if (err != 0) {
		close(fds[0]);
		return false;
	}
	run->pid = pid;
	run->stdout_fd = fds[0];
	return true;
}

bool controller_alive(controller_run *run, int *status)
{
	if (run->pid <= 0)
		return false;
	if (waitpid(run->pid, status, WNOHANG) == 0)
		return true;
	run->pid = -1;
	return false;
}

int stop_controller(controller_run *run, controller_summary *summary)
{
	int status = 0;
	int code = -1;
	if (run->pid > 0) {
		kill(run->pid, SIGTERM);
		pid_t pid = run->pid;
		bool ended = wait_until(
			[&] { return waitpid(pid, &status, WNOHANG) == pid; },
			STOP_DEADLINE, std::chrono::milliseconds(10));
		if (!ended) {
			kill(pid, SIGKILL);
			waitpid(pid, &status, 0);
		} else if (WIFEXITED(status)) {
			code = WEXITSTATUS(status);
		}
		run->pid = -1;
	}
	std::string out;
	char buf[4096];
	ssize_t n;
	while (run->stdout_fd >= 0 &&
	       (n = read(run->stdout_fd, buf, sizeof(buf))) > 0)
		out.append(buf, size_t(n));
	if (run->stdout_fd >= 0)
		close(run->stdout_fd);
	run->stdout_fd = -1;

	size_t at = out.rfind("frames_in=");
	if (at != std::string::npos) {
		std::istringstream words(out.substr(at));
		std::string word;
		while (words >> word) {
			size_t eq = word.find('=');
			if (eq != std::string::npos)
				summary->values[word.substr(0, eq)] =
					atof(word.c_str() + eq + 1);
		}
		summary->valid = summary->values.count("frames_out") == 1;
	}
	return code;
}

} // namespace qm_demo
