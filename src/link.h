// The controller link: endpoint files, the token handshake and the frame
// stream that both workers carry.
#pragma once

#include "common.h"

constexpr size_t QM_TOKEN_SIZE = 64;
constexpr size_t QM_HEADER_SIZE = 8;
// No single socket call moves more than this.
constexpr size_t QM_TRANSFER_UNIT = 1048576;
constexpr unsigned QM_SOCKET_TIMEOUT_MS = 1000;

struct qm_endpoint {
	uint16_t port = 0;
	char token[QM_TOKEN_SIZE + 1] = {};
};

// Validates the values read from an endpoint file: only the low 32 bits of
// the port count, and they must lie in 1..65535; the token is cut to 64
// bytes and must then be exactly 64 non-zero bytes.
bool qm_endpoint_from_values(long long port, const char *token,
			     qm_endpoint *endpoint);

// Reads and validates the endpoint file at path.
bool qm_read_endpoint(const char *path, qm_endpoint *endpoint);

void qm_encode_header(uint8_t header[QM_HEADER_SIZE], uint32_t width,
		      uint32_t height);
void qm_decode_header(const uint8_t header[QM_HEADER_SIZE], uint32_t *width,
		      uint32_t *height);

// The path of the endpoint file for name in the configuration folder,
// joined with a backslash on Windows. False when it cannot be decided or
// does not fit into size bytes.
bool qm_endpoint_path(const char *name, char *path, size_t size);

// A connection to the controller's endpoint name ("filter-input" or
// "direct-output") with the token already presented, or an empty socket.
// A listener that belongs to another user gets no byte and is logged
// once: when *stranger_told is false, which it then becomes until a
// connection succeeds.
qm_socket qm_connect(const char *name, bool for_sending, bool *stranger_told);

// Moves all len bytes in calls of at most QM_TRANSFER_UNIT; false when a
// call fails, times out or finds the connection closed.
bool qm_send_all(const qm_socket &s, const uint8_t *data, size_t len);
bool qm_recv_all(const qm_socket &s, uint8_t *data, size_t len);

// Streams every new capture on s until the connection fails or stop is
// set, waiting for render's word between them. The latest capture is
// sent each time; ones captured while a frame was on its way are skipped.
void qm_stream_input(direct_filter_data *filter, const qm_socket &s);

// Receives whole frames from s into output_frame until the connection
// fails, a header is not that of a 1280x720 frame, or stop is set. A
// partial frame never leaves scratch, the worker's own frame buffer, which
// trades places with output_frame for each whole frame.
void qm_receive_output(direct_filter_data *filter, const qm_socket &s,
		       frame_buffer &scratch);
