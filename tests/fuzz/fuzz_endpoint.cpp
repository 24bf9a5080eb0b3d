// Fuzzes the endpoint file as every connection attempt reads it: the input
// is the file's content, parsed and validated by qm_read_endpoint.
#include "fuzz_common.h"
#include "link.h"

#include <obs-data.h>

#include <cstring>
#include <stdlib.h>

static std::string endpoint_path;

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
	qm_fuzz::silence_libobs_log();
	endpoint_path =
		qm_fuzz::make_temp_dir("endpoint") + "/direct-output.endpoint";
	return 0;
}

// What an accepted endpoint must hold, checked against the file's own
// values as the host's JSON reader sees them.
static void check_accepted(const qm_endpoint &endpoint)
{
	qm_fuzz::check(endpoint.port >= 1, "accepted port 0");
	qm_fuzz::check(endpoint.token[QM_TOKEN_SIZE] == '\0',
		       "token not terminated");
	qm_fuzz::check(strlen(endpoint.token) == QM_TOKEN_SIZE,
		       "accepted token is not exactly 64 non-zero bytes");

	obs_data_t *data =
		obs_data_create_from_json_file(endpoint_path.c_str());
	qm_fuzz::check(data != nullptr, "accepted a file that does not load");
	long long port = obs_data_get_int(data, "port");
	const char *token = obs_data_get_string(data, "token");
	qm_fuzz::check(static_cast<uint32_t>(port) == endpoint.port,
		       "port is not the low 32 bits of the stored value");
	qm_fuzz::check(token && strlen(token) >= QM_TOKEN_SIZE &&
			       memcmp(token, endpoint.token, QM_TOKEN_SIZE) ==
				       0,
		       "token is not the first 64 bytes of the stored one");
	obs_data_release(data);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	qm_fuzz::write_file(endpoint_path, data, size);

	qm_endpoint endpoint;
	// Garbage beforehand, so that an accepted read must have filled in
	// the whole record itself.
	memset(endpoint.token, 'x', sizeof(endpoint.token));
	endpoint.token[QM_TOKEN_SIZE] = '\0';
	endpoint.port = 0;
	if (qm_read_endpoint(endpoint_path.c_str(), &endpoint))
		check_accepted(endpoint);
	return 0;
}
