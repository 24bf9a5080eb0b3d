// The filter's registration as the host sees it: its type, name and
// flags, its property page with and without an instance, its defaults and
// what the page's button and note leave in the settings. Runs against
// quilmar-direct.so loaded into a headless libobs (the fixture is in
// filter_fixture.h).
#include "filter_fixture.h"

#include <cstring>
#include <iterator>
#include <vector>

using namespace qm_filter;

// ---------------------------------------------------------------------------
// Registration and property page

TEST_F(Registration, FilterTypeNameAndFlags)
{
	EXPECT_STREQ(obs_source_get_display_name(FILTER_ID),
		     "Quilmar direct filter (experimental)");
	EXPECT_EQ(obs_get_source_output_flags(FILTER_ID), 9u);
	EXPECT_EQ(obs_get_source_output_flags(FILTER_ID),
		  uint32_t(OBS_SOURCE_VIDEO | OBS_SOURCE_CUSTOM_DRAW));

	// Exactly one filter type, and no input or transition type.
	int filters = 0;
	const char *id = nullptr;
	for (size_t i = 0; obs_enum_filter_types(i, &id); i++)
		if (strcmp(id, FILTER_ID) == 0)
			filters++;
	EXPECT_EQ(filters, 1);
	for (size_t i = 0; obs_enum_input_types(i, &id); i++)
		EXPECT_NE(strcmp(id, FILTER_ID), 0);

	source_ptr filter(obs_source_create_private(FILTER_ID, "f", nullptr));
	ASSERT_TRUE(filter);
	EXPECT_EQ(obs_source_get_type(filter.get()), OBS_SOURCE_TYPE_FILTER);
	EXPECT_STREQ(obs_source_get_id(filter.get()), FILTER_ID);
	EXPECT_NE(obs_obj_get_data(filter.get()), nullptr);
}

namespace {

struct expected_property {
	const char *name;
	const char *label;
	obs_property_type type;
};

const char *IMAGE_FILTER = "Images (*.png *.jpg *.jpeg *.webp *.bmp)";

const expected_property PAGE[] = {
	{"reference", "Existing face photo (optional)", OBS_PROPERTY_PATH},
	{"references", "Additional people to keep visible",
	 OBS_PROPERTY_EDITABLE_LIST},
	{"capture", "Add people from webcam (all detected faces)",
	 OBS_PROPERTY_BUTTON},
	{"delay", "Lookahead buffer (seconds)", OBS_PROPERTY_FLOAT},
	{"fps", "Processing FPS target (experimental)", OBS_PROPERTY_INT},
	{"worker_enabled", "Enable local processing", OBS_PROPERTY_BOOL},
	{"face_enabled", "Blur faces (except selected people)",
	 OBS_PROPERTY_BOOL},
	{"qr_enabled", "Blur QR codes", OBS_PROPERTY_BOOL},
	{"phone_enabled", "Blur phone numbers", OBS_PROPERTY_BOOL},
	{"note",
	 "Experimental: requires the Quilmar direct controller running. Changes restart processing; preview goes black.",
	 OBS_PROPERTY_TEXT},
};

bool empty_or_null(const char *s)
{
	return !s || !*s;
}

void check_page(obs_properties_t *props)
{
	ASSERT_NE(props, nullptr);
	std::vector<obs_property_t *> found;
	for (obs_property_t *p = obs_properties_first(props); p;
	     obs_property_next(&p))
		found.push_back(p);
	ASSERT_EQ(found.size(), std::size(PAGE));

	for (size_t i = 0; i < found.size(); i++) {
		SCOPED_TRACE(PAGE[i].name);
		obs_property_t *p = found[i];
		EXPECT_STREQ(obs_property_name(p), PAGE[i].name);
		EXPECT_STREQ(obs_property_description(p), PAGE[i].label);
		EXPECT_EQ(obs_property_get_type(p), PAGE[i].type);
		EXPECT_TRUE(obs_property_visible(p));
		EXPECT_TRUE(obs_property_enabled(p));
	}

	obs_property_t *path = found[0];
	EXPECT_EQ(obs_property_path_type(path), OBS_PATH_FILE);
	EXPECT_STREQ(obs_property_path_filter(path), IMAGE_FILTER);
	EXPECT_TRUE(empty_or_null(obs_property_path_default_path(path)));

	obs_property_t *list = found[1];
	EXPECT_EQ(obs_property_editable_list_type(list),
		  OBS_EDITABLE_LIST_TYPE_FILES);
	EXPECT_STREQ(obs_property_editable_list_filter(list), IMAGE_FILTER);
	EXPECT_TRUE(
		empty_or_null(obs_property_editable_list_default_path(list)));

	obs_property_t *delay = found[3];
	EXPECT_EQ(obs_property_float_min(delay), 1.0);
	EXPECT_EQ(obs_property_float_max(delay), 30.0);
	EXPECT_EQ(obs_property_float_step(delay), 1.0);
	EXPECT_EQ(obs_property_float_type(delay), OBS_NUMBER_SCROLLER);

	obs_property_t *fps = found[4];
	EXPECT_EQ(obs_property_int_min(fps), 5);
	EXPECT_EQ(obs_property_int_max(fps), 60);
	EXPECT_EQ(obs_property_int_step(fps), 1);
	EXPECT_EQ(obs_property_int_type(fps), OBS_NUMBER_SCROLLER);

	EXPECT_EQ(obs_property_text_type(found[9]), OBS_TEXT_INFO);
}

} // namespace

TEST_F(Registration, PropertyPageWithoutInstance)
{
	properties_ptr props(obs_get_source_properties(FILTER_ID));
	check_page(props.get());
}

TEST_F(Registration, PropertyPageOfInstance)
{
	filtered_source fs = make_filtered(pattern_kind::plain, 640, 480);
	ASSERT_NE(fs.data(), nullptr);
	properties_ptr props(obs_source_properties(fs.filter.get()));
	check_page(props.get());
}

TEST_F(Registration, Defaults)
{
	data_ptr defaults(obs_get_source_defaults(FILTER_ID));
	ASSERT_TRUE(defaults);
	obs_data_t *d = defaults.get();

	EXPECT_TRUE(obs_data_has_default_value(d, "delay"));
	EXPECT_EQ(obs_data_get_default_double(d, "delay"), 5.0);
	EXPECT_TRUE(obs_data_has_default_value(d, "fps"));
	EXPECT_EQ(obs_data_get_default_int(d, "fps"), 15);
	for (const char *key : {"worker_enabled", "face_enabled", "qr_enabled",
				"phone_enabled"}) {
		SCOPED_TRACE(key);
		EXPECT_TRUE(obs_data_has_default_value(d, key));
		EXPECT_TRUE(obs_data_get_default_bool(d, key));
	}
	for (const char *key : {"reference", "references", "capture_request",
				"capture", "note"}) {
		SCOPED_TRACE(key);
		EXPECT_FALSE(obs_data_has_default_value(d, key));
	}

	// The defaults hold exactly these six keys.
	int keys = 0;
	for (obs_data_item_t *item = obs_data_first(d); item;
	     obs_data_item_next(&item))
		keys++;
	EXPECT_EQ(keys, 6);
}

TEST_F(Registration, ButtonAndNoteStoreNothing)
{
	filtered_source fs = make_filtered(pattern_kind::plain, 640, 480);
	ASSERT_NE(fs.data(), nullptr);
	render_times(fs.parent.get(), 2);

	// Ask for the page as the user interface does, then look at what the
	// instance's settings hold.
	properties_ptr props(obs_source_properties(fs.filter.get()));
	ASSERT_TRUE(props);
	data_ptr settings(obs_source_get_settings(fs.filter.get()));
	for (const char *key : {"capture", "note"}) {
		SCOPED_TRACE(key);
		EXPECT_FALSE(obs_data_has_user_value(settings.get(), key));
		EXPECT_FALSE(obs_data_has_default_value(settings.get(), key));
		obs_data_item_t *item =
			obs_data_item_byname(settings.get(), key);
		EXPECT_EQ(item, nullptr);
		obs_data_item_release(&item);
	}
	EXPECT_EQ(obs_data_get_int(settings.get(), "fps"), 15);
}
