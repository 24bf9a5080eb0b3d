#include "controller-process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

namespace qm_ctl {

const char *controller_path()
{
	return QM_CONTROLLER_PATH;
}

temp_dir::temp_dir()
{
	char tmpl[] = "/tmp/qm-ctl-XXXXXX";
	path = mkdtemp(tmpl);
}

temp_dir::~temp_dir()
{
	std::error_code ec;
	fs::remove_all(path, ec);
}

std::string slurp(const fs::path &p)
{
	std::ifstream f(p, std::ios::binary);
	std::stringstream ss;
	ss << f.rdbuf();
	return ss.str();
}

void write_whole(const fs::path &p, const std::string &text)
{
	fs::path tmp = p.string() + ".new";
	std::ofstream(tmp, std::ios::binary) << text;
	fs::rename(tmp, p);
}

controller_process::controller_process(
	const std::vector<std::string> &args, const fs::path &logs,
	const std::map<std::string, const char *> &env)
{
	out = logs / "controller-stdout.txt";
	err = logs / "controller-stderr.txt";
	pid = fork();
	if (pid != 0)
		return;
	int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
	int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
	dup2(o, 1);
	dup2(e, 2);
	for (const auto &kv : env) {
		if (kv.second)
			setenv(kv.first.c_str(), kv.second, 1);
		else
			unsetenv(kv.first.c_str());
	}
	std::vector<char *> argv;
	argv.push_back(const_cast<char *>(QM_CONTROLLER_PATH));
	for (const std::string &a : args)
		argv.push_back(const_cast<char *>(a.c_str()));
	argv.push_back(nullptr);
	execv(QM_CONTROLLER_PATH, argv.data());
	_exit(127);
}

controller_process::~controller_process()
{
	if (running()) {
		kill(pid, SIGKILL);
		waitpid(pid, &status, 0);
	}
}

bool controller_process::running()
{
	if (pid <= 0 || exited)
		return false;
	int st = 0;
	pid_t r = waitpid(pid, &st, WNOHANG);
	if (r == 0)
		return true;
	exited = true;
	status = r == pid ? st : -1;
	return false;
}

int controller_process::wait_exit(std::chrono::seconds limit)
{
	auto end = clock_type::now() + limit;
	while (running() && clock_type::now() < end)
		std::this_thread::sleep_for(milliseconds(10));
	if (running())
		return -1;
	return exited && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int controller_process::stop(int sig)
{
	if (running())
		kill(pid, sig);
	return wait_exit();
}

double controller_process::summary(const std::string &key) const
{
	std::smatch m;
	std::string text = std_out();
	if (!std::regex_search(text, m,
			       std::regex("(^| )" + key + "=([0-9.]+)")))
		return -1;
	return std::stod(m[2]);
}

double controller_process::findings_reach_s(double fed_s) const
{
	static const std::regex runs(R"(([A-Za-z0-9-]+)_runs=([0-9]+))");
	const std::string text = std_out();
	double longest = 0;
	for (std::sregex_iterator it(text.begin(), text.end(), runs), end;
	     it != end; ++it) {
		double n = std::stod((*it)[2]);
		if (n > 0)
			longest = std::max(longest, fed_s / n);
	}
	return std::max(0.5, 2 * longest);
}

namespace {

// The fields of /proc/PID/stat after the name in parentheses (which may
// hold spaces): the 3rd field first.
std::vector<std::string> stat_fields(const std::string &path)
{
	std::string stat = slurp(path);
	size_t close = stat.rfind(')');
	std::vector<std::string> out;
	if (close == std::string::npos || close + 2 > stat.size())
		return out;
	std::istringstream fields(stat.substr(close + 2));
	for (std::string f; fields >> f && out.size() < 15;)
		out.push_back(f);
	return out;
}

// Field n (from 3) as ticks; 0 when absent.
double ticks(const std::vector<std::string> &f, size_t n)
{
	return n - 3 < f.size() ? std::stod(f[n - 3]) : 0;
}

} // namespace

double controller_process::cpu_s() const
{
	// Its own utime and stime (14th, 15th), those of its children it
	// reaped (16th, 17th: workers that died), and those of its children
	// still running (the detectors' worker processes).
	std::vector<std::string> own =
		stat_fields("/proc/" + std::to_string(pid) + "/stat");
	double t = ticks(own, 14) + ticks(own, 15) + ticks(own, 16) +
		   ticks(own, 17);
	std::error_code ec;
	for (const auto &e : fs::directory_iterator("/proc", ec)) {
		std::string name = e.path().filename().string();
		if (name.find_first_not_of("0123456789") != std::string::npos)
			continue;
		std::vector<std::string> f =
			stat_fields(e.path().string() + "/stat");
		if (f.size() > 1 && f[1] == std::to_string(pid))
			t += ticks(f, 14) + ticks(f, 15);
	}
	return t / double(sysconf(_SC_CLK_TCK));
}

bool read_endpoint(const fs::path &file, endpoint &ep)
{
	static const std::regex re(
		R"re(^\{"port": (\d+), "token": "([A-Za-z0-9]{64})"\}\n$)re");
	std::smatch m;
	std::string text = slurp(file);
	if (!std::regex_match(text, m, re))
		return false;
	ep.port = std::stoi(m[1]);
	ep.token = m[2];
	return true;
}

bool wait_endpoints(const fs::path &dir, endpoint &in, endpoint &out,
		    std::chrono::seconds limit)
{
	auto end = clock_type::now() + limit;
	while (clock_type::now() < end) {
		if (read_endpoint(dir / "filter-input.endpoint", in) &&
		    read_endpoint(dir / "direct-output.endpoint", out))
			return true;
		std::this_thread::sleep_for(milliseconds(10));
	}
	return false;
}

sock &sock::operator=(sock &&o) noexcept
{
	std::swap(fd, o.fd);
	return *this;
}

sock::~sock()
{
	if (fd >= 0)
		close(fd);
}

sock connect_with(int port, const std::string &first_bytes)
{
	sock s(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP));
	sockaddr_in addr{};
	addr.sin_family = AF_INET;
	addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
	addr.sin_port = htons(uint16_t(port));
	if (connect(s.fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) !=
		    0 ||
	    !send_all(s.fd, first_bytes.data(), first_bytes.size()))
		return sock();
	return s;
}

bool send_all(int fd, const void *data, size_t len)
{
	auto p = static_cast<const uint8_t *>(data);
	while (len) {
		ssize_t n = send(fd, p, std::min<size_t>(len, 1 << 20),
				 MSG_NOSIGNAL);
		if (n <= 0)
			return false;
		p += n;
		len -= size_t(n);
	}
	return true;
}

bool send_frame(int fd, const cv::Mat &bgra, uint32_t w, uint32_t h)
{
	uint32_t header[2] = {htonl(w), htonl(h)};
	return send_all(fd, header, sizeof(header)) &&
	       send_all(fd, bgra.data, FRAME_BYTES);
}

got recv_exact(int fd, uint8_t *buf, size_t len, milliseconds limit)
{
	auto end = clock_type::now() + limit;
	size_t done = 0;
	while (done < len) {
		auto left = std::chrono::duration_cast<milliseconds>(
			end - clock_type::now());
		if (left.count() <= 0)
			return got::nothing;
		pollfd p{fd, POLLIN, 0};
		if (poll(&p, 1, int(left.count())) <= 0)
			continue;
		ssize_t n = recv(fd, buf + done, len - done, 0);
		if (n <= 0)
			return got::closed;
		done += size_t(n);
	}
	return got::data;
}

got recv_frame(int fd, cv::Mat &bgra, milliseconds limit)
{
	uint8_t header[8];
	got g = recv_exact(fd, header, 1, limit);
	if (g == got::data)
		g = recv_exact(fd, header + 1, 7, DEADLINE);
	if (g != got::data)
		return g;
	uint32_t w, h;
	memcpy(&w, header, 4);
	memcpy(&h, header + 4, 4);
	if (ntohl(w) != W || ntohl(h) != H)
		return got::closed;
	bgra.create(int(H), int(W), CV_8UC4);
	return recv_exact(fd, bgra.data, FRAME_BYTES, DEADLINE);
}

got what_arrives(int fd, milliseconds limit)
{
	uint8_t byte;
	return recv_exact(fd, &byte, 1, limit);
}

} // namespace qm_ctl
