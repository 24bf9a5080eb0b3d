#include "link.h"
#include "peer.h"

#include <util/platform.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <utility>

bool qm_endpoint_from_values(long long port, const char *token,
			     qm_endpoint *endpoint)
{
	auto low_port = static_cast<int32_t>(static_cast<uint32_t>(port));
	if (low_port < 1 || low_port > 65535)
		return false;

	memset(endpoint->token, 0, sizeof(endpoint->token));
	if (token)
		strncpy(endpoint->token, token, QM_TOKEN_SIZE);
	if (strlen(endpoint->token) != QM_TOKEN_SIZE)
		return false;
	endpoint->port = static_cast<uint16_t>(low_port);
	return true;
}

bool qm_read_endpoint(const char *path, qm_endpoint *endpoint)
{
	obs_data_t *data = qm_load_json_file(path);
	if (!data)
		return false;
	bool valid = qm_endpoint_from_values(obs_data_get_int(data, "port"),
					     obs_data_get_string(data, "token"),
					     endpoint);
	obs_data_release(data);
	return valid;
}

static void put_u32_be(uint8_t *out, uint32_t value)
{
	out[0] = uint8_t(value >> 24);
	out[1] = uint8_t(value >> 16);
	out[2] = uint8_t(value >> 8);
	out[3] = uint8_t(value);
}

static uint32_t get_u32_be(const uint8_t *in)
{
	return uint32_t(in[0]) << 24 | uint32_t(in[1]) << 16 |
	       uint32_t(in[2]) << 8 | uint32_t(in[3]);
}

void qm_encode_header(uint8_t header[QM_HEADER_SIZE], uint32_t width,
		      uint32_t height)
{
	put_u32_be(header, width);
	put_u32_be(header + 4, height);
}

void qm_decode_header(const uint8_t header[QM_HEADER_SIZE], uint32_t *width,
		      uint32_t *height)
{
	*width = get_u32_be(header);
	*height = get_u32_be(header + 4);
}

bool qm_endpoint_path(const char *name, char *path, size_t size)
{
	char dir[1024];
	if (!qm_config_dir(dir, sizeof(dir)))
		return false;
#ifdef _WIN32
	int n = snprintf(path, size, "%s\\%s.endpoint", dir, name);
#else
	int n = snprintf(path, size, "%s/%s.endpoint", dir, name);
#endif
	return n >= 0 && static_cast<size_t>(n) < size;
}

qm_socket qm_connect(const char *name, bool for_sending, bool *stranger_told)
{
	char path[1200];
	qm_endpoint endpoint;
	if (!qm_endpoint_path(name, path, sizeof(path)) ||
	    !qm_read_endpoint(path, &endpoint))
		return {};

	qm_socket s = qm_connect_loopback(endpoint.port, for_sending,
					  QM_SOCKET_TIMEOUT_MS);
	if (!s.valid())
		return {};
	// Not a byte, the token least of all, to someone else's listener.
	qm_peer peer = qm_peer_of(s);
	if (peer == qm_peer::other && !*stranger_told) {
		blog(LOG_WARNING,
		     "Quilmar: the listener of %s.endpoint does not belong to "
		     "this user; not connecting",
		     name);
		*stranger_told = true;
	}
	if (peer != qm_peer::trusted)
		return {};
	if (qm_send_some(s, endpoint.token, QM_TOKEN_SIZE) !=
	    long(QM_TOKEN_SIZE))
		return {};
	*stranger_told = false;
	return s;
}

bool qm_send_all(const qm_socket &s, const uint8_t *data, size_t len)
{
	while (len > 0) {
		long n = qm_send_some(s, data, std::min(len, QM_TRANSFER_UNIT));
		if (n <= 0)
			return false;
		data += n;
		len -= size_t(n);
	}
	return true;
}

bool qm_recv_all(const qm_socket &s, uint8_t *data, size_t len)
{
	while (len > 0) {
		long n = qm_recv_some(s, data, std::min(len, QM_TRANSFER_UNIT));
		if (n <= 0)
			return false;
		data += n;
		len -= size_t(n);
	}
	return true;
}

static bool stopping(const direct_filter_data *filter)
{
	return filter->stop.load();
}

// Waits until a capture other than last_sent is the latest, or until stop
// is set. The latest capture becomes input_sending, unless it is there
// already; returns its number, or 0 on stop.
static uint64_t take_latest_input(direct_filter_data *filter,
				  uint64_t last_sent)
{
	std::unique_lock<std::mutex> guard(filter->lock);
	filter->input_wake.wait(guard, [&] {
		return stopping(filter) || filter->input_seq != last_sent;
	});
	if (stopping(filter))
		return 0;
	if (filter->ready_seq > filter->sending_seq) {
		std::swap(filter->input_ready, filter->input_sending);
		std::swap(filter->ready_seq, filter->sending_seq);
	}
	return filter->sending_seq;
}

void qm_stream_input(direct_filter_data *filter, const qm_socket &s)
{
	uint8_t header[QM_HEADER_SIZE];
	qm_encode_header(header, FRAME_WIDTH, FRAME_HEIGHT);
	uint64_t last_sent = 0;

	while (!stopping(filter)) {
		uint64_t seq = take_latest_input(filter, last_sent);
		if (seq == 0)
			return;
		// Only this worker trades input_sending away, and nobody
		// writes into it, so it is read here without the lock.
		if (!qm_send_all(s, header, sizeof(header)) ||
		    !qm_send_all(s, filter->input_sending.get(), FRAME_SIZE))
			return;
		last_sent = seq;
	}
}

void send_input(direct_filter_data *filter) noexcept
{
	bool stranger_told = false;
	while (!stopping(filter)) {
		qm_socket s = qm_connect("filter-input", true, &stranger_told);
		if (s.valid())
			qm_stream_input(filter, s);
		s.reset();
		if (stopping(filter))
			break;
		qm_pause(filter, 250);
	}
}

// The whole frame in scratch becomes output_frame, and the old output
// buffer becomes the next scratch: the lock is held for a swap, not for a
// frame-sized copy that render would wait on.
static void store_output(direct_filter_data *filter, frame_buffer &scratch)
{
	std::lock_guard<std::mutex> guard(filter->lock);
	std::swap(filter->output_frame, scratch);
	filter->output_seq++;
	filter->has_output = true;
	filter->output_time = os_gettime_ns();
}

void qm_receive_output(direct_filter_data *filter, const qm_socket &s,
		       frame_buffer &scratch)
{
	uint8_t header[QM_HEADER_SIZE];
	while (!stopping(filter)) {
		if (!qm_recv_all(s, header, sizeof(header)))
			return;
		uint32_t width = 0, height = 0;
		qm_decode_header(header, &width, &height);
		if (width != FRAME_WIDTH || height != FRAME_HEIGHT)
			return;
		if (!qm_recv_all(s, scratch.get(), FRAME_SIZE))
			return;
		store_output(filter, scratch);
	}
}

void reader(direct_filter_data *filter) noexcept
{
	bool stranger_told = false;
	while (!stopping(filter)) {
		qm_socket s =
			qm_connect("direct-output", false, &stranger_told);
		if (s.valid())
			qm_receive_output(filter, s, filter->output_spare);
		s.reset();
		{
			// Without a connection, nothing processed is shown.
			std::lock_guard<std::mutex> guard(filter->lock);
			filter->has_output = false;
		}
		if (stopping(filter))
			break;
		qm_pause(filter, 250);
	}
}
