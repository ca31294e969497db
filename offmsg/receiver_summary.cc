#include "offmsg/receiver_summary.h"

#include <algorithm>

namespace pigeonbox {

std::u16string ReceiverSummary(const std::vector<std::u16string>& names) {
  std::u16string summary;
  const size_t shown = std::min<size_t>(names.size(), 4);
  for (size_t i = 0; i < shown; ++i) {
    summary += names[i];
    summary += u';';
  }
  if (names.size() >= 5) summary += u" ...";
  if (summary.size() > kReceiverSummaryUnits) summary.resize(kReceiverSummaryUnits);
  return summary;
}

}  // namespace pigeonbox
