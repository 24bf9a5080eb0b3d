#include "models.h"

#include "settings.h"

#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sstream>

namespace qmc {

namespace {

// A model file is far smaller; a larger one is not ours.
constexpr long long MAX_MODEL_BYTES = 1ll << 30;
constexpr size_t MAX_SUMS_BYTES = 1 << 16;

constexpr std::array<uint32_t, 64> K = {
	0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1,
	0x923f82a4, 0xab1c5ed5, 0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3,
	0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174, 0xe49b69c1, 0xefbe4786,
	0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
	0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147,
	0x06ca6351, 0x14292967, 0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13,
	0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85, 0xa2bfe8a1, 0xa81a664b,
	0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
	0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a,
	0x5b9cca4f, 0x682e6ff3, 0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208,
	0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

uint32_t rotr(uint32_t x, int n)
{
	return (x >> n) | (x << (32 - n));
}

// SHA-256 over data fed in pieces (FIPS 180-4).
class sha256 {
public:
	void add(const uint8_t *p, size_t n)
	{
		length_ += n;
		while (n) {
			size_t take = std::min(n, size_t(64) - used_);
			memcpy(block_ + used_, p, take);
			used_ += take;
			p += take;
			n -= take;
			if (used_ == 64) {
				compress();
				used_ = 0;
			}
		}
	}

	std::string hex()
	{
		uint64_t bits = length_ * 8;
		uint8_t pad = 0x80;
		add(&pad, 1);
		uint8_t zero = 0;
		while (used_ != 56)
			add(&zero, 1);
		uint8_t len[8];
		for (int i = 0; i < 8; i++)
			len[i] = uint8_t(bits >> (56 - 8 * i));
		add(len, 8);
		std::string out;
		char buf[9];
		for (uint32_t v : h_) {
			snprintf(buf, sizeof(buf), "%08x", v);
			out += buf;
		}
		return out;
	}

private:
	uint32_t h_[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
			  0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
	uint8_t block_[64] = {};
	size_t used_ = 0;
	uint64_t length_ = 0;

	void compress()
	{
		uint32_t w[64];
		for (int i = 0; i < 16; i++)
			w[i] = uint32_t(block_[4 * i]) << 24 |
			       uint32_t(block_[4 * i + 1]) << 16 |
			       uint32_t(block_[4 * i + 2]) << 8 |
			       uint32_t(block_[4 * i + 3]);
		for (int i = 16; i < 64; i++) {
			uint32_t s0 = rotr(w[i - 15], 7) ^ rotr(w[i - 15], 18) ^
				      (w[i - 15] >> 3);
			uint32_t s1 = rotr(w[i - 2], 17) ^ rotr(w[i - 2], 19) ^
				      (w[i - 2] >> 10);
			w[i] = w[i - 16] + s0 + w[i - 7] + s1;
		}
		uint32_t v[8];
		memcpy(v, h_, sizeof(v));
		for (int i = 0; i < 64; i++) {
			uint32_t s1 = rotr(v[4], 6) ^ rotr(v[4], 11) ^
				      rotr(v[4], 25);
			uint32_t ch = (v[4] & v[5]) ^ (~v[4] & v[6]);
			uint32_t t1 = v[7] + s1 + ch + K[size_t(i)] + w[i];
			uint32_t s0 = rotr(v[0], 2) ^ rotr(v[0], 13) ^
				      rotr(v[0], 22);
			uint32_t maj = (v[0] & v[1]) ^ (v[0] & v[2]) ^
				       (v[1] & v[2]);
			uint32_t t2 = s0 + maj;
			memmove(v + 1, v, 7 * sizeof(uint32_t));
			v[4] += t1;
			v[0] = t1 + t2;
		}
		for (int i = 0; i < 8; i++)
			h_[i] += v[i];
	}
};

bool is_file(const std::string &path)
{
	return access(path.c_str(), R_OK) == 0;
}

} // namespace

std::string sha256_hex(const void *data, size_t size)
{
	sha256 h;
	h.add(static_cast<const uint8_t *>(data), size);
	return h.hex();
}

std::string sha256_file(const std::string &path)
{
	std::unique_ptr<FILE, int (*)(FILE *)> f(fopen(path.c_str(), "rb"),
						 fclose);
	if (!f)
		return {};
	sha256 h;
	std::vector<uint8_t> buf(1 << 16);
	long long total = 0;
	size_t n;
	while ((n = fread(buf.data(), 1, buf.size(), f.get())) > 0) {
		total += (long long)n;
		if (total > MAX_MODEL_BYTES)
			return {};
		h.add(buf.data(), n);
	}
	if (ferror(f.get()))
		return {};
	return h.hex();
}

std::vector<std::string> model_dirs(const std::string &chosen,
				    const std::string &program_dir)
{
	if (!chosen.empty())
		return {chosen};
	std::vector<std::string> dirs;
	if (!program_dir.empty())
		dirs.push_back(program_dir + "/models");
	const char *data = getenv("XDG_DATA_HOME");
	const char *home = getenv("HOME");
	if (data && data[0] == '/')
		dirs.push_back(std::string(data) + "/quilmar-direct/models");
	else if (home && home[0])
		dirs.push_back(std::string(home) +
			       "/.local/share/quilmar-direct/models");
	dirs.push_back(SYSTEM_MODEL_DIR);
	return dirs;
}

std::string find_model_dir(const std::vector<std::string> &dirs)
{
	for (const std::string &d : dirs)
		if (is_file(d + "/" + MODEL_SUMS))
			return d;
	return {};
}

std::string checked_model(const std::string &dir, const std::string &name,
			  std::string *why)
{
	if (dir.empty()) {
		*why = "no model folder with " + std::string(MODEL_SUMS) +
		       " (run scripts/fetch-models, or give --model-dir)";
		return {};
	}
	std::string sums, problem;
	if (read_small_file(dir + "/" + MODEL_SUMS, MAX_SUMS_BYTES, &sums,
			    &problem) != file_read::ok) {
		*why = "cannot read " + dir + "/" + MODEL_SUMS;
		return {};
	}
	std::string expected;
	std::istringstream lines(sums);
	std::string line;
	while (std::getline(lines, line)) {
		std::istringstream fields(line);
		std::string sum, file;
		fields >> sum >> file;
		if (!file.empty() && file[0] == '*')
			file.erase(0, 1);
		if (file == name)
			expected = sum;
	}
	std::string path = dir + "/" + name;
	if (expected.empty()) {
		*why = name + " is not listed in " + dir + "/" + MODEL_SUMS;
		return {};
	}
	std::string actual = sha256_file(path);
	if (actual.empty()) {
		*why = "cannot read the model " + path;
		return {};
	}
	if (actual != expected) {
		*why = "the model " + path +
		       " has a wrong checksum (fetch it again with "
		       "scripts/fetch-models)";
		return {};
	}
	return path;
}

std::string program_dir()
{
	std::vector<char> buf(4096);
	ssize_t n = readlink("/proc/self/exe", buf.data(), buf.size() - 1);
	if (n <= 0)
		return {};
	std::string path(buf.data(), size_t(n));
	size_t slash = path.rfind('/');
	return slash == std::string::npos ? std::string()
					  : path.substr(0, slash);
}

} // namespace qmc
