// The configuration check of an install root, for `pigeonbox --check-config` and
// `pigeonbox-config check`: what the settings reader had to repair or ignore, plus a test of the
// user database (the connection and the user query, within the configured timeouts), since a
// server that cannot open it does not start.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "config/findings.h"
#include "config/settings.h"

namespace pigeonbox {

// The findings of the settings, or the one that the root itself is missing, followed by those of
// the database test. Changes the working directory to the root's bin/ first, as the server does,
// so that relative paths of the connection string resolve the same way.
std::vector<Finding> CheckConfiguration(const std::string& installRoot,
                                        const ServerSettings& settings);

// Prints the findings of CheckConfiguration one per line on `out`. 0 when there was nothing to
// say, 1 otherwise.
int RunConfigurationCheck(const std::string& installRoot, std::ostream& out);

}  // namespace pigeonbox
