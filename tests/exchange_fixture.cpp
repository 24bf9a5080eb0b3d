// The exchange tests' shared helpers: reference images in the faces
// folder and the settings the tests start from.
#include "exchange_fixture.h"

#include "bytes.h"

#include <sys/stat.h>

#include <algorithm>
#include <regex>

namespace qm_exchange {

namespace {

constexpr size_t BMP_SIZE = 3686454;

} // namespace

// ---------------------------------------------------------------------------
// Files

std::vector<std::string> images_in(const std::string &dir)
{
	std::vector<std::string> images;
	for (auto &name : names_in(dir))
		images.push_back(dir + "/" + name);
	return images;
}

void expect_image_of_frame(const std::string &path, const image &frame,
			   const std::string &dir)
{
	static const std::regex name("face-[0-9]+\\.bmp");
	std::string folder = faces_dir(dir) + "/";
	ASSERT_EQ(path.compare(0, folder.size(), folder), 0) << path;
	EXPECT_TRUE(std::regex_match(path.substr(folder.size()), name)) << path;

	struct stat st;
	ASSERT_EQ(stat(path.c_str(), &st), 0);
	EXPECT_TRUE(S_ISREG(st.st_mode));
	EXPECT_EQ(st.st_mode & 07777, 0600u);
	EXPECT_EQ(size_t(st.st_size), BMP_SIZE);

	std::vector<uint8_t> bmp = qm_bytes::read_bytes(path);
	ASSERT_EQ(bmp.size(), BMP_SIZE);
	EXPECT_EQ(qm_bytes::bmp_header_mismatch(bmp.data()), "");

	ASSERT_EQ(frame.pixels.size(), size_t(3686400));
	EXPECT_TRUE(std::equal(frame.pixels.begin(), frame.pixels.end(),
			       bmp.begin() + 54))
		<< "the image's pixels are not the captured frame";
}

// ---------------------------------------------------------------------------
// Settings

data_ptr sample_settings()
{
	data_ptr settings(obs_data_create());
	obs_data_set_string(settings.get(), "reference", "/home/me/me.png");
	obs_data_set_double(settings.get(), "delay", 7.0);
	obs_data_set_int(settings.get(), "fps", 24);
	obs_data_set_bool(settings.get(), "qr_enabled", false);
	return settings;
}

void set_request(obs_data_t *d)
{
	obs_data_set_string(d, "capture_request", "capture-1");
}

} // namespace qm_exchange
