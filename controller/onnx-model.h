// Loading an ONNX model into OpenCV's DNN module, for every detector.
#pragma once

#include <string>

#include <opencv2/dnn.hpp>

// Loads path into net for OpenCV's own CPU back end; false with a reason
// naming the model (what: "face detection", ...) in error when it cannot.
bool qm_load_onnx(cv::dnn::Net &net, const std::string &path, const char *what,
		  std::string &error);
