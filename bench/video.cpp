#include "video.h"

#include "common.h"

#include <obs.h>

namespace bench {

bool set_fps(uint32_t fps)
{
	obs_video_info ovi = {};
	ovi.graphics_module = "libobs-opengl";
	ovi.fps_num = fps;
	ovi.fps_den = 1;
	ovi.base_width = FRAME_WIDTH;
	ovi.base_height = FRAME_HEIGHT;
	ovi.output_width = FRAME_WIDTH;
	ovi.output_height = FRAME_HEIGHT;
	ovi.output_format = VIDEO_FORMAT_BGRA;
	ovi.gpu_conversion = true;
	ovi.colorspace = VIDEO_CS_DEFAULT;
	ovi.range = VIDEO_RANGE_DEFAULT;
	ovi.scale_type = OBS_SCALE_BILINEAR;
	return obs_reset_video(&ovi) == OBS_VIDEO_SUCCESS;
}

} // namespace bench
