// The two halves of ReadServerSettings, one per file. Internal to config/.
#pragma once

#include <string>

#include "config/settings.h"

namespace pigeonbox {

// AppConfig/AppOffMsg.xml: the identity into s->app, the App/Setting attributes into the store,
// shrink, sweep and database timeout settings.
void ReadAppSettings(const std::string& installRoot, ServerSettings* s);

// Config/KVTServer.xml: the centre, the application server's address (over s->app's), the
// transfer port and the user database. Runs after ReadAppSettings.
void ReadServerFileSettings(const std::string& installRoot, ServerSettings* s);

}  // namespace pigeonbox
