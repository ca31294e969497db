#include "service/sys_log.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace pigeonbox {
namespace {

class RecordingSink : public SysLogSink {
 public:
  void ReportSysLog(uint32_t level, std::u16string_view category, uint32_t eventId,
                    std::u16string_view text) override {
    events.push_back(std::to_string(level) + "/" + std::to_string(eventId));
    categories.emplace_back(category);
    texts.emplace_back(text);
    if (detached.load()) lateCalls.fetch_add(1);
  }
  std::vector<std::string> events;
  std::vector<std::u16string> categories, texts;
  std::atomic<bool> detached{false};
  std::atomic<int> lateCalls{0};
};

TEST(SysLogTest, ReportsReachOnlyTheAttachedSink) {
  SysLog sysLog;
  RecordingSink sink;
  sysLog.Report(2, u"service", 1600, u"before %d", 1);  // no sink: goes nowhere
  sysLog.SetSink(&sink);
  sysLog.Report(2, u"service", 1600, u"Dockhand %s %d%%", u"服务启动成功", 7);
  sysLog.ReportText(0, u"network", 3001, std::u16string(1500, u'x'));
  sysLog.SetSink(nullptr);
  sysLog.Report(0, u"service", 1000, u"after");

  EXPECT_EQ(sink.events, (std::vector<std::string>{"2/1600", "0/3001"}));
  EXPECT_EQ(sink.categories, (std::vector<std::u16string>{u"service", u"network"}));
  EXPECT_EQ(sink.texts,
            (std::vector<std::u16string>{u"Dockhand 服务启动成功 7%", std::u16string(1023, u'x')}));
}

TEST(SysLogTest, DetachedSinkIsNeverCalledAgainFromOtherThreads) {
  SysLog sysLog;
  RecordingSink sink;
  sysLog.SetSink(&sink);
  std::atomic<bool> stop{false};
  std::atomic<int> reports{0};
  std::vector<std::thread> reporters;
  for (int t = 0; t < 3; ++t) {
    reporters.emplace_back([&, t] {
      for (; !stop.load(); reports.fetch_add(1)) sysLog.Report(1, u"service", 1, u"event %d", t);
    });
  }
  while (reports.load() < 100) std::this_thread::yield();
  sysLog.SetSink(nullptr);
  sink.detached.store(true);
  for (int goal = reports.load() + 300; reports.load() < goal;) std::this_thread::yield();
  stop.store(true);
  for (std::thread& r : reporters) r.join();
  EXPECT_EQ(sink.lateCalls.load(), 0);
}

}  // namespace
}  // namespace pigeonbox
