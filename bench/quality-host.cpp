#include "quality-host.h"

#include "loopback.h"

#include "obs-host.h"
#include "scene-feeder.h"

#include <cstdio>

#ifndef QM_MODULE_PATH
#error "QM_MODULE_PATH must name the built module"
#endif

namespace quality {

struct host_beside::parts {
	bool started = false;
	std::unique_ptr<qm_host::filtered_source> cam;
	std::unique_ptr<qm_host::webcam_feeder> feeder;
	std::unique_ptr<bench::controller> stand_in;
};

host_beside::host_beside() : p_(std::make_unique<parts>()) {}

host_beside::~host_beside()
{
	stop();
}

bool host_beside::start(int fps, std::string *error)
{
	if (!qm_host::make_config_home("qm-quality-bench", error))
		return false;
	qm_host::host_config config;
	config.fps = 30;
	config.module_path = QM_MODULE_PATH;
	config.pin_libraries = false;
	if (!qm_host::start(config, error))
		return false;
	p_->started = true;
	p_->stand_in = std::make_unique<bench::controller>(
		qm_host::module_config_dir(), bench::input_mode::echo,
		bench::output_mode::quiet);
	p_->stand_in->set_echo_fps(unsigned(fps));
	if (!p_->stand_in->start()) {
		*error = "the stand-in controller did not start";
		return false;
	}
	qm_host::data_ptr settings(obs_data_create());
	obs_data_set_int(settings.get(), "fps", fps);
	p_->cam = std::make_unique<qm_host::filtered_source>(
		qm_host::make_filtered(qm_host::pattern_kind::async, 1280, 720,
				       qm_host::FILTER_ID, settings.get()));
	p_->feeder = qm_host::feed_scene(p_->cam->parent.get(), 30);
	// Drawn every frame, as OBS draws a scene that is shown.
	obs_set_output_source(0, p_->cam->parent.get());
	return true;
}

void host_beside::stop()
{
	if (!p_->started)
		return;
	obs_set_output_source(0, nullptr);
	if (p_->feeder)
		p_->feeder->stop();
	p_->feeder.reset();
	p_->cam.reset();
	if (p_->stand_in) {
		p_->stand_in->stop();
		fprintf(stderr,
			"beside: the filter sent %llu frames, got %llu back\n",
			(unsigned long long)p_->stand_in->frames_in(),
			(unsigned long long)p_->stand_in->frames_out());
	}
	p_->stand_in.reset();
	qm_host::stop();
	qm_host::remove_config_home();
	p_->started = false;
}

} // namespace quality
