#include "config/settings.h"

#include "config/settings_readers.h"

namespace pigeonbox {

ServerSettings ReadServerSettings(const std::string& installRoot) {
  ServerSettings settings;
  ReadAppSettings(installRoot, &settings);
  ReadServerFileSettings(installRoot, &settings);
  return settings;
}

}  // namespace pigeonbox
