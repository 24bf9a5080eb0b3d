// Faces followed from run to run and the decision to keep them; the model
// files' checks; the phone-number regions and options.

#include "command-line.h"
#include "face-tracks.h"
#include "models.h"
#include "phone-stage.h"

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include <filesystem>
#include <fstream>

using namespace qmc;
namespace fs = std::filesystem;

namespace {

constexpr uint64_t MS = 1000000;
const cv::Size FRAME(1280, 720);

// A run of the tracker with the people at these boxes; judge says who is
// to be kept (by index) and counts its calls.
struct runner {
	face_tracks tracks;
	std::vector<bool> keep;
	int judged = 0;

	regions at(double ms, const std::vector<cv::Rect2f> &faces)
	{
		return tracks.update(
			uint64_t(ms * 1e6) + 1000 * MS, faces,
			[&](size_t i) {
				judged++;
				return i < keep.size() && keep[i];
			},
			FRAME);
	}
};

// Nobody is to be kept, and when the runs start.
std::optional<bool> never(size_t)
{
	return false;
}
const uint64_t T0 = 1000 * MS;

const region *of_track(const regions &r, int64_t track)
{
	for (const region &g : r)
		if (g.track == track)
			return &g;
	return nullptr;
}

} // namespace

TEST(FaceTracks, AFaceTheDetectorMissesIsFollowedByItsLook)
{
	// A textured face on a plain background, in half-scale grey.
	cv::Mat face(40, 40, CV_8U);
	cv::randu(face, 0, 255);
	cv::GaussianBlur(face, face, {3, 3}, 0);
	auto frame_with = [&](int x, int y) {
		cv::Mat g(FRAME.height / 2, FRAME.width / 2, CV_8U,
			  cv::Scalar(128));
		if (x >= 0)
			face.copyTo(g(cv::Rect(x / 2, y / 2, 40, 40)));
		return g;
	};
	face_tracks tracks;
	regions a = tracks.update(T0, {{100, 100, 80, 80}}, never, FRAME,
				  frame_with(100, 100));
	ASSERT_EQ(a.size(), 1u);
	// Missed by the next run, moved 40 px: found there, a fresh sighting.
	regions b = tracks.update(T0 + 200 * MS, {}, never, FRAME,
				  frame_with(140, 120));
	ASSERT_EQ(b.size(), 1u);
	EXPECT_EQ(b[0].track, a[0].track);
	EXPECT_EQ(b[0].seen_ns, 0u);
	EXPECT_EQ(b[0].box, face_region({140, 120, 80, 80}, FRAME));
	// Gone from where it was (or further than its size): held where it
	// was last found, from when it was.
	regions c = tracks.update(T0 + 400 * MS, {}, never, FRAME,
				  frame_with(-1, 0));
	ASSERT_EQ(c.size(), 1u);
	EXPECT_EQ(c[0].box, b[0].box);
	EXPECT_EQ(c[0].seen_ns, T0 + 200 * MS);
	// A look alone does not keep a track for ever: after forget_s since
	// the detector last found it, the track is not followed.
	regions d = tracks.update(T0 + 1700 * MS, {}, never, FRAME,
				  frame_with(140, 120));
	EXPECT_TRUE(d.empty());
}

TEST(FaceTracks, ASmallFaceInADimCamerasGrainIsFollowed)
{
	// A small, soft face at full scale, and grain new in every frame.
	cv::Mat face(48, 48, CV_8U);
	cv::randu(face, 0, 255);
	cv::GaussianBlur(face, face, {}, 4);
	cv::normalize(face, face, 90, 170, cv::NORM_MINMAX);
	cv::RNG rng(7);
	auto frame_with = [&](int x, int y) {
		cv::Mat g(FRAME, CV_8U, cv::Scalar(128));
		face.copyTo(g(cv::Rect(x, y, 48, 48)));
		cv::Mat grain(FRAME, CV_16S);
		rng.fill(grain, cv::RNG::NORMAL, 0, 14);
		cv::Mat out;
		cv::add(g, grain, out, cv::noArray(), CV_8U);
		return out;
	};
	face_tracks tracks;
	regions a = tracks.update(T0, {{300, 300, 48, 48}}, never, FRAME,
				  frame_with(300, 300));
	ASSERT_EQ(a.size(), 1u);
	for (int run = 1; run <= 3; run++) {
		int x = 300 + 12 * run;
		regions b = tracks.update(T0 + uint64_t(run) * 200 * MS, {},
					  never, FRAME, frame_with(x, 300));
		ASSERT_EQ(b.size(), 1u);
		EXPECT_EQ(b[0].seen_ns, 0u) << "found by its look, run " << run;
		cv::Rect at = face_region({float(x), 300, 48, 48}, FRAME);
		EXPECT_NEAR(b[0].box.x, at.x, 2) << "run " << run;
		EXPECT_NEAR(b[0].box.y, at.y, 2) << "run " << run;
	}
}

TEST(FaceTracks, AMovingFaceKeepsItsTrackAndIsHeldThroughMisses)
{
	runner r;
	regions a = r.at(0, {{100, 100, 80, 80}});
	ASSERT_EQ(a.size(), 1u);
	int64_t id = a[0].track;
	EXPECT_FALSE(a[0].keep);
	// Moving 40 px in a fifth of a second: the same track.
	regions b = r.at(200, {{140, 110, 82, 82}});
	ASSERT_EQ(b.size(), 1u);
	EXPECT_EQ(b[0].track, id);
	// Missed by the next two runs: still hidden where last seen...
	for (double t : {400.0, 600.0}) {
		regions miss = r.at(t, {});
		ASSERT_NE(of_track(miss, id), nullptr) << t;
		EXPECT_EQ(of_track(miss, id)->box,
			  face_region({140, 110, 82, 82}, FRAME));
	}
	// ...found again, the same track...
	EXPECT_EQ(r.at(750, {{150, 110, 80, 80}})[0].track, id);
	// ...and let go once it has been gone for longer.
	EXPECT_NE(of_track(r.at(1300, {}), id), nullptr);
	EXPECT_EQ(of_track(r.at(1500, {}), id), nullptr);
	// Long gone: a face in its place starts a track of its own.
	EXPECT_NE(r.at(3000, {{150, 110, 80, 80}})[0].track, id);
}

TEST(FaceTracks, FacesFarApartOrOfOtherSizesAreOtherTracks)
{
	runner r;
	regions a = r.at(0, {{100, 100, 80, 80}, {600, 100, 80, 80}});
	ASSERT_EQ(a.size(), 2u);
	EXPECT_NE(a[0].track, a[1].track);
	// Nearest first: crossing towards each other they keep their
	// tracks.
	regions b = r.at(100, {{560, 100, 80, 80}, {140, 100, 80, 80}});
	EXPECT_EQ(b[0].track, a[1].track);
	EXPECT_EQ(b[1].track, a[0].track);
	// A face four times the size where one was is someone else (nearer
	// the camera).
	regions c = r.at(200, {{120, 60, 320, 320}});
	EXPECT_NE(c[0].track, a[0].track);
	EXPECT_NE(c[0].track, a[1].track);
	// Too far for the time between: another track.
	regions d = r.at(250, {{1100, 500, 80, 80}});
	for (const region &g : d) {
		if (g.box.x > 900) {
			EXPECT_GT(g.track, c[0].track);
		}
	}
}

TEST(FaceTracks, KeptOnlyWhileTheFaceMatchesAndStrangersAreRecheckedNowAndThen)
{
	runner r;
	r.keep = {true, false};
	regions a = r.at(0, {{100, 100, 80, 80}, {400, 100, 80, 80}});
	EXPECT_TRUE(a[0].keep);
	EXPECT_FALSE(a[1].keep);
	EXPECT_EQ(r.judged, 2);
	// The kept track is judged on every run, the stranger not before
	// half a second.
	r.at(100, {{100, 100, 80, 80}, {400, 100, 80, 80}});
	EXPECT_EQ(r.judged, 3);
	r.at(600, {{100, 100, 80, 80}, {400, 100, 80, 80}});
	EXPECT_EQ(r.judged, 5);
	// Someone else in the kept person's place (same track): no longer
	// kept, from this very run.
	r.keep = {false, false};
	regions b = r.at(700, {{104, 100, 80, 80}, {400, 100, 80, 80}});
	EXPECT_EQ(b[0].track, a[0].track);
	EXPECT_FALSE(b[0].keep);
	// Judged a stranger, it is looked at again half a second later.
	r.keep = {true, false};
	EXPECT_FALSE(
		r.at(800, {{100, 100, 80, 80}, {400, 100, 80, 80}})[0].keep);
	EXPECT_TRUE(
		r.at(1200, {{100, 100, 80, 80}, {400, 100, 80, 80}})[0].keep);
	// A kept face missed by a run needs no region; a stranger does.
	regions miss = r.at(1300, {});
	EXPECT_EQ(of_track(miss, a[0].track), nullptr);
	ASSERT_NE(of_track(miss, a[1].track), nullptr);
	EXPECT_FALSE(of_track(miss, a[1].track)->keep);
}

TEST(FaceTracks, AStrangerWhoStaysIsJudgedLessAndLessOften)
{
	runner r;
	const std::vector<cv::Rect2f> stranger = {{400, 100, 80, 80}};
	std::vector<double> judged_at;
	for (double ms = 0; ms <= 6000; ms += 100) {
		int before = r.judged;
		r.at(ms, stranger);
		if (r.judged > before)
			judged_at.push_back(ms);
	}
	// Half a second, one second, then every two seconds.
	EXPECT_EQ(judged_at, (std::vector<double>{0, 500, 1500, 3500, 5500}));
	// Judged kept once: the next refusal waits half a second again.
	r.keep = {true};
	r.at(7500, stranger);
	r.keep = {false};
	int before = r.judged;
	r.at(7600, stranger);
	r.at(8000, stranger);
	EXPECT_EQ(r.judged, before + 1);
	r.at(8100, stranger);
	EXPECT_EQ(r.judged, before + 2);
}

TEST(FaceTracks, NewReferencesMeanEveryoneIsJudgedAgain)
{
	runner r;
	r.keep = {false};
	regions a = r.at(0, {{100, 100, 80, 80}});
	EXPECT_FALSE(a[0].keep);
	r.keep = {true};
	// Not due yet: still hidden.
	EXPECT_FALSE(r.at(100, {{100, 100, 80, 80}})[0].keep);
	r.tracks.judge_again();
	EXPECT_TRUE(r.at(200, {{100, 100, 80, 80}})[0].keep);
	// The reference taken away again: hidden at the next sight.
	r.keep = {false};
	r.tracks.judge_again();
	EXPECT_FALSE(r.at(300, {{100, 100, 80, 80}})[0].keep);
}

TEST(FaceTracks, RegionsCoverHairAndEarsWithinTheFrame)
{
	cv::Rect r = face_region({100, 100, 100, 100}, FRAME);
	EXPECT_LE(r.x, 85);
	EXPECT_GE(r.br().x, 215);
	EXPECT_LT(r.y, 100 - (r.br().y - 200))
		<< "more room above, for the hair";
	EXPECT_GE(r.y, 60) << "the background over the head stays sharp";
	EXPECT_GE(r.br().y, 215);
	EXPECT_LE(r.width, 135);
	cv::Rect edge = face_region({1250, -20, 60, 60}, FRAME);
	EXPECT_EQ(edge & cv::Rect({0, 0}, FRAME), edge);
	EXPECT_EQ(edge.br().x, 1280);
	EXPECT_EQ(edge.y, 0);
}

TEST(Models, Sha256OfKnownTexts)
{
	EXPECT_EQ(sha256_hex("", 0), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4"
				     "649b934ca495991b7852b855");
	EXPECT_EQ(sha256_hex("abc", 3), "ba7816bf8f01cfea414140de5dae2223b0036"
					"1a396177a9cb410ff61f20015ad");
	// Two blocks, the padding in the second.
	const char *two =
		"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopn"
		"opq";
	EXPECT_EQ(sha256_hex(two, strlen(two)),
		  "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419"
		  "db06c1");
	std::string million(1000000, 'a');
	EXPECT_EQ(sha256_hex(million.data(), million.size()),
		  "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7"
		  "112cd0");
}

TEST(Models, OnlyAModelListedWithItsChecksumIsTaken)
{
	fs::path dir = fs::temp_directory_path() /
		       ("qm-models-" + std::to_string(getpid()));
	fs::create_directories(dir);
	auto put = [&](const char *name, const std::string &text) {
		std::ofstream(dir / name, std::ios::binary) << text;
	};
	put("face-detector.onnx", "model bytes");
	put("text-detector.onnx", "other bytes");
	std::string why;
	EXPECT_TRUE(
		checked_model(dir.string(), "face-detector.onnx", &why).empty())
		<< "no SHA256SUMS";
	put("SHA256SUMS", sha256_hex("model bytes", 11) +
				  "  face-detector.onnx\n" +
				  sha256_hex("something else", 14) +
				  " *text-detector.onnx\n");
	EXPECT_EQ(checked_model(dir.string(), "face-detector.onnx", &why),
		  (dir / "face-detector.onnx").string());
	EXPECT_TRUE(
		checked_model(dir.string(), "text-detector.onnx", &why).empty());
	EXPECT_NE(why.find("wrong checksum"), std::string::npos) << why;
	EXPECT_TRUE(checked_model(dir.string(), "face-descriptor.onnx", &why)
			    .empty());
	EXPECT_NE(why.find("not listed"), std::string::npos) << why;
	EXPECT_TRUE(checked_model("", "face-detector.onnx", &why).empty());

	// The folder given is the only one; otherwise beside the program
	// first, then the user's installed one, then the package's.
	EXPECT_EQ(model_dirs("/x", "/bin"), std::vector<std::string>{"/x"});
	std::vector<std::string> dirs = model_dirs("", "/opt/q");
	ASSERT_GE(dirs.size(), 2u);
	EXPECT_EQ(dirs[0], "/opt/q/models");
	EXPECT_NE(dirs[1].find("quilmar-direct/models"), std::string::npos);
	EXPECT_EQ(dirs.back(), "/usr/share/quilmar-direct/models");
	EXPECT_EQ(find_model_dir({"/nonexistent", dir.string()}), dir.string());
	EXPECT_EQ(find_model_dir({"/nonexistent"}), "");
	fs::remove_all(dir);
}

TEST(PhoneStage, NumbersAreHiddenWithAMarginInsideTheFrame)
{
	qm_phone_number n;
	n.outline = {{100, 200}, {300, 200}, {300, 230}, {100, 230}};
	n.box = cv::boundingRect(n.outline);
	cv::Rect r = phone_region(n, FRAME);
	EXPECT_TRUE((r & n.box) == n.box);
	EXPECT_GE(r.y, 200 - 20) << "a margin of about a third of its height";
	EXPECT_LE(r.y, 200 - 8);
	n.outline = {{1200, 700}, {1290, 700}, {1290, 730}, {1200, 730}};
	n.box = cv::boundingRect(n.outline);
	r = phone_region(n, FRAME);
	EXPECT_EQ(r.br().x, 1280);
	EXPECT_EQ(r.br().y, 720);
	EXPECT_TRUE(phone_region(qm_phone_number{}, FRAME).empty());
}

TEST(PhoneStage, RegionAndModelFolderOptions)
{
	auto parse = [](std::vector<std::string> args, options *opt,
			std::string *error) {
		std::vector<char *> argv{const_cast<char *>("qc")};
		for (std::string &a : args)
			argv.push_back(a.data());
		return parse_command_line(int(argv.size()), argv.data(), opt,
					  error);
	};
	options opt;
	std::string error;
	ASSERT_TRUE(parse({"--region", "gb", "--model-dir=/m"}, &opt, &error))
		<< error;
	EXPECT_EQ(opt.region, "GB");
	EXPECT_EQ(opt.model_dir, "/m");
	for (const char *bad : {"G", "GBR", "1B", ""}) {
		options o;
		EXPECT_FALSE(parse({"--region", bad}, &o, &error)) << bad;
	}
	options o;
	EXPECT_FALSE(parse({"--model-dir="}, &o, &error));
}
