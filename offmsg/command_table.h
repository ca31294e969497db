// The command path of the dispatcher: a request names its command in the envelope's Command
// item; one table maps the eleven commands to what is fetched and which reply answers.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "link/wire/envelope.h"
#include "offmsg/request_decoder.h"
#include "offmsg/service_context.h"

namespace pigeonbox {

// What a command sees of its request.
struct CommandRequest {
  ServiceContext& context;
  const RequestRecord& record;
  NarrowEnvelope& envelope;
  std::optional<std::u16string> commandEx;  // the group forms
  bool commandSdk = false;                  // answer with an object envelope
  int32_t commandSdkTime = 0;

  const std::u16string& user() const { return record.Sender; }
  // CommandEx present and equal to `groupCommand`, letter case ignored.
  bool IsGroupForm(std::u16string_view groupCommand) const;
};

struct CommandEntry {
  std::u16string_view name;
  int (*run)(CommandRequest& request);
};

// In the order in which names are compared.
std::span<const CommandEntry> CommandTable();

// Reads Command and its modifiers and runs the first command whose name matches (letter case
// ignored). 0 without Command or for an unknown command; otherwise the command's result.
int RunCommand(ServiceContext& context, const DecodedMessage& message);

}  // namespace pigeonbox
