// The headless host beside the controller under test, as OBS would be on
// the same machine: libobs drawing 30 frames a second, the filter on a
// webcam-like source fed the demo's scene at 30 fps, and a stand-in
// controller on the filter's endpoints that writes back "fps" frames a
// second. The controller under test gets the labelled frames over a wire
// of its own; the machine then carries both loads.
#pragma once

#include <memory>
#include <string>

namespace quality {

class host_beside {
public:
	host_beside();
	~host_beside();
	host_beside(const host_beside &) = delete;
	host_beside &operator=(const host_beside &) = delete;

	// False with a reason when the host cannot start.
	bool start(int fps, std::string *error);
	void stop();

private:
	struct parts;
	std::unique_ptr<parts> p_;
};

} // namespace quality
