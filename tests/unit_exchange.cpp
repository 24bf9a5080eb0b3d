#include "bytes.h"
#include "exchange.h"
#include "scratch_dir.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string temp_dir()
{
	std::string dir = qm_test::scratch_dir("qm-unit");
	EXPECT_FALSE(dir.empty());
	return dir.empty() ? "/tmp" : dir;
}

std::vector<uint8_t> pattern_frame()
{
	std::vector<uint8_t> frame(FRAME_SIZE);
	for (size_t i = 0; i < frame.size(); i++)
		frame[i] = uint8_t(i * 7 + i / 5120);
	return frame;
}

} // namespace

TEST(TickTest, PollsWhenHalfASecondHasGatheredAndDropsTheRest)
{
	float accum = 0.0f;
	EXPECT_FALSE(qm_tick_due(&accum, 0.25f));
	EXPECT_FALSE(qm_tick_due(&accum, 0.2f));
	EXPECT_TRUE(qm_tick_due(&accum, 0.3f));
	EXPECT_EQ(accum, 0.0f);

	// A single long frame polls at once; its excess does not carry over.
	EXPECT_TRUE(qm_tick_due(&accum, 1.7f));
	EXPECT_EQ(accum, 0.0f);
	EXPECT_FALSE(qm_tick_due(&accum, 0.4f));
}

TEST(TickTest, SixtyFramesPerSecondPollsEveryThirtyFrames)
{
	float accum = 0.0f;
	int polls = 0, frames = 0, first = 0;
	for (; frames < 120; frames++) {
		if (qm_tick_due(&accum, 1.0f / 60.0f)) {
			if (!polls)
				first = frames + 1;
			polls++;
		}
	}
	// Single precision may need one more frame to reach the half second.
	EXPECT_GE(first, 30);
	EXPECT_LE(first, 31);
	EXPECT_GE(polls, 3);
	EXPECT_LE(polls, 4);
}

TEST(BmpTest, HeaderDescribesATopDown32BitFrame)
{
	uint8_t h[QM_BMP_HEADER_SIZE];
	memset(h, 0xAA, sizeof(h));
	qm_bmp_header(h);
	EXPECT_EQ(qm_bytes::bmp_header_mismatch(h), "");
}

TEST(BmpTest, WritesTheWholeFrameForItsOwnerOnly)
{
	std::string path = temp_dir() + "/face.bmp";
	std::vector<uint8_t> frame = pattern_frame();
	ASSERT_TRUE(qm_write_bmp(path.c_str(), frame.data()));

	std::vector<uint8_t> file = qm_bytes::read_bytes(path);
	ASSERT_EQ(file.size(), QM_BMP_FILE_SIZE);
	uint8_t header[QM_BMP_HEADER_SIZE];
	qm_bmp_header(header);
	EXPECT_TRUE(std::equal(header, header + 54, file.begin()));
	EXPECT_TRUE(std::equal(frame.begin(), frame.end(), file.begin() + 54));

	struct stat st;
	ASSERT_EQ(stat(path.c_str(), &st), 0);
	EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST(BmpTest, NeverReplacesAnExistingFileOrFollowsALink)
{
	std::string dir = temp_dir();
	std::string existing = dir + "/existing.bmp";
	std::ofstream(existing) << "keep me";
	std::vector<uint8_t> frame = pattern_frame();
	EXPECT_FALSE(qm_write_bmp(existing.c_str(), frame.data()));
	std::vector<uint8_t> kept = qm_bytes::read_bytes(existing);
	EXPECT_EQ(std::string(kept.begin(), kept.end()), "keep me");
	EXPECT_NE(access((existing + ".tmp").c_str(), F_OK), 0);

	// A dangling link planted under the name is not written through.
	std::string target = dir + "/target";
	std::string link = dir + "/link.bmp";
	ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
	EXPECT_FALSE(qm_write_bmp(link.c_str(), frame.data()));
	EXPECT_NE(access(target.c_str(), F_OK), 0);
}

TEST(BmpTest, AppearsOnlyWhenWholeAndNeverTakesAnotherFilesTemporaryName)
{
	std::string dir = temp_dir();
	std::string path = dir + "/face.bmp";
	std::vector<uint8_t> frame = pattern_frame();
	ASSERT_TRUE(qm_write_bmp(path.c_str(), frame.data()));
	EXPECT_NE(access((path + ".tmp").c_str(), F_OK), 0);

	// A file already standing under the temporary name is not ours to
	// write or remove.
	std::string other = dir + "/other.bmp";
	std::ofstream(other + ".tmp") << "someone else's";
	EXPECT_FALSE(qm_write_bmp(other.c_str(), frame.data()));
	EXPECT_NE(access(other.c_str(), F_OK), 0);
	std::vector<uint8_t> kept = qm_bytes::read_bytes(other + ".tmp");
	EXPECT_EQ(std::string(kept.begin(), kept.end()), "someone else's");
}

TEST(BmpTest, AFailedWriteLeavesNoFile)
{
	std::string path = temp_dir() + "/cut.bmp";
	std::vector<uint8_t> frame = pattern_frame();

	// A file size limit cuts the write short, as a full disk would.
	struct rlimit old_limit;
	ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old_limit), 0);
	auto old_handler = signal(SIGXFSZ, SIG_IGN);
	struct rlimit small = old_limit;
	small.rlim_cur = 100000;
	ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
	bool written = qm_write_bmp(path.c_str(), frame.data());
	setrlimit(RLIMIT_FSIZE, &old_limit);
	signal(SIGXFSZ, old_handler);

	EXPECT_FALSE(written);
	EXPECT_NE(access(path.c_str(), F_OK), 0);
	EXPECT_NE(access((path + ".tmp").c_str(), F_OK), 0);
}
