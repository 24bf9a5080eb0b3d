// Where the detectors' model files are, and whether they are the files
// this build was made with: every model folder holds SHA256SUMS, and a
// model is loaded only when its SHA-256 matches.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qmc {

// The model files of the detectors.
constexpr const char *FACE_DETECTOR_MODEL = "face-detector.onnx";
constexpr const char *FACE_DESCRIPTOR_MODEL = "face-descriptor.onnx";
constexpr const char *TEXT_DETECTOR_MODEL = "text-detector.onnx";
constexpr const char *MODEL_SUMS = "SHA256SUMS";

// Where the Debian package puts the models, for every user.
constexpr const char *SYSTEM_MODEL_DIR = "/usr/share/quilmar-direct/models";

// The SHA-256 of some bytes, and of a file's contents (empty when it
// cannot be read), as 64 lowercase hexadecimal digits.
std::string sha256_hex(const void *data, size_t size);
std::string sha256_file(const std::string &path);

// The folders looked in, in order: `chosen` alone when given; otherwise
// "models" beside the program, then the user's installed folder
// ($XDG_DATA_HOME, or ~/.local/share, /quilmar-direct/models), then the
// package's SYSTEM_MODEL_DIR.
std::vector<std::string> model_dirs(const std::string &chosen,
				    const std::string &program_dir);

// The first of the folders that holds SHA256SUMS; empty when none does.
std::string find_model_dir(const std::vector<std::string> &dirs);

// The model's path in dir when its SHA-256 is the one SHA256SUMS there
// gives for it; empty with the reason in *why otherwise.
std::string checked_model(const std::string &dir, const std::string &name,
			  std::string *why);

// The folder holding the running program.
std::string program_dir();

} // namespace qmc
