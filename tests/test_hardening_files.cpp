// Hardening, in the real host against the fake controller: the files the
// module writes are only ever seen whole, and its captures meet files
// planted in their way and a faces folder replaced by a link.
// Throughout, what the filter draws must never contain the source's own
// pixels, and every case ends with no thread, descriptor or libobs
// allocation left behind (the fixture is in hardening_support.h).
#include "hardening_support.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <iostream>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

using namespace hardening;

namespace {

using Files = hardening_test;

} // namespace

// ---------------------------------------------------------------------------
// Files

TEST_F(Files, SettingsFileIsOnlyEverReplacedWhole)
{
	make_filter();
	ASSERT_TRUE(wait_until([&] { return stdfs::exists(settings_path()); },
			       LONG));
	std::atomic<bool> done{false};
	std::atomic<int> reads{0}, missing{0}, invalid{0};
	std::mutex seen_mutex;
	std::set<long long> fps_seen;
	std::thread reader([&] {
		while (!done) {
			auto text = read_text(settings_path());
			reads++;
			if (!text) {
				missing++;
				continue;
			}
			// Parsed without the host, whose parser logs every
			// failure: a whole file is one object ending in '}'.
			size_t first = text->find_first_not_of(" \t\r\n");
			size_t last = text->find_last_not_of(" \t\r\n");
			bool whole = first != std::string::npos &&
				     (*text)[first] == '{' &&
				     (*text)[last] == '}';
			data_ptr d(
				whole ? obs_data_create_from_json(text->c_str())
				      : nullptr);
			if (!d) {
				invalid++;
				continue;
			}
			std::lock_guard<std::mutex> guard(seen_mutex);
			fps_seen.insert(obs_data_get_int(d.get(), "fps"));
		}
	});

	step = "many changes";
	// The host passes changes on once per video frame: a pause after
	// each lets most of them reach the file.
	const int changes = 150;
	for (int i = 0; i < changes; i++) {
		change_settings(fs.filter.get(), [&](obs_data_t *d) {
			obs_data_set_int(d, "fps", 5 + i % 50);
			obs_data_set_string(
				d, "note",
				std::string(size_t(i % 7) * 4000, 'n').c_str());
		});
		if (i % 30 == 0)
			show();
		std::this_thread::sleep_for(10ms);
	}
	ASSERT_TRUE(wait_until([&] {
		data_ptr d(obs_data_create_from_json(
			read_text(settings_path()).value_or("").c_str()));
		return d && obs_data_get_int(d.get(), "fps") ==
				    5 + (changes - 1) % 50;
	}));
	done = true;
	reader.join();
	std::cout << reads << " reads, " << fps_seen.size()
		  << " fps values seen\n";
	EXPECT_GT(reads, 100);
	EXPECT_EQ(missing, 0) << "the file was missing while rewritten";
	EXPECT_EQ(invalid, 0) << "a partly written file was seen";
	EXPECT_GT(fps_seen.size(), 2u);
	EXPECT_FALSE(stdfs::exists(settings_path() + ".tmp"));
}

TEST_F(Files, AnnouncedReferenceImagesAreWhole)
{
	make_filter();
	show();
	ASSERT_GT(input_seq(fs.data()), 0u);
	ASSERT_TRUE(wait_until([&] { return stdfs::exists(settings_path()); },
			       LONG));

	// The controller learns of an image from "references" in the
	// settings file; whenever a new one appears there, it must already
	// be whole. A scan of the folder for images never finds one being
	// written either: it is written under a temporary name.
	std::atomic<bool> done{false};
	std::atomic<int> partial_announced{0}, partial_in_folder{0};
	std::set<std::string> announced;
	std::mutex announced_mutex;
	std::thread watcher([&] {
		while (!done) {
			auto text = read_text(settings_path());
			for (auto &path :
			     references_of(text.value_or("{}")).values) {
				{
					std::lock_guard<std::mutex> g(
						announced_mutex);
					if (!announced.insert(path).second)
						continue;
				}
				struct stat st;
				if (lstat(path.c_str(), &st) != 0 ||
				    !S_ISREG(st.st_mode) ||
				    size_t(st.st_size) != BMP_SIZE)
					partial_announced++;
			}
			for (auto &name : names_in(faces_dir())) {
				if (name.size() < 4 ||
				    name.compare(name.size() - 4, 4, ".bmp") !=
					    0)
					continue;
				struct stat st;
				std::string p = faces_dir() + "/" + name;
				if (stat(p.c_str(), &st) == 0 &&
				    size_t(st.st_size) < BMP_SIZE)
					partial_in_folder++;
			}
		}
	});

	properties_ptr props(obs_source_properties(fs.filter.get()));
	obs_property_t *button = obs_properties_get(props.get(), "capture");
	const int presses = 4, requests = 4;
	for (int i = 0; i < presses; i++) {
		step = "button " + std::to_string(i);
		EXPECT_TRUE(
			obs_property_button_clicked(button, fs.filter.get()));
		show();
	}
	for (int i = 0; i < requests; i++) {
		step = "request " + std::to_string(i);
		size_t have = names_in(faces_dir()).size();
		// The file holds every reference so far before it is edited.
		ASSERT_TRUE(wait_until(
			[&] {
				return references_of(read_text(settings_path())
							     .value_or("{}"))
					       .values.size() ==
				       size_t(presses + i);
			},
			LONG));
		ASSERT_TRUE(controller_edits([&](obs_data_t *d) {
			obs_data_set_string(
				d, "capture_request",
				("capture-" + std::to_string(i)).c_str());
		}));
		ASSERT_TRUE(render_until([&](const image &) {
			return names_in(faces_dir()).size() > have;
		}));
	}
	ASSERT_TRUE(wait_until([&] {
		std::lock_guard<std::mutex> g(announced_mutex);
		return announced.size() >= size_t(presses + requests);
	}));
	done = true;
	watcher.join();
	EXPECT_EQ(partial_in_folder, 0)
		<< "a scan of the folder found an image being written";
	EXPECT_EQ(partial_announced, 0)
		<< "an image was named in the settings before it was whole";
	auto names = names_in(faces_dir());
	EXPECT_EQ(names.size(), size_t(presses + requests));
	for (auto &name : names) {
		struct stat st;
		std::string p = faces_dir() + "/" + name;
		ASSERT_EQ(lstat(p.c_str(), &st), 0);
		EXPECT_TRUE(S_ISREG(st.st_mode)) << name;
		EXPECT_EQ(st.st_mode & 07777, 0600u) << name;
		EXPECT_EQ(size_t(st.st_size), BMP_SIZE) << name;
	}
}

TEST_F(Files, CaptureNeverFollowsOrReplacesWhatIsPlantedAtItsName)
{
	make_filter();
	show();
	properties_ptr props(obs_source_properties(fs.filter.get()));
	obs_property_t *button = obs_properties_get(props.get(), "capture");
	std::error_code ec;
	stdfs::create_directories(faces_dir(), ec);
	std::string outside = config_home() + "/outside";
	stdfs::create_directories(outside, ec);
	ASSERT_TRUE(stdfs::is_directory(outside));
	update_counter updates(fs.filter.get());
	std::string before = settings_json(fs.filter.get());

	struct plant_case {
		const char *what;
		plant::kind kind;
		std::string target;
	};
	std::string kept_file = outside + "/kept.bmp";
	ASSERT_TRUE(write_text(kept_file, "keep me"));
	const plant_case cases[] = {
		{"a link to a file outside", plant::kind::link_to_file,
		 kept_file},
		{"a dangling link to outside", plant::kind::dangling_link,
		 outside + "/new.bmp"},
		{"a file of someone else's", plant::kind::file, ""},
	};
	for (auto &c : cases) {
		step = c.what;
		SCOPED_TRACE(step);
		{
			std::lock_guard<std::mutex> g(plant::mutex);
			plant::link_target = c.target;
			plant::planted.clear();
		}
		plant::armed = c.kind;
		EXPECT_FALSE(
			obs_property_button_clicked(button, fs.filter.get()));
		std::vector<std::string> planted;
		{
			std::lock_guard<std::mutex> g(plant::mutex);
			planted = plant::planted;
		}
		ASSERT_EQ(planted.size(), 1u) << "nothing was planted";
		struct stat st;
		ASSERT_EQ(lstat(planted[0].c_str(), &st), 0)
			<< "what was planted is gone";
		if (c.kind == plant::kind::file) {
			EXPECT_TRUE(S_ISREG(st.st_mode));
			EXPECT_EQ(read_text(planted[0]).value_or(""),
				  "planted");
		} else {
			EXPECT_TRUE(S_ISLNK(st.st_mode));
		}
		EXPECT_EQ(read_text(kept_file).value_or(""), "keep me");
		EXPECT_FALSE(stdfs::exists(outside + "/new.bmp"));
		remove_path(planted[0]);
	}
	EXPECT_EQ(updates.count, 0);
	EXPECT_EQ(settings_json(fs.filter.get()), before);

	step = "nothing planted";
	EXPECT_TRUE(obs_property_button_clicked(button, fs.filter.get()));
	EXPECT_EQ(names_in(faces_dir()).size(), 1u);
	EXPECT_EQ(names_in(outside), std::vector<std::string>{"kept.bmp"});
}

TEST_F(Files, FacesFolderReplacedByALink)
{
	make_filter();
	show();
	properties_ptr props(obs_source_properties(fs.filter.get()));
	obs_property_t *button = obs_properties_get(props.get(), "capture");
	std::error_code ec;
	stdfs::create_directories(module_config_dir(), ec);
	std::string outside = config_home() + "/elsewhere";
	remove_path(outside);

	// A link to a folder that does not exist: the capture fails quietly
	// and creates nothing there.
	step = "dangling faces link";
	ASSERT_EQ(symlink(outside.c_str(), faces_dir().c_str()), 0);
	update_counter updates(fs.filter.get());
	EXPECT_FALSE(obs_property_button_clicked(button, fs.filter.get()));
	EXPECT_FALSE(stdfs::exists(outside));
	EXPECT_EQ(updates.count, 0);

	// A link to an existing folder is the user's own way to keep the
	// images elsewhere: the image goes there, written as anywhere else
	// (a new file, for its owner only), and the reference names it by
	// the faces path.
	step = "faces link to a folder";
	stdfs::create_directories(outside, ec);
	EXPECT_TRUE(obs_property_button_clicked(button, fs.filter.get()));
	auto names = names_in(outside);
	ASSERT_EQ(names.size(), 1u);
	struct stat st;
	ASSERT_EQ(lstat((outside + "/" + names[0]).c_str(), &st), 0);
	EXPECT_TRUE(S_ISREG(st.st_mode));
	EXPECT_EQ(st.st_mode & 07777, 0600u);
	EXPECT_EQ(size_t(st.st_size), BMP_SIZE);
	auto refs = references_of(settings_json(fs.filter.get())).values;
	ASSERT_EQ(refs.size(), 1u);
	EXPECT_EQ(refs[0], faces_dir() + "/" + names[0]);
	remove_path(faces_dir());
	remove_path(outside);
}
