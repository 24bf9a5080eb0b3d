// The Windows test programs' setting: libobs started once per program with
// quilmar-direct.dll from beside the program and a temporary APPDATA, shut
// down at the end with a leak check; and the file helpers the tests use.
#pragma once

#include "obs-host.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace qm_wintest {

using namespace qm_host;

class host_environment : public ::testing::Environment {
public:
	void SetUp() override;
	void TearDown() override;
};

std::optional<std::string> read_text(const std::string &path);
bool write_text(const std::string &path, const std::string &text);
// The names in a folder, sorted; empty when it cannot be read.
std::vector<std::string> names_in(const std::string &dir);

} // namespace qm_wintest
