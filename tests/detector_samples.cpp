#include "detector_samples.h"

#include <memory>

#include <opencv2/freetype.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

bool qm_detector_samples_ready()
{
	cv::setNumThreads(1);
	return !qm_background().empty();
}

std::string qm_model_path(const char *name)
{
	return std::string(QM_MODEL_DIR) + "/" + name;
}

cv::Mat qm_doc_image(const std::string &relative)
{
	return cv::imread("/usr/share/doc/opencv-doc/" + relative,
			  cv::IMREAD_COLOR);
}

const std::vector<qm_person_photo> &qm_person_photos()
{
	static const std::vector<qm_person_photo> photos = {
		{"smiling", "opencv4/html/227943776_1.jpg", {}},
		{"bearded", "opencv4/html/230501201_1.jpg", {}},
		{"glasses", "opencv4/html/example.jpg", {0, 0, 380, 580}},
	};
	return photos;
}

cv::Mat qm_load_person(const qm_person_photo &person)
{
	cv::Mat photo = qm_doc_image(person.file);
	if (photo.empty() || person.part.empty())
		return photo;
	return photo(person.part & cv::Rect({0, 0}, photo.size())).clone();
}

cv::Mat qm_background()
{
	cv::Mat scene = qm_doc_image("examples/data/building.jpg");
	if (scene.empty())
		return scene;
	cv::resize(scene, scene, {1280, 720}, 0, 0, cv::INTER_LINEAR);
	return scene;
}

cv::Rect2f qm_paste_face(cv::Mat &scene, const cv::Mat &photo,
			 const cv::Rect2f &face, float height, cv::Point at,
			 float grow)
{
	float side = face.height * grow;
	cv::Point2f centre = (face.tl() + face.br()) * 0.5f;
	cv::Rect crop((int)(centre.x - side / 2), (int)(centre.y - side / 2),
		      (int)side, (int)side);
	crop &= cv::Rect({0, 0}, photo.size());
	float scale = height / face.height;
	cv::Mat part;
	cv::resize(photo(crop), part, {}, scale, scale, cv::INTER_AREA);
	cv::Rect target(at, part.size());
	target &= cv::Rect({0, 0}, scene.size());
	part(cv::Rect({0, 0}, target.size())).copyTo(scene(target));
	return {(float)at.x + (face.x - (float)crop.x) * scale,
		(float)at.y + (face.y - (float)crop.y) * scale,
		face.width * scale, face.height * scale};
}

std::string qm_font_path(const char *file)
{
	return std::string("/usr/share/fonts/truetype/") + file;
}

cv::Rect qm_draw_text(cv::Mat &image, const std::string &text,
		      const std::string &font, int height, cv::Point origin,
		      cv::Scalar color)
{
	cv::Ptr<cv::freetype::FreeType2> ft = cv::freetype::createFreeType2();
	ft->loadFontData(font, 0);
	int baseline = 0;
	cv::Size size = ft->getTextSize(text, height, -1, &baseline);
	ft->putText(image, text, origin, height, color, -1, cv::LINE_AA, true);
	return {origin.x, origin.y - size.height, size.width,
		size.height + baseline};
}

cv::RotatedRect qm_paste_text(cv::Mat &scene, const std::string &text,
			      const std::string &font, int height,
			      cv::Point2f centre, float angle, cv::Scalar ink,
			      cv::Scalar paper)
{
	int pad = height / 2 + 2;
	cv::Ptr<cv::freetype::FreeType2> ft = cv::freetype::createFreeType2();
	ft->loadFontData(font, 0);
	int baseline = 0;
	cv::Size size = ft->getTextSize(text, height, -1, &baseline);
	cv::Mat card(size.height + baseline + 2 * pad, size.width + 2 * pad,
		     scene.type(), paper);
	ft->putText(card, text, {pad, pad + size.height}, height, ink, -1,
		    cv::LINE_AA, true);
	cv::Point2f card_centre((float)card.cols / 2, (float)card.rows / 2);
	cv::Mat m = cv::getRotationMatrix2D(card_centre, angle, 1.0);
	m.at<double>(0, 2) += centre.x - card_centre.x;
	m.at<double>(1, 2) += centre.y - card_centre.y;
	cv::Mat mask(card.size(), CV_8U, cv::Scalar(255)), warped_mask;
	cv::Mat warped;
	cv::warpAffine(card, warped, m, scene.size(), cv::INTER_LINEAR,
		       cv::BORDER_CONSTANT);
	cv::warpAffine(mask, warped_mask, m, scene.size(), cv::INTER_NEAREST,
		       cv::BORDER_CONSTANT);
	warped.copyTo(scene, warped_mask);
	cv::Point2f text_centre((float)pad + (float)size.width / 2,
				(float)pad +
					(float)(size.height + baseline) / 2);
	std::vector<cv::Point2f> c = {text_centre};
	cv::transform(c, c, m);
	return {c[0],
		cv::Size2f((float)size.width, (float)(size.height + baseline)),
		-angle};
}

float qm_coverage(const cv::RotatedRect &found, const cv::RotatedRect &truth)
{
	std::vector<cv::Point2f> inter;
	if (cv::rotatedRectangleIntersection(found, truth, inter) ==
		    cv::INTERSECT_NONE ||
	    inter.size() < 3)
		return 0;
	std::vector<cv::Point2f> hull;
	cv::convexHull(inter, hull);
	return (float)cv::contourArea(hull) / truth.size.area();
}
