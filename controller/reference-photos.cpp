#include "reference-photos.h"

#include <sys/stat.h>

#include <algorithm>

namespace qmc {

reference_photos::reference_photos(load_fn load, note_fn note,
				   size_t max_photos, size_t loads_per_refresh)
	: load_(std::move(load)),
	  note_(std::move(note)),
	  max_photos_(max_photos),
	  loads_per_refresh_(std::max<size_t>(loads_per_refresh, 1))
{
}

void reference_photos::tell_once(const std::string &key,
				 const std::string &text)
{
	if (told_.insert(key).second && note_)
		note_(text);
}

// The regular files among paths (each once, the first MAX_NAMED_PHOTOS
// looked at), newest first, at most max_photos_ of them.
std::vector<reference_photos::candidate>
reference_photos::newest(const std::vector<std::string> &paths)
{
	std::vector<candidate> found;
	std::set<std::string> seen;
	for (const std::string &p : paths) {
		if (seen.size() == MAX_NAMED_PHOTOS) {
			tell_once("named:" + std::to_string(paths.size()),
				  "only the first " +
					  std::to_string(MAX_NAMED_PHOTOS) +
					  " reference photos named are looked "
					  "at");
			break;
		}
		if (!seen.insert(p).second)
			continue;
		struct stat st;
		if (stat(p.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
			tell_once("unreadable:" + p,
				  "reference photo " + p +
					  ": not a readable file");
			continue;
		}
		// Readable again: a later loss is worth telling again.
		told_.erase("unreadable:" + p);
		version v{(long long)st.st_size,
			  (long long)st.st_mtim.tv_sec * 1000000000ll +
				  st.st_mtim.tv_nsec};
		found.push_back({p, v});
	}
	// Newest first; of equal times, the one named first.
	std::stable_sort(found.begin(), found.end(),
			 [](const candidate &a, const candidate &b) {
				 return a.v.mtime_ns > b.v.mtime_ns;
			 });
	if (found.size() > max_photos_) {
		size_t left = found.size() - max_photos_;
		tell_once("left-out:" + std::to_string(left),
			  std::to_string(left) +
				  " older reference photos are left out: the "
				  "newest " +
				  std::to_string(max_photos_) + " are used");
		found.resize(max_photos_);
	}
	return found;
}

bool reference_photos::refresh(const std::vector<std::string> &paths)
{
	std::vector<candidate> chosen = newest(paths);
	std::map<std::string, photo> kept;
	size_t loads = 0;
	waiting_ = 0;
	for (const candidate &c : chosen) {
		auto it = loaded_.find(c.path);
		if (it != loaded_.end() && it->second.v == c.v) {
			kept.emplace(c.path, std::move(it->second));
			continue;
		}
		if (loads == loads_per_refresh_) {
			waiting_++;
			continue;
		}
		loads++;
		qm_reference_set set = load_(c.path);
		std::string stamp = ":" + std::to_string(c.v.size) + ":" +
				    std::to_string(c.v.mtime_ns) + ":";
		for (const std::string &problem : set.problems)
			tell_once("problem:" + stamp + problem,
				  "reference photo " + problem);
		kept.emplace(c.path, photo{c.v, std::move(set.faces)});
	}
	loaded_ = std::move(kept);

	std::vector<std::pair<std::string, version>> used;
	std::vector<qm_reference_face> faces;
	for (const candidate &c : chosen) {
		auto it = loaded_.find(c.path);
		if (it == loaded_.end())
			continue;
		used.emplace_back(c.path, c.v);
		faces.insert(faces.end(), it->second.faces.begin(),
			     it->second.faces.end());
	}
	if (used == used_)
		return false;
	used_ = std::move(used);
	faces_ = std::move(faces);
	return true;
}

} // namespace qmc
