#include "host-start.h"

#include "common.h"
#include "host-log.h"
#include "host-platform.h"
#include "host-render.h"
#include "host-sources.h"

#include <obs.h>
#include <util/bmem.h>

#include <filesystem>

namespace qm_host {

namespace {

std::string config_home_path;

bool fail(std::string *error, const std::string &what)
{
	if (error)
		*error = what;
	return false;
}

bool load_module(const std::string &path, std::string *error)
{
	obs_module_t *module = nullptr;
	std::string data_dir = config_home_path + "/module-data";
	std::string file = platform::module_file(path);
	int result = obs_open_module(&module, file.c_str(), data_dir.c_str());
	if (result != MODULE_SUCCESS)
		return fail(error, "obs_open_module(" + path + ") returned " +
					   std::to_string(result));
	if (!obs_init_module(module))
		return fail(error, "the module refused to load");
	return true;
}

} // namespace

bool make_config_home(const char *prefix, std::string *error)
{
	if (!platform::make_temp_dir(prefix, &config_home_path))
		return fail(error,
			    "cannot create a temporary configuration folder");
	platform::set_config_home(config_home_path);
	return true;
}

const std::string &config_home()
{
	return config_home_path;
}

std::string module_config_dir()
{
	return platform::module_config_dir(config_home_path);
}

void remove_config_home()
{
	if (config_home_path.empty())
		return;
	std::error_code ignored;
	std::filesystem::remove_all(config_home_path, ignored);
}

bool start(const host_config &config, std::string *error)
{
	capture_log(config.echo_level);

	if (!platform::open_graphics(error))
		return false;
	if (!obs_startup("en-US", nullptr, nullptr))
		return fail(error, "obs_startup failed");
	platform::add_data_paths();

	obs_video_info ovi = {};
	ovi.graphics_module = "libobs-opengl";
	ovi.fps_num = config.fps ? config.fps : 60;
	ovi.fps_den = 1;
	ovi.base_width = FRAME_WIDTH;
	ovi.base_height = FRAME_HEIGHT;
	ovi.output_width = FRAME_WIDTH;
	ovi.output_height = FRAME_HEIGHT;
	ovi.output_format = VIDEO_FORMAT_BGRA;
	ovi.adapter = 0;
	ovi.gpu_conversion = true;
	ovi.colorspace = VIDEO_CS_DEFAULT;
	ovi.range = VIDEO_RANGE_DEFAULT;
	ovi.scale_type = OBS_SCALE_BILINEAR;
	int result = obs_reset_video(&ovi);
	if (result != OBS_VIDEO_SUCCESS)
		return fail(error,
			    "cannot start video: obs_reset_video returned " +
				    std::to_string(result));

	register_patterns();
	if (!config.module_path.empty() &&
	    !load_module(config.module_path, error))
		return false;
	if (config.after_startup)
		config.after_startup();
	if (config.pin_libraries)
		platform::pin_loaded_libraries();
	obs_add_main_render_callback(run_jobs, nullptr);
	return true;
}

long stop()
{
	obs_remove_main_render_callback(run_jobs, nullptr);
	obs_shutdown();
	long leaks = bnum_allocs() - platform::libobs_own_allocations();
	platform::close_graphics();
	end_log_capture();
	return leaks;
}

} // namespace qm_host
