// The reference photos of the people to keep, as the faces runs use them.
// A photo costs a decode and a pass of both networks, and a bad one must
// not cost that on every run: each version of a file (path, size and
// modification time) is loaded once, whether it served or failed, and each
// problem is told once. Only the newest photos are used, and a run loads
// only a few of them, so that a long list cannot stall the runs.
#pragma once

#include "face-descriptor.h"

#include <cstddef>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace qmc {

constexpr size_t MAX_REFERENCE_PHOTOS = 32;
// Files looked at (a stat each run); a longer list is cut.
constexpr size_t MAX_NAMED_PHOTOS = 1024;

class reference_photos {
public:
	// One photo's faces and problems ("PATH: reason").
	using load_fn = std::function<qm_reference_set(const std::string &)>;
	using note_fn = std::function<void(const std::string &)>;

	reference_photos(load_fn load, note_fn note,
			 size_t max_photos = MAX_REFERENCE_PHOTOS,
			 size_t loads_per_refresh = 1);

	// Brings the faces up to date with the files named: drops those of
	// files gone, changed or no longer among the newest at once, and
	// loads at most loads_per_refresh photos not loaded yet. True when
	// the faces changed.
	bool refresh(const std::vector<std::string> &paths);
	// Whether photos wait to be loaded by a later refresh.
	bool loading() const { return waiting_ > 0; }
	const std::vector<qm_reference_face> &faces() const { return faces_; }

private:
	struct version {
		long long size = -1, mtime_ns = -1;
		bool operator==(const version &o) const
		{
			return size == o.size && mtime_ns == o.mtime_ns;
		}
	};
	struct candidate {
		std::string path;
		version v;
	};
	struct photo {
		version v;
		std::vector<qm_reference_face> faces;
	};

	load_fn load_;
	note_fn note_;
	size_t max_photos_, loads_per_refresh_;
	std::map<std::string, photo> loaded_;
	std::vector<qm_reference_face> faces_;
	// (path, version) of each photo whose faces are in faces_.
	std::vector<std::pair<std::string, version>> used_;
	std::set<std::string> told_;
	size_t waiting_ = 0;

	void tell_once(const std::string &key, const std::string &text);
	std::vector<candidate> newest(const std::vector<std::string> &paths);
};

} // namespace qmc
