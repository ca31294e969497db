#include "service/sys_log.h"

#include <utility>

#include "service/log_file.h"

namespace pigeonbox {

void SysLog::SetSink(SysLogSink* sink) {
  MutexLock lock(mutex_);
  sink_ = sink;
}

void SysLog::ReportText(uint32_t level, std::u16string_view category, uint32_t eventId,
                        std::u16string text) {
  try {
    text = LogFile::CutMessage(std::move(text));
    // The sink is called under the lock, so SetSink(nullptr) waits for a report in progress and
    // the old sink is never called after it returns.
    MutexLock lock(mutex_);
    if (sink_ != nullptr) sink_->ReportSysLog(level, category, eventId, text);
  } catch (...) {
    // A failing sink loses the event; reporting never throws into its caller.
  }
}

}  // namespace pigeonbox
