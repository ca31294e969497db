// System-log events: start/stop and similar events that go to the configuration centre.
//
// The events are formatted like log lines and handed to a sink, which the configuration-centre
// client implements once it exists. Without a sink an event goes nowhere; it is never written to
// the log file. Thread-safe: events may be reported from any thread while the sink is set or
// cleared.
#pragma once

#include <cstdint>
#include <mutex>
#include <string_view>

#include "base/format.h"
#include "base/mutex.h"

namespace pigeonbox {

class SysLogSink {
 public:
  virtual ~SysLogSink() = default;
  // Called with the formatted text; must not call back into SysLog.
  virtual void ReportSysLog(uint32_t level, std::u16string_view category, uint32_t eventId,
                            std::u16string_view text) = 0;
};

class SysLog {
 public:
  // `sink` is borrowed; pass nullptr to detach it. After SetSink returns, no report reaches the
  // previous sink any more.
  void SetSink(SysLogSink* sink);

  template <typename... Args>
  void Report(uint32_t level, std::u16string_view category, uint32_t eventId,
              std::u16string_view format, const Args&... args) {
    try {
      ReportText(level, category, eventId, FormatText(format, args...));
    } catch (...) {
      // Formatting ran out of memory: the event is lost, the caller goes on.
    }
  }

  // Cuts the text like a log message (1023 units) and passes it to the sink, if any.
  void ReportText(uint32_t level, std::u16string_view category, uint32_t eventId,
                  std::u16string text);

 private:
  Mutex mutex_;
  SysLogSink* sink_ GUARDED_BY(mutex_) = nullptr;
};

}  // namespace pigeonbox
