// The controller's endpoint files on every way out and in: a fatal signal
// removes them and still ends the program by that signal, and files left
// behind by an earlier controller, or naming a port someone else has taken
// since, are removed at start.

#include "controller-process.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <thread>

using namespace qm_ctl;

namespace {

const char *const INPUT_FILE = "filter-input.endpoint";
const char *const OUTPUT_FILE = "direct-output.endpoint";

// Only QR codes: no model is needed, so the program starts at once.
const char *const QR_ONLY =
	R"({"face_enabled": false, "phone_enabled": false, "delay": 1.0})";

// A listening socket on 127.0.0.1, in this process (the controller's user)
// or, after as_user, in a child process run as that user.
struct listener {
	int fd = -1;
	int port = 0;
	pid_t child = -1;

	explicit listener(uid_t as_user = uid_t(-1))
	{
		int ports[2];
		if (as_user == uid_t(-1)) {
			fd = listen_any(&port);
			return;
		}
		if (pipe(ports) != 0)
			return;
		child = fork();
		if (child == 0) {
			int p = 0;
			if (setgid(as_user) != 0 || setuid(as_user) != 0 ||
			    listen_any(&p) < 0)
				p = 0;
			if (write(ports[1], &p, sizeof(p)) != sizeof(p))
				_exit(1);
			pause();
			_exit(0);
		}
		close(ports[1]);
		if (read(ports[0], &port, sizeof(port)) != sizeof(port))
			port = 0;
		close(ports[0]);
	}
	~listener()
	{
		if (fd >= 0)
			close(fd);
		if (child > 0) {
			kill(child, SIGKILL);
			waitpid(child, nullptr, 0);
		}
	}

	static int listen_any(int *port)
	{
		int s = socket(AF_INET, SOCK_STREAM, 0);
		sockaddr_in a{};
		a.sin_family = AF_INET;
		a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
		socklen_t len = sizeof(a);
		if (s < 0 || bind(s, (sockaddr *)&a, sizeof(a)) != 0 ||
		    listen(s, 4) != 0 ||
		    getsockname(s, (sockaddr *)&a, &len) != 0) {
			if (s >= 0)
				close(s);
			return -1;
		}
		*port = ntohs(a.sin_port);
		return s;
	}
};

// A port nobody listens on (any more).
int free_port()
{
	listener l;
	return l.port;
}

std::string endpoint_text(int port, char fill)
{
	return "{\"port\": " + std::to_string(port) + ", \"token\": \"" +
	       std::string(64, fill) + "\"}\n";
}

// A model folder without models: the detectors that need them stay off.
std::vector<std::string> quick_args(const temp_dir &dir)
{
	fs::create_directories(dir.path / "no-models");
	return {"--config-dir", dir.path.string(), "--model-dir",
		(dir.path / "no-models").string()};
}

} // namespace

TEST(ControllerExits, FatalSignalsRemoveTheFilesAndStillEndTheProgram)
{
	// The default action of most of these signals writes a core file.
	rlimit no_core{0, 0};
	setrlimit(RLIMIT_CORE, &no_core);
	for (int sig : {SIGSEGV, SIGABRT, SIGBUS, SIGFPE, SIGILL}) {
		SCOPED_TRACE(strsignal(sig));
		temp_dir dir;
		write_whole(dir.path / "settings.json", QR_ONLY);
		controller_process ctl(quick_args(dir), dir.path);
		endpoint in, out;
		ASSERT_TRUE(wait_endpoints(dir.path, in, out)) << ctl.std_err();
		// Serving a filter at the time.
		sock filter_in = connect_with(in.port, in.token);
		sock filter_out = connect_with(out.port, out.token);
		std::this_thread::sleep_for(milliseconds(300));
		// A file another controller has put in place since is not
		// this one's to remove.
		std::string other = endpoint_text(out.port + 1, 'Q');
		if (sig == SIGABRT)
			write_whole(dir.path / OUTPUT_FILE, other);

		ASSERT_EQ(kill(ctl.pid, sig), 0);
		EXPECT_EQ(ctl.wait_exit(), -1);
		ASSERT_TRUE(ctl.exited);
		ASSERT_TRUE(WIFSIGNALED(ctl.status)) << ctl.status;
		EXPECT_EQ(WTERMSIG(ctl.status), sig);
		EXPECT_FALSE(fs::exists(dir.path / INPUT_FILE));
		if (sig == SIGABRT)
			EXPECT_EQ(slurp(dir.path / OUTPUT_FILE), other);
		else
			EXPECT_FALSE(fs::exists(dir.path / OUTPUT_FILE));
	}
}

TEST(ControllerExits, StaleFilesAreRemovedAtStartAndLiveOnesKept)
{
	// Stops right after the check: the region is one libphonenumber
	// does not know.
	auto run_until_region_check = [](const temp_dir &dir) {
		std::vector<std::string> args = quick_args(dir);
		args.push_back("--region=ZZ");
		controller_process ctl(args, dir.path);
		EXPECT_EQ(ctl.wait_exit(), 2) << ctl.std_err();
		return ctl.std_err();
	};
	{
		// A port nobody listens on, and one that another user has
		// taken since.
		temp_dir dir;
		listener stranger(65534);
		ASSERT_GT(stranger.port, 0);
		write_whole(dir.path / INPUT_FILE,
			    endpoint_text(free_port(), 'a'));
		write_whole(dir.path / OUTPUT_FILE,
			    endpoint_text(stranger.port, 'a'));
		std::string log = run_until_region_check(dir);
		EXPECT_FALSE(fs::exists(dir.path / INPUT_FILE)) << log;
		EXPECT_FALSE(fs::exists(dir.path / OUTPUT_FILE)) << log;
		EXPECT_NE(log.find("removed the stale"), std::string::npos)
			<< log;
	}
	{
		// A controller of this user still listening keeps its file;
		// one that is not even an endpoint file goes.
		temp_dir dir;
		listener ours;
		ASSERT_GE(ours.fd, 0);
		std::string live = endpoint_text(ours.port, 'b');
		write_whole(dir.path / INPUT_FILE, live);
		write_whole(dir.path / OUTPUT_FILE, "{\"port\": \"soon\"}");
		std::string log = run_until_region_check(dir);
		EXPECT_EQ(slurp(dir.path / INPUT_FILE), live);
		EXPECT_FALSE(fs::exists(dir.path / OUTPUT_FILE)) << log;
	}
	{
		// Started for real over stale files: its own replace them.
		temp_dir dir;
		write_whole(dir.path / "settings.json", QR_ONLY);
		write_whole(dir.path / INPUT_FILE,
			    endpoint_text(free_port(), 'c'));
		write_whole(dir.path / OUTPUT_FILE,
			    endpoint_text(free_port(), 'c'));
		controller_process ctl(quick_args(dir), dir.path);
		endpoint in, out;
		auto end = clock_type::now() + DEADLINE;
		while ((!read_endpoint(dir.path / INPUT_FILE, in) ||
			!read_endpoint(dir.path / OUTPUT_FILE, out) ||
			in.token[0] == 'c' || out.token[0] == 'c') &&
		       clock_type::now() < end)
			std::this_thread::sleep_for(milliseconds(20));
		EXPECT_EQ(in.token, out.token);
		EXPECT_NE(in.token, std::string(64, 'c'));
		sock filter = connect_with(out.port, out.token);
		EXPECT_GE(filter.fd, 0);
		EXPECT_EQ(what_arrives(filter.fd, milliseconds(300)),
			  got::nothing)
			<< "the controller serves its published port";
		EXPECT_EQ(ctl.stop(SIGTERM), 0);
		EXPECT_FALSE(fs::exists(dir.path / INPUT_FILE));
	}
}
