#include "exchange.h"

#include <util/platform.h>

#include <cstdio>
#include <cstring>

// Far beyond any real settings or endpoint file.
constexpr size_t QM_MAX_JSON_FILE = 64 * 1024 * 1024;

obs_data_t *qm_load_json_file(const char *path)
{
	std::unique_ptr<char[]> text =
		qm_read_regular_file(path, QM_MAX_JSON_FILE);
	if (!text)
		return nullptr;
	const char *json = text.get();
	if (strncmp(json, "\xEF\xBB\xBF", 3) == 0)
		json += 3; // a byte order mark, as some editors write
	return obs_data_create_from_json(json);
}

static bool fits(int written, size_t size)
{
	return written >= 0 && static_cast<size_t>(written) < size;
}

// The host's live settings object caches its JSON text and the UI
// serialises it on its own thread; ours is taken from a private copy,
// which gives the same text.
static obs_data_t *private_copy(obs_data_t *settings)
{
	obs_data_t *copy = obs_data_create();
	obs_data_apply(copy, settings);
	return copy;
}

static void remember_saved(direct_filter_data *filter, const char *json)
{
	if (!filter)
		return;
	std::lock_guard<std::mutex> guard(filter->saved_lock);
	try {
		filter->saved_json = json ? json : "";
	} catch (...) {
		filter->saved_json.clear();
	}
}

static bool is_saved_text(direct_filter_data *filter, const char *json)
{
	std::lock_guard<std::mutex> guard(filter->saved_lock);
	return filter->saved_json == json;
}

void update(void *data, obs_data_t *settings) noexcept
{
	auto *filter = static_cast<direct_filter_data *>(data);
	if (filter && filter->failed)
		return;
	char dir[4096];
	if (!qm_config_dir(dir, sizeof(dir)))
		return;
	if (os_mkdirs(dir) == MKDIR_ERROR) {
		blog(LOG_ERROR, "Quilmar: cannot create settings directory");
		return;
	}
	char path[4096];
	if (!fits(snprintf(path, sizeof(path), "%s/settings.json", dir),
		  sizeof(path)))
		return;

	obs_data_t *copy = private_copy(settings);
	if (obs_data_save_json_safe(copy, path, "tmp", nullptr))
		remember_saved(filter, obs_data_get_json(copy));
	else
		blog(LOG_ERROR, "Quilmar: cannot save settings");
	obs_data_release(copy);
}

bool qm_tick_due(float *accum, float seconds)
{
	float sum = *accum + seconds;
	if (sum < 0.5f) {
		*accum = sum;
		return false;
	}
	// What lies beyond half a second is dropped, so polls never come
	// closer together than that.
	*accum = 0.0f;
	return true;
}

static bool has_capture_request(obs_data_t *settings)
{
	const char *request = obs_data_get_string(settings, S_CAPTURE_REQUEST);
	return request && *request;
}

// Applies the settings file when it differs from the filter's settings.
// A capture request is cleared in what is applied, so one request leads
// to one capture; returns whether there was one.
static bool apply_settings_file(direct_filter_data *filter, const char *path)
{
	obs_data_t *file = qm_load_json_file(path);
	if (!file)
		return false;
	obs_data_t *settings = obs_source_get_settings(filter->source);
	obs_data_t *current = private_copy(settings);
	obs_data_release(settings);

	const char *file_json = obs_data_get_json(file);
	const char *current_json = obs_data_get_json(current);
	bool have_texts = file_json && current_json;
	// A file that still holds what this instance saved last was changed
	// by nobody: when the settings differ from it, they hold a change
	// whose save is pending (or failed), which applying it would undo.
	bool differ = have_texts && strcmp(file_json, current_json) != 0 &&
		      !is_saved_text(filter, file_json);
	bool requested = has_capture_request(file);

	if (requested)
		obs_data_set_string(file, S_CAPTURE_REQUEST, "");
	// A request that already stands in the filter's own settings makes
	// both texts equal; it is cleared all the same, or it would never
	// go away.
	if (have_texts && (differ || requested))
		obs_source_update(filter->source, file);

	obs_data_release(current);
	obs_data_release(file);
	return requested;
}

static bool capture_locked(direct_filter_data *filter);

static void poll_settings(direct_filter_data *filter)
{
	char dir[3072];
	if (!qm_config_dir(dir, sizeof(dir)))
		return;
	char path[4096];
	snprintf(path, sizeof(path), "%s/settings.json", dir);

	// This runs on the graphics thread, which must never wait for a
	// capture that the button started: while one holds the lock, this
	// poll is skipped, and a request in the file stays for the next.
	std::unique_lock<std::mutex> guard(filter->settings_lock,
					   std::try_to_lock);
	if (!guard.owns_lock())
		return;
	if (apply_settings_file(filter, path))
		capture_locked(filter);
}

void tick(void *data, float seconds) noexcept
{
	auto *filter = static_cast<direct_filter_data *>(data);
	if (filter->failed)
		return;
	if (qm_tick_due(&filter->tick_accum, seconds))
		poll_settings(filter);
}

static void put_u16_le(uint8_t *out, uint16_t value)
{
	out[0] = uint8_t(value);
	out[1] = uint8_t(value >> 8);
}

static void put_u32_le(uint8_t *out, uint32_t value)
{
	put_u16_le(out, uint16_t(value));
	put_u16_le(out + 2, uint16_t(value >> 16));
}

void qm_bmp_header(uint8_t header[QM_BMP_HEADER_SIZE])
{
	memset(header, 0, QM_BMP_HEADER_SIZE);
	header[0] = 'B';
	header[1] = 'M';
	put_u32_le(header + 2, uint32_t(QM_BMP_FILE_SIZE));
	put_u32_le(header + 10, uint32_t(QM_BMP_HEADER_SIZE));
	put_u32_le(header + 14, 40);
	put_u32_le(header + 18, FRAME_WIDTH);
	// A negative height stores the rows top to bottom, as the frame has them.
	put_u32_le(header + 22, uint32_t(-int32_t(FRAME_HEIGHT)));
	put_u16_le(header + 26, 1);
	put_u16_le(header + 28, 32);
	put_u32_le(header + 34, uint32_t(FRAME_SIZE));
}

static bool write_all(int fd, const uint8_t *data, size_t len)
{
	while (len > 0) {
		long n = qm_write_some(fd, data, len);
		if (n <= 0)
			return false;
		data += n;
		len -= size_t(n);
	}
	return true;
}

// A new file at path, for its owner only, holding the image; removed
// again when it cannot be written whole.
static bool write_new_bmp(const char *path, const uint8_t *pixels)
{
	int fd = qm_create_private_file(path);
	if (fd < 0)
		return false;
	uint8_t header[QM_BMP_HEADER_SIZE];
	qm_bmp_header(header);
	bool written = write_all(fd, header, sizeof(header)) &&
		       write_all(fd, pixels, FRAME_SIZE);
	bool closed = qm_close_file(fd);
	if (written && closed)
		return true;
	qm_remove_file(path);
	return false;
}

// The image is written under a temporary name and appears under its own
// only when whole, so that a controller watching the folder never reads a
// half-written one. Where the file system cannot give a name without
// risking to replace a file (vfat, exFAT), the image is written under its
// own name directly: it is still never named in the settings before it is
// whole.
bool qm_write_bmp(const char *path, const uint8_t *pixels)
{
	char temp[4200];
	if (!fits(snprintf(temp, sizeof(temp), "%s.tmp", path), sizeof(temp)))
		return false;
	if (!write_new_bmp(temp, pixels))
		return false;
	qm_publish_result published = qm_publish_file(temp, path);
	if (published == qm_publish_result::done)
		return true;
	qm_remove_file(temp);
	return published == qm_publish_result::unsupported &&
	       write_new_bmp(path, pixels);
}

static bool copy_input_frame(direct_filter_data *filter, uint8_t *pixels)
{
	std::lock_guard<std::mutex> guard(filter->lock);
	if (filter->input_seq == 0)
		return false;
	memcpy(pixels, qm_latest_input(filter), FRAME_SIZE);
	return true;
}

// Appends path to "references", keeping the entries already there in
// their order. The live array is never changed in place: the host applies
// a new one.
static void add_reference(direct_filter_data *filter, const char *path)
{
	obs_data_t *settings = obs_source_get_settings(filter->source);
	obs_data_array_t *old_refs = obs_data_get_array(settings, S_REFERENCES);
	obs_data_release(settings);

	obs_data_array_t *refs = obs_data_array_create();
	size_t count = old_refs ? obs_data_array_count(old_refs) : 0;
	for (size_t i = 0; i < count; i++) {
		obs_data_t *item = obs_data_array_item(old_refs, i);
		obs_data_array_push_back(refs, item);
		obs_data_release(item);
	}
	obs_data_array_release(old_refs);

	obs_data_t *entry = obs_data_create();
	obs_data_set_string(entry, "value", path);
	obs_data_array_push_back(refs, entry);
	obs_data_release(entry);

	obs_data_t *changes = obs_data_create();
	obs_data_set_array(changes, S_REFERENCES, refs);
	obs_data_array_release(refs);
	obs_source_update(filter->source, changes);
	obs_data_release(changes);
}

static bool face_path(char *path, size_t size)
{
	char dir[3072];
	if (!qm_config_dir(dir, sizeof(dir)))
		return false;
	char faces[4096];
	snprintf(faces, sizeof(faces), "%s/faces", dir);
	if (os_mkdirs(faces) == MKDIR_ERROR)
		return false;
	auto stamp = static_cast<unsigned long long>(os_gettime_ns());
	return fits(snprintf(path, size, "%s/face-%llu.bmp", faces, stamp),
		    size);
}

// The capture itself; settings_lock is held.
static bool capture_locked(direct_filter_data *filter)
{
	char path[4096];
	if (!face_path(path, sizeof(path)))
		return false;
	frame_buffer pixels = qm_alloc_frame();
	if (!pixels)
		return false;
	if (!copy_input_frame(filter, pixels.get())) {
		blog(LOG_WARNING, "Quilmar: no webcam frame available");
		return false;
	}
	if (!qm_write_bmp(path, pixels.get()))
		return false;
	pixels.reset();

	add_reference(filter, path);
	return true;
}

bool capture_reference(obs_properties_t *props, obs_property_t *property,
		       void *data) noexcept
{
	// A property page built without an instance has nothing to capture,
	// and a failed instance keeps no settings.
	auto *filter = static_cast<direct_filter_data *>(data);
	if (!filter || filter->failed)
		return false;
	std::lock_guard<std::mutex> guard(filter->settings_lock);
	return capture_locked(filter);
}
