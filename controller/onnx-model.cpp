#include "onnx-model.h"

bool qm_load_onnx(cv::dnn::Net &net, const std::string &path, const char *what,
		  std::string &error)
{
	std::string failed =
		std::string("cannot load ") + what + " model " + path;
	try {
		net = cv::dnn::readNetFromONNX(path);
		net.setPreferableBackend(cv::dnn::DNN_BACKEND_OPENCV);
		net.setPreferableTarget(cv::dnn::DNN_TARGET_CPU);
	} catch (const cv::Exception &e) {
		error = failed + ": " + e.what();
		return false;
	}
	if (net.empty()) {
		error = failed;
		return false;
	}
	return true;
}
