// The filter tests' shared helpers (see filter_fixture.h).
#include "filter_fixture.h"

namespace qm_filter {

std::string describe(pattern_kind kind, size s)
{
	return std::string(pattern_id(kind)) + " " + std::to_string(s.width) +
	       "x" + std::to_string(s.height);
}

bool wait_for_captured_pattern(filtered_source &fs, std::string &mismatch,
			       uint32_t feed_width, uint32_t feed_height)
{
	obs_source_t *parent = fs.parent.get();
	int polls = 0;
	return wait_until([&] {
		if (feed_width && polls++ % 20 == 0)
			push_pattern_frame(parent, feed_width, feed_height);
		render_and_read(parent);
		uint64_t seq = 0;
		image input = copy_input_frame(fs.data(), &seq);
		mismatch = seq ? pattern_mismatch(input) : "nothing captured";
		return mismatch.empty();
	});
}

} // namespace qm_filter
