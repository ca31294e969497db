// Loading one configuration file (Config/KVTServer.xml, AppConfig/AppOffMsg.xml) into a markup
// document, with enough of the reason to name it: a file that is not there, one that cannot be
// read, or one that is not well-formed XML (with the line of the fault).
#pragma once

#include <string>

#include "markup/markup_document.h"

namespace pigeonbox {

struct ConfigLoad {
  enum class State { kLoaded, kMissing, kUnreadable, kMalformed };
  State state = State::kMissing;
  std::string error;  // kUnreadable: the system's reason; kMalformed: the parser's
  int line = 0;       // kMalformed: the line (from 1) of the fault; 0 when it has no place

  bool ok() const { return state == State::kLoaded; }
};

// Reads the whole file as bytes and parses it into `doc` (left empty unless loaded).
ConfigLoad LoadConfigDocument(const std::string& path, MarkupDocument* doc);

}  // namespace pigeonbox
