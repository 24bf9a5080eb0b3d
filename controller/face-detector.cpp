#include "face-detector.h"

#include <algorithm>
#include <cmath>

#include <opencv2/imgproc.hpp>

#include "onnx-model.h"

namespace {

constexpr int INPUT_SIZE = 256;
constexpr float MERGE_IOU = 0.3f;
// A face whose box comes closer than this share of its size to an inner
// edge of a tile is taken as cut by that edge.
constexpr float EDGE_MARGIN = 0.05f;
// Tiles look for the small faces that the whole-frame pass misses: a
// large face in a tile is a piece of a face that pass sees whole.
constexpr float MAX_TILE_FACE = 0.4f;
// The whole-frame pass is for the faces tiles cannot hold. A face it
// finds fewer than this many input pixels tall is near the least it can
// see, and two such faces one above the other can look to it like one
// between them; a tile that holds the face whole sees it in more detail,
// and says whether and where it is.
constexpr float MIN_WHOLE_FACE_PX = 16;

// The model's two output layers: 16x16 cells with 2 anchors each and
// 8x8 cells with 6, every anchor a unit box at its cell's centre.
struct anchor_layer {
	const char *scores;
	const char *boxes;
	int cells;
	int anchors;
};
constexpr anchor_layer LAYERS[] = {{"Identity:0", "Identity_2:0", 16, 2},
				   {"Identity_1:0", "Identity_3:0", 8, 6}};

float sigmoid(float x)
{
	return 1.0f / (1.0f + std::exp(-std::clamp(x, -80.0f, 80.0f)));
}

float iou(const cv::Rect2f &a, const cv::Rect2f &b)
{
	float inner = (a & b).area();
	float total = a.area() + b.area() - inner;
	return total > 0 ? inner / total : 0;
}

// The region scaled into the top-left corner of a black square input, as
// an NHWC blob of RGB values in [-1, 1].
cv::Mat make_input(const cv::Mat &frame, const cv::Rect &region, float scale)
{
	cv::Mat rgb;
	int code = frame.channels() == 4 ? cv::COLOR_BGRA2RGB
					 : cv::COLOR_BGR2RGB;
	cv::cvtColor(frame(region), rgb, code);
	cv::Size scaled(
		std::max(1, (int)std::lround((float)region.width * scale)),
		std::max(1, (int)std::lround((float)region.height * scale)));
	scaled.width = std::min(scaled.width, INPUT_SIZE);
	scaled.height = std::min(scaled.height, INPUT_SIZE);
	cv::Mat canvas(INPUT_SIZE, INPUT_SIZE, CV_8UC3, cv::Scalar::all(0));
	cv::resize(rgb, canvas(cv::Rect({0, 0}, scaled)), scaled, 0, 0,
		   scale < 1 ? cv::INTER_AREA : cv::INTER_LINEAR);
	const int sizes[] = {1, INPUT_SIZE, INPUT_SIZE, 3};
	cv::Mat blob(4, sizes, CV_32F);
	canvas.convertTo(cv::Mat(INPUT_SIZE, INPUT_SIZE, CV_32FC3, blob.data),
			 CV_32F, 2.0 / 255.0, -1.0);
	return blob;
}

bool cut_by_inner_edge(const qm_face &face, const cv::Rect &region,
		       cv::Size frame)
{
	float mx = face.box.width * EDGE_MARGIN;
	float my = face.box.height * EDGE_MARGIN;
	cv::Rect2f r(region);
	if (r.x > 0 && face.box.x < r.x + mx)
		return true;
	if (r.y > 0 && face.box.y < r.y + my)
		return true;
	if (region.br().x < frame.width && face.box.br().x > r.br().x - mx)
		return true;
	return region.br().y < frame.height && face.box.br().y > r.br().y - my;
}

// Whether a tile holds the face whole, not cut by its inner edges.
bool held_by_a_tile(const qm_face &face, const std::vector<cv::Rect> &tiles,
		    cv::Size frame)
{
	for (const cv::Rect &tile : tiles)
		if ((cv::Rect2f(tile) & face.box) == face.box &&
		    !cut_by_inner_edge(face, tile, frame))
			return true;
	return false;
}

} // namespace

bool qm_load_face_detector(qm_face_detector &detector, const std::string &path,
			   std::string &error)
{
	return qm_load_onnx(detector.net, path, "face detection", error);
}

std::vector<qm_face> qm_detect_faces_in(qm_face_detector &detector,
					const cv::Mat &frame,
					const cv::Rect &region, float min_score)
{
	std::vector<qm_face> faces;
	cv::Rect r = region & cv::Rect({0, 0}, frame.size());
	if (r.empty())
		return faces;
	float side = (float)std::max(r.width, r.height);
	float scale = INPUT_SIZE / side;
	detector.net.setInput(make_input(frame, r, scale));
	std::vector<cv::Mat> outs;
	std::vector<cv::String> names;
	for (const anchor_layer &layer : LAYERS) {
		names.push_back(layer.scores);
		names.push_back(layer.boxes);
	}
	detector.net.forward(outs, names);

	// Input pixels to frame pixels.
	auto to_frame = [&](float ax, float ay, float dx, float dy) {
		return cv::Point2f((float)r.x + (ax * INPUT_SIZE + dx) / scale,
				   (float)r.y + (ay * INPUT_SIZE + dy) / scale);
	};
	for (size_t l = 0; l < std::size(LAYERS); l++) {
		const anchor_layer &layer = LAYERS[l];
		const float *scores = outs[2 * l].ptr<float>();
		const float *boxes = outs[2 * l + 1].ptr<float>();
		int count = layer.cells * layer.cells * layer.anchors;
		for (int i = 0; i < count; i++) {
			float score = sigmoid(scores[i]);
			if (score < min_score)
				continue;
			int cell = i / layer.anchors;
			float ax = (float)(cell % layer.cells + 0.5) /
				   (float)layer.cells;
			float ay = (float)(cell / layer.cells + 0.5) /
				   (float)layer.cells;
			const float *b = boxes + 16 * i;
			qm_face face;
			face.score = score;
			cv::Point2f centre = to_frame(ax, ay, b[0], b[1]);
			cv::Size2f size(b[2] / scale, b[3] / scale);
			face.box = cv::Rect2f(centre.x - size.width / 2,
					      centre.y - size.height / 2,
					      size.width, size.height);
			for (int k = 0; k < QM_KEYPOINT_COUNT; k++)
				face.keypoints[k] = to_frame(
					ax, ay, b[4 + 2 * k], b[5 + 2 * k]);
			if (size.width > 0 && size.height > 0 &&
			    !cut_by_inner_edge(face, r, frame.size()))
				faces.push_back(face);
		}
	}
	return faces;
}

std::vector<qm_face> qm_merge_faces(std::vector<qm_face> faces)
{
	std::sort(faces.begin(), faces.end(),
		  [](const qm_face &a, const qm_face &b) {
			  return a.score > b.score;
		  });
	std::vector<qm_face> merged;
	std::vector<bool> used(faces.size(), false);
	for (size_t i = 0; i < faces.size(); i++) {
		if (used[i])
			continue;
		// The score-weighted mean of the group steadies the box from
		// one frame to the next; the group keeps its best score.
		qm_face sum = {};
		float weight = 0;
		cv::Point2f tl, br;
		for (size_t j = i; j < faces.size(); j++) {
			if (used[j] ||
			    iou(faces[i].box, faces[j].box) <= MERGE_IOU)
				continue;
			used[j] = true;
			float w = faces[j].score;
			weight += w;
			tl += w * faces[j].box.tl();
			br += w * faces[j].box.br();
			for (int k = 0; k < QM_KEYPOINT_COUNT; k++)
				sum.keypoints[k] += w * faces[j].keypoints[k];
		}
		sum.box = cv::Rect2f(tl / weight, br / weight);
		for (cv::Point2f &p : sum.keypoints)
			p /= weight;
		sum.score = faces[i].score;
		merged.push_back(sum);
	}
	return merged;
}

std::vector<cv::Rect> qm_face_tiles(cv::Size frame,
				    const qm_face_options &options)
{
	std::vector<cv::Rect> tiles;
	int cols = options.tile_columns, rows = options.tile_rows;
	if (cols < 1 || rows < 1 || cols * rows < 2)
		return tiles;
	// n tiles of width w overlapping by overlap * w cover
	// w * (n - (n - 1) * overlap).
	auto tile_size = [&](int length, int n) {
		double span = n - (n - 1) * (double)options.overlap;
		return (int)std::ceil(length / span);
	};
	int w = tile_size(frame.width, cols), h = tile_size(frame.height, rows);
	// Enlarged tiles show nothing the whole-frame pass does not, and the
	// model sees faces in enlarged textures.
	if (std::max(w, h) < INPUT_SIZE)
		return tiles;
	for (int row = 0; row < rows; row++) {
		for (int col = 0; col < cols; col++) {
			int x = cols > 1 ? (frame.width - w) * col / (cols - 1)
					 : 0;
			int y = rows > 1 ? (frame.height - h) * row / (rows - 1)
					 : 0;
			tiles.emplace_back(x, y, w, h);
		}
	}
	return tiles;
}

std::vector<qm_face> qm_detect_faces_with(qm_face_detector &detector,
					  const cv::Mat &frame,
					  const std::vector<cv::Rect> &tiles,
					  float min_score)
{
	cv::Rect whole({0, 0}, frame.size());
	float whole_scale =
		INPUT_SIZE / (float)std::max(frame.cols, frame.rows);
	std::vector<qm_face> faces;
	for (const qm_face &f :
	     qm_detect_faces_in(detector, frame, whole, min_score))
		if (f.box.height * whole_scale >= MIN_WHOLE_FACE_PX ||
		    !held_by_a_tile(f, tiles, frame.size()))
			faces.push_back(f);
	for (const cv::Rect &tile : tiles) {
		float largest = MAX_TILE_FACE *
				(float)std::max(tile.width, tile.height);
		for (const qm_face &f :
		     qm_detect_faces_in(detector, frame, tile, min_score))
			if (f.box.height <= largest)
				faces.push_back(f);
	}
	return qm_merge_faces(std::move(faces));
}

std::vector<qm_face> qm_detect_faces(qm_face_detector &detector,
				     const cv::Mat &frame,
				     const qm_face_options &options)
{
	return qm_detect_faces_with(detector, frame,
				    qm_face_tiles(frame.size(), options),
				    options.min_score);
}
