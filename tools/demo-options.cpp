// The demo's command line (USAGE says what it takes), and where the demo
// finds the module and the controller program.
#include "demo-options.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace stdfs = std::filesystem;

namespace qm_demo {

namespace {

const char *USAGE = R"(Usage: quilmar-demo [OPTION]...

Runs the Quilmar direct filter in a headless OBS host (libobs, no window)
on a moving scene that stands in for a webcam, together with the controller
quilmar-controller: a street with two QR codes, three faces (one moving across the top,
one of a person to keep, whose photo is set as the filter's "reference",
and a stranger beside them), a card with a phone number and a date, and
one with an order number, a price and opening hours.
It writes three snapshots of what the filter shows:
  before.png   before the controller starts: black
  during.png   while the controller runs: the scene, "delay" seconds late,
               the QR codes, the moving face, the stranger and the phone
               number a coarse mosaic; the person to keep, the date, the
               other numbers and the rest untouched
  after.png    after the controller has stopped: black
Then it prints how many frames were captured, sent, received and shown,
what the controller counted (frames kept, processed, wholly obscured, time
per detector, CPU) and the round-trip times. It fails when a code, a face
to hide or the phone number in during.png is as the camera showed it, and
when more than those is hidden while the controller kept up with every
frame (on a machine too busy for that it says so and goes on). The host
uses a temporary configuration folder, never your own. Needs an X display
(run it under xvfb-run, as scripts/demo does).

Options:
  --output DIR       Folder for the pictures (created when missing).
                     Default: demo-output in the project folder.
  --seconds N        How long the controller runs once processed frames are
                     shown (0.5..600, decimals allowed, default 5).
  --fps N            Frame rate of the host, the webcam and the filter's
                     processing target (5..60, default 30).
  --delay N          The filter's look-ahead "delay" in seconds (1..30,
                     decimals allowed, default 5).
  --module PATH      The module to load. Default: the one built with this
                     program.
  --controller PATH  The controller program. Default: quilmar-controller
                     next to this program, else the one built with it.
  --help             Show this text and exit.

Exit status: 0 when the pictures are black, processed and black, 1 when
they are not or the demo cannot run, 2 on bad arguments.
)";

bool parse_number(const char *text, double lo, double hi, double *out)
{
	char *end = nullptr;
	errno = 0;
	double v = strtod(text, &end);
	if (errno || end == text || *end || !(v >= lo && v <= hi))
		return false;
	*out = v;
	return true;
}

stdfs::path own_folder()
{
	std::error_code ec;
	stdfs::path self = stdfs::read_symlink("/proc/self/exe", ec);
	return ec ? stdfs::path() : self.parent_path();
}

} // namespace

int parse_args(int argc, char **argv, options *opt)
{
	for (int i = 1; i < argc; i++) {
		std::string arg = argv[i];
		if (arg == "--help") {
			fputs(USAGE, stdout);
			exit(0);
		}
		if (i + 1 >= argc) {
			fprintf(stderr,
				"quilmar-demo: unknown option or missing value: "
				"%s (try --help)\n",
				arg.c_str());
			return 2;
		}
		const char *value = argv[++i];
		double number = 0;
		if (arg == "--output" && *value) {
			opt->output_dir = value;
		} else if (arg == "--seconds" &&
			   parse_number(value, 0.5, 600, &number)) {
			opt->seconds = number;
		} else if (arg == "--delay" &&
			   parse_number(value, 1, 30, &number)) {
			opt->delay = number;
		} else if (arg == "--fps" &&
			   parse_number(value, 5, 60, &number) &&
			   number == double(uint32_t(number))) {
			opt->fps = uint32_t(number);
		} else if (arg == "--module" && *value) {
			opt->module_path = value;
		} else if (arg == "--controller" && *value) {
			opt->controller_path = value;
		} else {
			fprintf(stderr,
				"quilmar-demo: bad option or value: %s %s "
				"(try --help)\n",
				arg.c_str(), value);
			return 2;
		}
	}
	return 0;
}

bool is_executable(const stdfs::path &p)
{
	return !p.empty() && access(p.c_str(), X_OK) == 0;
}

std::string find_controller(const options &opt)
{
	if (!opt.controller_path.empty())
		return opt.controller_path;
	stdfs::path beside = own_folder() / "quilmar-controller";
	if (is_executable(beside))
		return beside.string();
	return QM_CONTROLLER_PATH;
}

std::string find_module(const options &opt)
{
	if (!opt.module_path.empty())
		return opt.module_path;
	if (stdfs::exists(QM_MODULE_PATH))
		return QM_MODULE_PATH;
	return (own_folder().parent_path() / "quilmar-direct.so").string();
}

} // namespace qm_demo
