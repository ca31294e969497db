// The store path of the dispatcher: a message of a registered type that could not be delivered
// is kept, one copy per receiver.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "offmsg/request_decoder.h"
#include "offmsg/service_context.h"

namespace pigeonbox {

// False for the SMS application's word-limit question, which is never stored.
bool PassesWordLimit(std::u16string_view type, std::u16string_view envelopeText);

// The receiver names of a ";"-separated list. With `outerIm` a piece looks like "name[digits]":
// it needs at least 10 characters and at most 9 after its "["; the name is cut to 31 characters.
std::vector<std::u16string> SplitReceivers(std::u16string_view receivers, bool outerIm);

// A fresh message id from the kernel's random source, e.g. "1B4E28BA-2FA1-41D2-883F-0016D3CCA427".
std::u16string NewMessageId();

// Stores the message for every receiver not on the invalid-user list. Always 1.
int StoreMessage(ServiceContext& context, const DecodedMessage& message,
                 std::u16string_view receivers);

}  // namespace pigeonbox
