// The receiver summary stored as the Reciever of a discussion-group message: the first four
// names, each followed by ";", then " ..." when there are more.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace pigeonbox {

// Longest summary in UTF-16 units; long names are cut here.
inline constexpr size_t kReceiverSummaryUnits = 255;

std::u16string ReceiverSummary(const std::vector<std::u16string>& names);

}  // namespace pigeonbox
