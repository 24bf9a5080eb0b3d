// Reference photos: headers read and bounded before any decoding, broken
// and oversized files refused, and the set of photos in use (the newest
// few, each version of a file loaded once, each problem told once).

#include "reference-image.h"
#include "reference-photos.h"

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>

using namespace qmc;
namespace fs = std::filesystem;

namespace {

struct temp_folder {
	fs::path path;
	temp_folder()
	{
		path = fs::temp_directory_path() /
		       ("qm-refs-" + std::to_string(getpid()));
		fs::create_directories(path);
	}
	~temp_folder() { fs::remove_all(path); }
	std::string file(const std::string &name) const
	{
		return (path / name).string();
	}
};

std::vector<unsigned char> encoded(const char *ext, cv::Size size,
				   uint8_t shade = 90)
{
	cv::Mat m(size, CV_8UC3, cv::Scalar(shade, 40, 200));
	std::vector<unsigned char> out;
	EXPECT_TRUE(cv::imencode(ext, m, out));
	return out;
}

void save(const std::string &path, const std::vector<unsigned char> &bytes)
{
	std::ofstream(path, std::ios::binary)
		.write((const char *)bytes.data(),
		       (std::streamsize)bytes.size());
}

void put_le32(std::vector<unsigned char> &d, size_t at, int32_t v)
{
	for (int i = 0; i < 4; i++)
		d[at + i] = uint8_t(uint32_t(v) >> (8 * i));
}

void put_be(std::vector<unsigned char> &d, size_t at, uint32_t v, int n)
{
	for (int i = 0; i < n; i++)
		d[at + i] = uint8_t(v >> (8 * (n - 1 - i)));
}

// Offset of a JPEG's first baseline frame header (FF C0).
size_t sof_offset(const std::vector<unsigned char> &d)
{
	for (size_t i = 2; i + 1 < d.size(); i++)
		if (d[i] == 0xff && d[i + 1] == 0xc0)
			return i;
	return 0;
}

cv::Mat decode(const std::vector<unsigned char> &d, std::string &error,
	       const qm_reference_limits &limits = {})
{
	return qm_decode_reference_image(d, limits, error);
}

} // namespace

TEST(ReferenceImage, ReadsTheSidesFromEachHeaderAsTheDecodersDo)
{
	for (const char *ext : {".bmp", ".png", ".jpg"}) {
		std::vector<unsigned char> d = encoded(ext, {123, 45});
		long long w = 0, h = 0;
		ASSERT_TRUE(qm_image_header_size(d.data(), d.size(), w, h))
			<< ext;
		EXPECT_EQ(w, 123) << ext;
		EXPECT_EQ(h, 45) << ext;
		std::string error;
		EXPECT_EQ(decode(d, error).size(), cv::Size(123, 45)) << error;
	}
	// Rows top-down: a negative height.
	std::vector<unsigned char> bmp = encoded(".bmp", {20, 10});
	put_le32(bmp, 22, -10);
	long long w = 0, h = 0;
	ASSERT_TRUE(qm_image_header_size(bmp.data(), bmp.size(), w, h));
	EXPECT_EQ(h, 10);
	// An OS/2 header of 12 bytes holds 16-bit sides.
	std::vector<unsigned char> os2(26, 0);
	os2[0] = 'B';
	os2[1] = 'M';
	put_le32(os2, 14, 12);
	os2[18] = 0x10, os2[19] = 0x27; // 10000
	os2[20] = 0x20;
	ASSERT_TRUE(qm_image_header_size(os2.data(), os2.size(), w, h));
	EXPECT_EQ(w, 10000);
	EXPECT_EQ(h, 32);
	// JPEG markers without a length and fill bytes are stepped over.
	std::vector<unsigned char> jpg = encoded(".jpg", {64, 48});
	const unsigned char extra[] = {0xff, 0xd0, 0xff, 0xff, 0xff, 0x01};
	jpg.insert(jpg.begin() + 2, extra, extra + sizeof(extra));
	ASSERT_TRUE(qm_image_header_size(jpg.data(), jpg.size(), w, h));
	EXPECT_EQ(w, 64);
	EXPECT_EQ(h, 48);
	// Stray bytes between JPEG markers, which libjpeg would skip: what
	// frame header counts is no longer certain.
	std::vector<unsigned char> stray = encoded(".jpg", {64, 48});
	stray.insert(stray.begin() + 2, 0x00);
	EXPECT_FALSE(qm_image_header_size(stray.data(), stray.size(), w, h));
	// Other formats OpenCV could decode are not accepted.
	std::vector<unsigned char> tiff = encoded(".tiff", {8, 8});
	EXPECT_FALSE(qm_image_header_size(tiff.data(), tiff.size(), w, h));
	std::string error;
	EXPECT_TRUE(decode(tiff, error).empty());
	EXPECT_EQ(error, "not a BMP, PNG or JPEG image");
}

TEST(ReferenceImage, HugeHeadersAreRefusedBeforeDecoding)
{
	std::vector<unsigned char> bmp = encoded(".bmp", {16, 16});
	std::vector<unsigned char> png = encoded(".png", {16, 16});
	std::vector<unsigned char> jpg = encoded(".jpg", {16, 16});
	size_t sof = sof_offset(jpg);
	ASSERT_GT(sof, 0u);
	struct header_case {
		const char *name;
		std::vector<unsigned char> data;
	};
	std::vector<header_case> cases;
	auto bmp_sized = [&](int32_t w, int32_t h) {
		std::vector<unsigned char> d = bmp;
		put_le32(d, 18, w);
		put_le32(d, 22, h);
		return d;
	};
	auto png_sized = [&](uint32_t w, uint32_t h) {
		std::vector<unsigned char> d = png;
		put_be(d, 16, w, 4);
		put_be(d, 20, h, 4);
		return d;
	};
	std::vector<unsigned char> jpg_big = jpg;
	put_be(jpg_big, sof + 5, 65535, 2);
	put_be(jpg_big, sof + 7, 65535, 2);
	cases.push_back({"bmp 100000x100000", bmp_sized(100000, 100000)});
	cases.push_back({"bmp top-down INT_MIN", bmp_sized(16, INT32_MIN)});
	cases.push_back(
		{"bmp 8000x8000 (over the pixels)", bmp_sized(8000, 8000)});
	cases.push_back({"png 4294967295 wide", png_sized(0xffffffff, 16)});
	cases.push_back({"png 8192x8192", png_sized(8192, 8192)});
	cases.push_back({"jpeg 65535x65535", jpg_big});
	for (const header_case &c : cases) {
		std::string error;
		EXPECT_TRUE(decode(c.data, error).empty()) << c.name;
		EXPECT_EQ(error.rfind("image too large (", 0), 0u)
			<< c.name << ": " << error;
	}
	// Zero sides are refused too; a JPEG with its height left for later
	// (0 in the frame header) among them.
	std::vector<unsigned char> jpg_zero = jpg;
	put_be(jpg_zero, sof + 5, 0, 2);
	for (const auto &d : {bmp_sized(0, 16), png_sized(16, 0), jpg_zero}) {
		std::string error;
		EXPECT_TRUE(decode(d, error).empty());
		EXPECT_EQ(error.rfind("image too large (", 0), 0u) << error;
	}
	// Within the limits, the same header decodes.
	qm_reference_limits roomy;
	roomy.max_pixels = 1 << 10;
	std::string error;
	EXPECT_FALSE(decode(bmp, error, roomy).empty()) << error;
	roomy.max_pixels = 255;
	EXPECT_TRUE(decode(bmp, error, roomy).empty());
}

TEST(ReferenceImage, BrokenFilesGiveAReasonAndNothingElse)
{
	temp_folder dir;
	std::vector<unsigned char> bmp = encoded(".bmp", {200, 100});
	// Cut in the middle of its rows.
	save(dir.file("cut.bmp"),
	     std::vector<unsigned char>(bmp.begin(),
					bmp.begin() + bmp.size() / 2));
	// Only the file header and half the bitmap header.
	save(dir.file("stub.bmp"),
	     std::vector<unsigned char>(bmp.begin(), bmp.begin() + 30));
	save(dir.file("good.bmp"), bmp);
	ASSERT_EQ(mkfifo(dir.file("fifo.png").c_str(), 0600), 0);
	fs::create_directory(dir.path / "folder.jpg");

	struct file_case {
		const char *name, *error;
	};
	for (const file_case &c :
	     {file_case{"cut.bmp", "cannot decode the image"},
	      {"stub.bmp", "cannot decode the image"},
	      {"fifo.png", "not a readable file"},
	      {"folder.jpg", "not a readable file"},
	      {"missing.png", "not a readable file"}}) {
		std::string error;
		EXPECT_TRUE(qm_read_reference_image(dir.file(c.name), {}, error)
				    .empty())
			<< c.name;
		EXPECT_EQ(error, c.error) << c.name;
	}
	std::string error;
	EXPECT_FALSE(
		qm_read_reference_image(dir.file("good.bmp"), {}, error).empty())
		<< error;
	qm_reference_limits small;
	small.max_file_bytes = (long long)bmp.size() - 1;
	EXPECT_TRUE(qm_read_reference_image(dir.file("good.bmp"), small, error)
			    .empty());
	EXPECT_EQ(error, "file too large");
}

namespace {

// A loader on the real image reader that makes one "face" of each photo
// it decodes, and counts its calls.
struct counting_loader {
	std::vector<std::string> loads;
	std::vector<std::string> notes;

	qm_reference_set operator()(const std::string &path)
	{
		loads.push_back(path);
		qm_reference_set set;
		std::string error;
		cv::Mat m = qm_read_reference_image(path, {}, error);
		if (m.empty()) {
			set.problems.push_back(path + ": " + error);
			return set;
		}
		qm_reference_face face;
		face.path = path;
		face.box = cv::Rect2f(0, 0, float(m.cols), float(m.rows));
		set.faces.push_back(face);
		return set;
	}

	reference_photos photos(size_t per_refresh = 1)
	{
		return reference_photos(
			[this](const std::string &p) { return (*this)(p); },
			[this](const std::string &n) { notes.push_back(n); },
			MAX_REFERENCE_PHOTOS, per_refresh);
	}
};

size_t count(const std::vector<std::string> &v, const std::string &s)
{
	return size_t(std::count(v.begin(), v.end(), s));
}

size_t notes_about(const std::vector<std::string> &notes,
		   const std::string &path)
{
	size_t n = 0;
	for (const std::string &s : notes)
		n += s.find(path) != std::string::npos;
	return n;
}

void set_age(const std::string &path, int seconds_ago)
{
	fs::last_write_time(path, fs::file_time_type::clock::now() -
					  std::chrono::seconds(seconds_ago));
}

std::vector<std::string> paths_of(const std::vector<qm_reference_face> &faces)
{
	std::vector<std::string> out;
	for (const qm_reference_face &f : faces)
		out.push_back(f.path);
	return out;
}

} // namespace

TEST(ReferencePhotos, OnlyTheNewestAreUsedAndEachLoadedOnce)
{
	temp_folder dir;
	std::vector<std::string> paths;
	for (int i = 0; i < 40; i++) {
		std::string p = dir.file("p" + std::to_string(i) + ".png");
		save(p, encoded(".png", {16, 16}, uint8_t(i)));
		// p0 is the oldest, p39 the newest.
		set_age(p, 1000 - i);
		paths.push_back(p);
	}
	counting_loader loader;
	reference_photos photos = loader.photos(4);
	size_t refreshes = 0;
	do {
		photos.refresh(paths);
		refreshes++;
		// Never more than the given loads in one refresh.
		EXPECT_LE(loader.loads.size(), 4 * refreshes);
	} while (photos.loading() && refreshes < 20);
	EXPECT_EQ(refreshes, 8u);
	ASSERT_EQ(photos.faces().size(), MAX_REFERENCE_PHOTOS);
	// The 32 newest, newest first; the 8 oldest never even decoded.
	for (size_t i = 0; i < MAX_REFERENCE_PHOTOS; i++)
		EXPECT_EQ(photos.faces()[i].path, paths[39 - i]);
	EXPECT_EQ(loader.loads.size(), MAX_REFERENCE_PHOTOS);
	for (int i = 0; i < 8; i++)
		EXPECT_EQ(count(loader.loads, paths[i]), 0u);
	EXPECT_EQ(count(loader.notes, "8 older reference photos are left "
				      "out: the newest 32 are used"),
		  1u);

	// Nothing changed: nothing loaded, nothing told.
	for (int i = 0; i < 10; i++)
		EXPECT_FALSE(photos.refresh(paths));
	EXPECT_EQ(loader.loads.size(), MAX_REFERENCE_PHOTOS);
	EXPECT_EQ(loader.notes.size(), 1u);

	// An old photo touched becomes one of the newest; the oldest in use
	// drops out at once.
	set_age(paths[0], 0);
	EXPECT_TRUE(photos.refresh(paths));
	EXPECT_EQ(count(loader.loads, paths[0]), 1u);
	EXPECT_EQ(photos.faces()[0].path, paths[0]);
	EXPECT_EQ(count(paths_of(photos.faces()), paths[8]), 0u);

	// A photo no longer named goes at once, without a load.
	std::vector<std::string> fewer(paths.begin() + 1, paths.end());
	size_t loads = loader.loads.size();
	EXPECT_TRUE(photos.refresh(fewer));
	EXPECT_EQ(count(paths_of(photos.faces()), paths[0]), 0u);
	// paths[8] is among the newest 32 again.
	EXPECT_EQ(loader.loads.size(), loads + 1);
	EXPECT_EQ(loader.loads.back(), paths[8]);
}

TEST(ReferencePhotos, ABrokenPhotoIsToldOnceAndNeverPoisonsTheOthers)
{
	temp_folder dir;
	std::string good = dir.file("good.png"), cut = dir.file("cut.bmp"),
		    gone = dir.file("gone.jpg");
	save(good, encoded(".png", {16, 16}));
	std::vector<unsigned char> bmp = encoded(".bmp", {300, 200});
	save(cut, std::vector<unsigned char>(bmp.begin(), bmp.begin() + 400));
	set_age(cut, 10);
	set_age(good, 20);
	std::vector<std::string> paths = {good, cut, gone};

	counting_loader loader;
	reference_photos photos = loader.photos();
	for (int run = 0; run < 50; run++)
		photos.refresh(paths);
	EXPECT_EQ(paths_of(photos.faces()), std::vector<std::string>{good});
	EXPECT_EQ(count(loader.loads, cut), 1u);
	EXPECT_EQ(count(loader.loads, good), 1u);
	EXPECT_EQ(loader.loads.size(), 2u) << "a missing file is not loaded";
	EXPECT_EQ(notes_about(loader.notes, cut), 1u);
	EXPECT_EQ(count(loader.notes,
			"reference photo " + cut + ": cannot decode the image"),
		  1u);
	EXPECT_EQ(count(loader.notes,
			"reference photo " + gone + ": not a readable file"),
		  1u);

	// The broken file replaced by a good one: loaded again, once.
	save(cut, bmp);
	for (int run = 0; run < 5; run++)
		photos.refresh(paths);
	EXPECT_EQ(count(loader.loads, cut), 2u);
	EXPECT_EQ(photos.faces().size(), 2u);
	EXPECT_EQ(photos.faces()[0].path, cut);
	EXPECT_EQ(notes_about(loader.notes, cut), 1u);

	// Broken again in a new way: told again, once.
	save(cut, std::vector<unsigned char>(bmp.begin(), bmp.begin() + 20));
	for (int run = 0; run < 5; run++)
		photos.refresh(paths);
	EXPECT_EQ(count(loader.loads, cut), 3u);
	EXPECT_EQ(paths_of(photos.faces()), std::vector<std::string>{good});
	EXPECT_EQ(notes_about(loader.notes, cut), 2u);
}
