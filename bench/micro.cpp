#include "micro.h"

#include "common.h"
#include "link.h"

#include <benchmark/benchmark.h>

#include <cstring>

namespace bench {

namespace {

void header_encode(benchmark::State &state)
{
	uint8_t header[QM_HEADER_SIZE];
	for (auto _ : state) {
		qm_encode_header(header, FRAME_WIDTH, FRAME_HEIGHT);
		benchmark::DoNotOptimize(header);
	}
}
BENCHMARK(header_encode);

void header_decode(benchmark::State &state)
{
	uint8_t header[QM_HEADER_SIZE];
	qm_encode_header(header, FRAME_WIDTH, FRAME_HEIGHT);
	uint32_t width = 0, height = 0;
	for (auto _ : state) {
		benchmark::DoNotOptimize(header);
		qm_decode_header(header, &width, &height);
		benchmark::DoNotOptimize(width);
		benchmark::DoNotOptimize(height);
	}
}
BENCHMARK(header_decode);

void frame_is_fresh(benchmark::State &state)
{
	uint64_t now = 1000000000, stamp = 700000000;
	for (auto _ : state) {
		benchmark::DoNotOptimize(now);
		benchmark::DoNotOptimize(stamp);
		benchmark::DoNotOptimize(qm_frame_is_fresh(true, now, stamp));
		now++;
	}
}
BENCHMARK(frame_is_fresh);

// What render does with a mapped staging surface: 720 rows of 5120 bytes
// from a surface of the given row pitch.
void capture_row_copy(benchmark::State &state)
{
	size_t pitch = size_t(state.range(0));
	std::vector<uint8_t> mapped(pitch * FRAME_HEIGHT, 17);
	frame_buffer frame = qm_alloc_frame();
	for (auto _ : state) {
		for (size_t row = 0; row < FRAME_HEIGHT; row++)
			memcpy(frame.get() + row * FRAME_LINESIZE,
			       mapped.data() + row * pitch, FRAME_LINESIZE);
		benchmark::ClobberMemory();
	}
	state.SetBytesProcessed(int64_t(state.iterations()) *
				int64_t(FRAME_SIZE));
}
BENCHMARK(capture_row_copy)->Arg(5120)->Arg(5184)->Unit(benchmark::kMicrosecond);

// One frame-sized copy: what each worker once made per frame under the
// instance lock, and what a reference capture still makes there.
void frame_copy(benchmark::State &state)
{
	frame_buffer from = qm_alloc_frame(), to = qm_alloc_frame();
	memset(from.get(), 3, FRAME_SIZE);
	memset(to.get(), 0, FRAME_SIZE);
	for (auto _ : state) {
		memcpy(to.get(), from.get(), FRAME_SIZE);
		benchmark::ClobberMemory();
	}
	state.SetBytesProcessed(int64_t(state.iterations()) *
				int64_t(FRAME_SIZE));
}
BENCHMARK(frame_copy)->Unit(benchmark::kMicrosecond);

// Taking and releasing the instance lock with nobody else wanting it, as
// render does twice per frame.
void uncontended_lock(benchmark::State &state)
{
	std::mutex lock;
	for (auto _ : state) {
		std::lock_guard<std::mutex> guard(lock);
		benchmark::ClobberMemory();
	}
}
BENCHMARK(uncontended_lock);

struct collector : benchmark::BenchmarkReporter {
	std::vector<micro_result> results;
	bool ReportContext(const Context &) override { return true; }
	void ReportRuns(const std::vector<Run> &runs) override
	{
		for (const Run &run : runs) {
			if (run.error_occurred)
				continue;
			double per_s =
				benchmark::GetTimeUnitMultiplier(run.time_unit);
			results.push_back(
				{run.benchmark_name(),
				 run.GetAdjustedRealTime() / per_s * 1e9,
				 int64_t(run.iterations)});
		}
	}
};

} // namespace

std::vector<micro_result> run_micro(std::vector<std::string> args)
{
	std::vector<char *> argv;
	static char program[] = "quilmar-bench";
	argv.push_back(program);
	for (auto &a : args)
		argv.push_back(a.data());
	int argc = int(argv.size());
	argv.push_back(nullptr);
	benchmark::Initialize(&argc, argv.data());
	collector reporter;
	benchmark::RunSpecifiedBenchmarks(&reporter);
	return reporter.results;
}

} // namespace bench
