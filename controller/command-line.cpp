#include "command-line.h"

#include "crash-cleanup.h"

#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace qmc {

const char *const HELP_TEXT = R"help(Usage: quilmar-controller [OPTION]...

The Quilmar direct controller: the program on the other side of the OBS
filter "Quilmar direct filter (experimental)". It takes the camera's frames
from the filter, hides every face (but those of the people to keep), QR
code and phone number in them, and hands them back "delay" seconds later
with the rest of the picture untouched.

It publishes "filter-input.endpoint" and "direct-output.endpoint" in the
configuration folder (a port on 127.0.0.1 and a fresh 64-byte token each),
and follows the filter's "settings.json" there, rereading it four times a
second:
  "delay"           seconds of look-ahead (1 to 30, default 5): frames go
                    back this long after they came in
  "fps"             frames per second kept and sent back (5 to 60,
                    default 15); the others are dropped on arrival
  "worker_enabled"  false: nothing is sent back, the filter shows black
  "qr_enabled"      false: QR codes are left visible
  "face_enabled"    false: faces are left visible
  "phone_enabled"   false: phone numbers are left visible
  "reference", "references"  photos (BMP, PNG, JPEG) of the people to
                    keep visible: every face in them, the 32 newest
                    photos; a changed photo is read again at the next
                    run, one that cannot serve is skipped and said once
A missing, unreadable or malformed file leaves the last good settings.

Privacy: a frame goes back processed only when every enabled detector has
run close enough before and after it that anything it could find there
has reached it. A frame that falls due before that goes back wholly
obscured, never as it came in. Hidden regions become a coarse mosaic (at
most 8 cells across); every other pixel is sent back unchanged.

Options:
  --config-dir DIR     Configuration folder. Default: the filter's,
                       $XDG_CONFIG_HOME/obs-studio/plugin_config/quilmar-direct,
                       with $HOME/.config for $XDG_CONFIG_HOME when that is
                       unset, empty or not an absolute path. Created when
                       missing.
  --buffer-mb N        Memory for the look-ahead buffer, in megabytes
                       (100 to 1048576, default 2048). A frame takes 3.7 MB;
                       when "delay" seconds at "fps" do not fit, fewer
                       frames a second are kept.
  --cpu-budget CORES   Cores the controller may take (0.1 to 256).
                       Default: the machine's cores less a quarter of
                       them, and less half a core at least (1.5 on two
                       cores), so that OBS keeps room beside it. How often
                       each detector runs, and how thoroughly, is planned
                       from their measured cost to fit it.
  --model-dir DIR      Folder of the detectors' models and their
                       SHA256SUMS. Default: "models" beside the program,
                       then $XDG_DATA_HOME/quilmar-direct/models (with
                       ~/.local/share for $XDG_DATA_HOME), then the
                       package's /usr/share/quilmar-direct/models. Without
                       a model that matches its checksum, an enabled
                       detector cannot run: nothing is sent back (the
                       filter shows black), and the status line says why.
  --region CC          Two-letter region whose way of writing phone numbers
                       is read where a number has no leading + (US, GB,
                       DE, ...). Default: from LC_ALL, LC_TELEPHONE or
                       LANG, else US.
  --status-every SECS  Seconds between status lines on stderr (0.1 to 3600;
                       default 1 on a terminal, 60 otherwise).
  --quiet              No status lines and no connection messages. Errors
                       and the summary are still printed.
  --help               Show this text and exit.

Status line: frames read from the filter, kept, sent back, sent back
wholly obscured; each detector's time per run and runs per second; the
process's CPU use; the plan (each detector's mode, spacing of its runs and
share of a core). A detector too slow for a frame leaves it to its class's
cheap evidence (text lines unread, code candidates, the last face tracks):
counted as fallback_CLASS. On exit (Ctrl-C, SIGTERM) it removes its
endpoint files (also when a crash or an abort ends it; and at start those
that nobody of this user listens behind) and prints one summary line on
stdout:
  frames_in=N kept=N frames_out=N processed=N obscured_whole=N skipped=N
  cpu_s=X wall_s=X fallback_CLASS=N for each class, and NAME_runs=N
  NAME_ms=X NAME_uncovered=N for each detector.

Run it as a systemd user service with
  systemctl --user enable --now quilmar-controller

Exit status: 0 after Ctrl-C or SIGTERM, 1 when it cannot run (no configuration
folder, no port, files it cannot write), 2 on bad arguments (also a region
unknown to libphonenumber).

Tesseract's OpenMP threads only spin here: the program runs itself again
with OMP_THREAD_LIMIT=1 when that is not set.
)help";

namespace {

volatile sig_atomic_t stop_flag = 0;

void on_stop_signal(int)
{
	stop_flag = 1;
}

bool parse_double(const std::string &text, double lo, double hi, double *out)
{
	if (text.empty())
		return false;
	char *end = nullptr;
	errno = 0;
	double v = strtod(text.c_str(), &end);
	if (errno || *end || !std::isfinite(v) || v < lo || v > hi)
		return false;
	*out = v;
	return true;
}

} // namespace

bool parse_command_line(int argc, char **argv, options *opt, std::string *error)
{
	for (int i = 1; i < argc; i++) {
		std::string arg = argv[i], value;
		bool has_value = false;
		size_t eq = arg.find('=');
		if (arg.rfind("--", 0) == 0 && eq != std::string::npos) {
			value = arg.substr(eq + 1);
			arg = arg.substr(0, eq);
			has_value = true;
		}
		bool flag = arg == "--help" || arg == "-h" || arg == "--quiet";
		bool takes = arg == "--config-dir" || arg == "--buffer-mb" ||
			     arg == "--cpu-budget" || arg == "--status-every" ||
			     arg == "--model-dir" || arg == "--region";
		if (!flag && !takes) {
			*error = "unknown argument '" + std::string(argv[i]) +
				 "'";
			return false;
		}
		if (flag && has_value) {
			*error = arg + " takes no value";
			return false;
		}
		if (takes && !has_value) {
			if (i + 1 >= argc) {
				*error = arg + " needs a value";
				return false;
			}
			value = argv[++i];
		}
		double number = 0;
		if (arg == "--help" || arg == "-h") {
			opt->help = true;
		} else if (arg == "--quiet") {
			opt->quiet = true;
		} else if (arg == "--config-dir") {
			if (value.empty()) {
				*error = "--config-dir needs a folder";
				return false;
			}
			opt->config_dir = value;
		} else if (arg == "--model-dir") {
			if (value.empty()) {
				*error = "--model-dir needs a folder";
				return false;
			}
			opt->model_dir = value;
		} else if (arg == "--region") {
			if (value.size() != 2 ||
			    !isalpha((unsigned char)value[0]) ||
			    !isalpha((unsigned char)value[1])) {
				*error = "--region needs two letters, not '" +
					 value + "'";
				return false;
			}
			opt->region = {char(toupper((unsigned char)value[0])),
				       char(toupper((unsigned char)value[1]))};
		} else if (arg == "--buffer-mb") {
			if (!parse_double(value, 100, 1048576, &number) ||
			    number != std::floor(number)) {
				*error = "--buffer-mb needs a whole number "
					 "from 100 to 1048576, not '" +
					 value + "'";
				return false;
			}
			opt->buffer_mb = size_t(number);
		} else if (arg == "--cpu-budget") {
			if (!parse_double(value, 0.1, 256, &number)) {
				*error = "--cpu-budget needs cores from 0.1 "
					 "to 256, not '" +
					 value + "'";
				return false;
			}
			opt->cpu_budget = number;
		} else if (arg == "--status-every") {
			if (!parse_double(value, 0.1, 3600, &number)) {
				*error = "--status-every needs seconds from "
					 "0.1 to 3600, not '" +
					 value + "'";
				return false;
			}
			opt->status_every = number;
		}
	}
	return true;
}

bool default_config_dir(std::string *out)
{
	const char *tail = "/obs-studio/plugin_config/quilmar-direct";
	const char *xdg = getenv("XDG_CONFIG_HOME");
	if (xdg && xdg[0] == '/') {
		*out = std::string(xdg) + tail;
		return true;
	}
	const char *home = getenv("HOME");
	if (!home || !home[0])
		return false;
	*out = std::string(home) + "/.config" + tail;
	return true;
}

bool make_dirs(const std::string &path)
{
	for (size_t pos = 1; pos <= path.size(); pos++) {
		if (pos != path.size() && path[pos] != '/')
			continue;
		std::string part = path.substr(0, pos);
		if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST)
			return false;
	}
	struct stat st;
	return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

void install_signal_handlers()
{
	signal(SIGPIPE, SIG_IGN);
	struct sigaction sa;
	memset(&sa, 0, sizeof(sa));
	sa.sa_handler = on_stop_signal;
	sigemptyset(&sa.sa_mask);
	sigaction(SIGINT, &sa, nullptr);
	sigaction(SIGTERM, &sa, nullptr);
	install_crash_cleanup();
}

bool stop_requested()
{
	return stop_flag != 0;
}

namespace {

void mask_stop_signals(int how)
{
	sigset_t set;
	sigemptyset(&set);
	sigaddset(&set, SIGINT);
	sigaddset(&set, SIGTERM);
	pthread_sigmask(how, &set, nullptr);
}

} // namespace

void block_stop_signals()
{
	mask_stop_signals(SIG_BLOCK);
}

void unblock_stop_signals()
{
	mask_stop_signals(SIG_UNBLOCK);
}

} // namespace qmc
