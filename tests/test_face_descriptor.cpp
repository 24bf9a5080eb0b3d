// Face descriptors on the real models: one person stays close under
// mirroring, shifts, blur and turns, different people stay apart, the keep
// decision, and reference photos in every accepted form and broken ones.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <limits>

#include <unistd.h>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/core/utility.hpp>
#include <opencv2/imgproc.hpp>

#include "common.h"
#include "detector_samples.h"
#include "exchange.h"
#include "face-descriptor.h"

namespace fs = std::filesystem;

namespace {

class FaceDescriptor : public ::testing::Test {
protected:
	void SetUp() override
	{
		if (!qm_detector_samples_ready())
			GTEST_SKIP() << "opencv-doc is not installed";
		std::string error;
		ASSERT_TRUE(qm_load_face_detector(
			det, qm_model_path("face-detector.onnx"), error))
			<< error;
		ASSERT_TRUE(qm_load_face_describer(
			desc, qm_model_path("face-descriptor.onnx"), error))
			<< error;
		dir = fs::temp_directory_path() /
		      ("qm-faces-" + std::to_string(::getpid()));
		fs::create_directories(dir);
	}
	void TearDown() override { fs::remove_all(dir); }

	qm_descriptor describe(const cv::Mat &image)
	{
		std::vector<qm_face> faces = qm_detect_faces(det, image);
		EXPECT_GE(faces.size(), 1u);
		return faces.empty() ? qm_descriptor{}
				     : qm_describe_face(desc, image, faces[0]);
	}

	// A 1280x720 camera frame with the given people pasted in, faces
	// 200 px tall, side by side, their pasted squares' tops at top.
	cv::Mat scene(const std::vector<size_t> &people, int top = 200)
	{
		cv::Mat frame = qm_background();
		int x = 80;
		for (size_t p : people) {
			cv::Mat photo = qm_load_person(qm_person_photos()[p]);
			cv::Rect2f box = qm_detect_faces(det, photo)[0].box;
			qm_paste_face(frame, photo, box, 200, {x, top});
			x += 420;
		}
		return frame;
	}

	std::string file(const char *name) { return (dir / name).string(); }

	qm_face_detector det;
	qm_face_describer desc;
	fs::path dir;
};

cv::Mat turned(const cv::Mat &m, double degrees)
{
	cv::Mat out,
		t = cv::getRotationMatrix2D(
			{(float)m.cols / 2, (float)m.rows / 2}, degrees, 1);
	cv::warpAffine(m, out, t, m.size());
	return out;
}

TEST_F(FaceDescriptor, SamePersonMatchesUnderChangesAndOthersDoNot)
{
	std::vector<std::vector<qm_descriptor>> d;
	for (const qm_person_photo &p : qm_person_photos()) {
		SCOPED_TRACE(p.name);
		cv::Mat photo = qm_load_person(p), mirrored, blurred, shifted;
		cv::flip(photo, mirrored, 1);
		cv::GaussianBlur(photo, blurred, {}, 2.5);
		cv::Mat t = (cv::Mat_<double>(2, 3) << 0.6, 0, 50, 0, 0.6, 40);
		cv::warpAffine(photo, shifted, t, photo.size());
		d.push_back({describe(photo), describe(mirrored),
			     describe(blurred), describe(shifted),
			     describe(turned(photo, 12))});
		for (size_t v = 1; v < d.back().size(); v++)
			EXPECT_LT(qm_descriptor_distance(d.back()[0],
							 d.back()[v]),
				  QM_MATCH_DISTANCE * 0.8f)
				<< "variant " << v;
	}
	for (size_t p = 0; p < d.size(); p++)
		for (size_t q = p + 1; q < d.size(); q++)
			for (const qm_descriptor &a : d[p])
				for (const qm_descriptor &b : d[q])
					EXPECT_GT(qm_descriptor_distance(a, b),
						  QM_MATCH_DISTANCE * 1.2f)
						<< p << " vs " << q;
}

TEST_F(FaceDescriptor, AlignedFaceIsUprightWhateverTheTurn)
{
	cv::Mat photo = qm_load_person(qm_person_photos()[1]);
	cv::Mat a = qm_align_face(photo, qm_detect_faces(det, photo)[0]);
	cv::Mat t = turned(photo, 20);
	cv::Mat b = qm_align_face(t, qm_detect_faces(det, t)[0]);
	ASSERT_EQ(a.size(), cv::Size(QM_FACE_CHIP_SIZE, QM_FACE_CHIP_SIZE));
	cv::Mat ga, gb;
	cv::cvtColor(a, ga, cv::COLOR_BGR2GRAY);
	cv::cvtColor(b, gb, cv::COLOR_BGR2GRAY);
	// Same pixels, give or take resampling and keypoint jitter.
	EXPECT_LT(cv::norm(ga, gb, cv::NORM_L1) / (double)ga.total(), 25.0);
}

TEST_F(FaceDescriptor, KeepsTheReferencePersonAndNotTheStranger)
{
	cv::Mat photo = qm_load_person(qm_person_photos()[0]);
	ASSERT_TRUE(cv::imwrite(file("keep.jpg"), photo));
	qm_reference_set refs =
		qm_load_references(det, desc, {file("keep.jpg")});
	ASSERT_EQ(refs.faces.size(), 1u);
	EXPECT_TRUE(refs.problems.empty());

	cv::Mat frame = scene({0, 1, 2});
	std::vector<qm_face> faces = qm_detect_faces(det, frame);
	ASSERT_EQ(faces.size(), 3u);
	int kept = 0;
	for (const qm_face &f : faces) {
		qm_match m = qm_match_face(f, qm_describe_face(desc, frame, f),
					   refs.faces);
		bool is_reference = f.box.x < 400;
		EXPECT_EQ(m.keep, is_reference) << f.box << " " << m.distance;
		kept += m.keep;
	}
	EXPECT_EQ(kept, 1);
}

TEST(FaceMatch, KeepsOnlyClearMatchesOfJudgeableFaces)
{
	qm_face face;
	face.keypoints[QM_RIGHT_EYE] = {100, 100};
	face.keypoints[QM_LEFT_EYE] = {140, 100};
	qm_descriptor d{};
	d[0] = 0.5f;
	std::vector<qm_reference_face> refs(2);
	refs[0].descriptor = d;
	refs[0].descriptor[1] = QM_MATCH_DISTANCE + 0.01f; // just too far
	refs[1].descriptor = d;
	refs[1].descriptor[2] = QM_MATCH_DISTANCE - 0.01f;

	qm_match m = qm_match_face(face, d, refs);
	EXPECT_TRUE(m.keep);
	EXPECT_EQ(m.reference, 1);
	EXPECT_NEAR(m.distance, QM_MATCH_DISTANCE - 0.01f, 1e-5);

	EXPECT_FALSE(qm_match_face(face, d, {refs[0]}).keep);
	EXPECT_FALSE(qm_match_face(face, d, {}).keep);

	// Too small to judge: hidden even when identical.
	qm_face tiny = face;
	tiny.keypoints[QM_LEFT_EYE] = {100 + QM_MIN_EYE_DISTANCE - 1, 100};
	EXPECT_FALSE(qm_match_face(tiny, refs[1].descriptor, refs).keep);

	qm_descriptor broken = d;
	broken[5] = std::numeric_limits<float>::quiet_NaN();
	EXPECT_FALSE(qm_match_face(face, broken, refs).keep);
}

// The filter's own captures (32-bit top-down BMP, written by the module's
// writer), PNG and JPEG: every face in each becomes a reference.
TEST_F(FaceDescriptor, LoadsEveryFaceOfCapturesAndPhotos)
{
	cv::Mat frame = scene({0, 2}, 40), bgra;
	cv::cvtColor(frame, bgra, cv::COLOR_BGR2BGRA);
	ASSERT_TRUE(bgra.isContinuous());
	ASSERT_TRUE(qm_write_bmp(file("capture.bmp").c_str(), bgra.data));
	ASSERT_EQ(fs::file_size(file("capture.bmp")), QM_BMP_FILE_SIZE);
	cv::Mat photo = qm_load_person(qm_person_photos()[1]);
	ASSERT_TRUE(cv::imwrite(file("one.png"), photo));
	ASSERT_TRUE(cv::imwrite(file("one.jpeg"), photo));

	qm_reference_set refs = qm_load_references(
		det, desc,
		{file("capture.bmp"), file("one.png"), file("one.jpeg")});
	EXPECT_TRUE(refs.problems.empty()) << refs.problems[0];
	ASSERT_EQ(refs.faces.size(), 4u);
	// Top-down rows: the faces are where they were pasted (face top
	// about 100 px), not flipped (about 420 px).
	EXPECT_NEAR(refs.faces[0].box.y, 100, 40);
	EXPECT_LT(qm_descriptor_distance(refs.faces[2].descriptor,
					 refs.faces[3].descriptor),
		  0.15f);
	// The capture's people are those of the scene.
	qm_face f = qm_detect_faces(det, frame)[0];
	EXPECT_TRUE(
		qm_match_face(f, qm_describe_face(desc, frame, f), refs.faces)
			.keep);
}

TEST_F(FaceDescriptor, LeavesOutFacesTooSmallToRecognise)
{
	cv::Mat frame = qm_background();
	cv::Mat big = qm_load_person(qm_person_photos()[0]);
	cv::Mat small = qm_load_person(qm_person_photos()[1]);
	qm_paste_face(frame, big, qm_detect_faces(det, big)[0].box, 300,
		      {100, 100});
	qm_paste_face(frame, small, qm_detect_faces(det, small)[0].box, 120,
		      {800, 200});
	ASSERT_TRUE(cv::imwrite(file("two.png"), frame));
	// Eyes about 120 and 50 px apart: only the large face is judged.
	qm_reference_limits limits;
	limits.min_eye_distance = 80;
	qm_reference_set refs =
		qm_load_references(det, desc, {file("two.png")}, limits);
	ASSERT_EQ(refs.faces.size(), 1u);
	EXPECT_LT(refs.faces[0].box.x, 500);
	ASSERT_EQ(refs.problems.size(), 1u);
	EXPECT_EQ(refs.problems[0],
		  file("two.png") +
			  ": a face too small to recognise was left out");
}

TEST_F(FaceDescriptor, SkipsAndReportsFilesThatCannotServe)
{
	cv::Mat photo = qm_load_person(qm_person_photos()[0]);
	ASSERT_TRUE(cv::imwrite(file("good.png"), photo));
	std::vector<unsigned char> png;
	cv::imencode(".png", photo, png);
	// Cut short.
	std::ofstream(file("cut.png"), std::ios::binary)
		.write((const char *)png.data(),
		       (std::streamsize)png.size() / 3);
	// A header that claims 100000x100000 pixels: never decoded.
	std::vector<unsigned char> huge = png;
	const unsigned char side[] = {0x00, 0x01, 0x86, 0xa0};
	std::copy(side, side + 4, huge.begin() + 16);
	std::copy(side, side + 4, huge.begin() + 20);
	std::ofstream(file("huge.png"), std::ios::binary)
		.write((const char *)huge.data(), (std::streamsize)huge.size());
	std::ofstream(file("text.jpg")) << "not a picture";
	cv::Mat empty_scene = qm_background();
	ASSERT_TRUE(cv::imwrite(file("nobody.jpg"), empty_scene));
	fs::create_directory(dir / "folder.png");

	std::vector<std::string> paths = {
		file("cut.png"),    file("huge.png"),   file("text.jpg"),
		file("nobody.jpg"), file("folder.png"), file("missing.bmp"),
		file("good.png")};
	qm_reference_set refs = qm_load_references(det, desc, paths);
	ASSERT_EQ(refs.faces.size(), 1u);
	EXPECT_EQ(refs.faces[0].path, file("good.png"));
	ASSERT_EQ(refs.problems.size(), paths.size() - 1);
	for (size_t i = 0; i + 1 < paths.size(); i++)
		EXPECT_EQ(refs.problems[i].rfind(paths[i] + ": ", 0), 0u)
			<< refs.problems[i];
	EXPECT_NE(refs.problems[1].find("too large"), std::string::npos);

	// A BMP cut short and one whose header claims 50000x50000 pixels.
	std::vector<unsigned char> bmp;
	cv::imencode(".bmp", photo, bmp);
	std::ofstream(file("cut.bmp"), std::ios::binary)
		.write((const char *)bmp.data(),
		       (std::streamsize)bmp.size() / 2);
	std::vector<unsigned char> wide = bmp;
	const unsigned char sides[] = {0x50, 0xc3, 0x00, 0x00};
	std::copy(sides, sides + 4, wide.begin() + 18);
	std::copy(sides, sides + 4, wide.begin() + 22);
	std::ofstream(file("huge.bmp"), std::ios::binary)
		.write((const char *)wide.data(), (std::streamsize)wide.size());
	refs = qm_load_references(det, desc,
				  {file("cut.bmp"), file("huge.bmp")});
	EXPECT_TRUE(refs.faces.empty());
	ASSERT_EQ(refs.problems.size(), 2u);
	EXPECT_EQ(refs.problems[0],
		  file("cut.bmp") + ": cannot decode the image");
	EXPECT_EQ(refs.problems[1],
		  file("huge.bmp") + ": image too large (50000x50000)");

	// A file over the size limit is refused before it is read.
	qm_reference_limits small;
	small.max_file_bytes = 1000;
	std::string error;
	EXPECT_TRUE(
		qm_read_reference_image(file("good.png"), small, error).empty());
	EXPECT_EQ(error, "file too large");
}

// Networks that fail on a photo (here one never loaded) cost that photo,
// reported, and never an exception out of the loader.
TEST_F(FaceDescriptor, APhotoTheNetworksFailOnIsReportedNotThrown)
{
	cv::Mat photo = qm_load_person(qm_person_photos()[0]);
	ASSERT_TRUE(cv::imwrite(file("good.png"), photo));
	qm_face_describer broken;
	qm_reference_set refs;
	ASSERT_NO_THROW(
		refs = qm_load_reference_photo(det, broken, file("good.png")));
	EXPECT_TRUE(refs.faces.empty());
	ASSERT_EQ(refs.problems.size(), 1u);
	EXPECT_EQ(refs.problems[0].rfind(
			  file("good.png") + ": cannot be described (", 0),
		  0u)
		<< refs.problems[0];
	EXPECT_EQ(refs.problems[0].find('\n'), std::string::npos);
	// The same photo with working networks serves.
	EXPECT_EQ(qm_load_reference_photo(det, desc, file("good.png"))
			  .faces.size(),
		  1u);
}

} // namespace
