#include "config/app_settings.h"

#include <gtest/gtest.h>

#include "testutil/temp_dir.h"

namespace pigeonbox {
namespace {

TEST(AppSettingsTest, DefaultsForMissingFileOrElementZeroForMissingAttribute) {
  testutil::TempDir dir;
  EXPECT_EQ(ReadAppSettingNumber(dir.path(), u"StoreMaxCount", 99), 99);
  dir.Write("AppConfig/AppOffMsg.xml", "<App><AppInfo/></App>");
  EXPECT_EQ(ReadAppSettingNumber(dir.path(), u"StoreMaxCount", 99), 99);
  dir.Write("AppConfig/AppOffMsg.xml",
            "<?xml version=\"1.0\" encoding=\"GB2312\"?>\n<App><AppInfo/>"
            "<Setting Mode=\"weekly\" StoreDisGroupMaxCount=\" 1200x\" FileSize=\"0000000012345\"/>"
            "</App>");
  EXPECT_EQ(ReadAppSettingNumber(dir.path(), u"StoreMaxCount", 99), 0);
  EXPECT_EQ(ReadAppSettingNumber(dir.path(), u"StoreDisGroupMaxCount", 300), 1200);
  EXPECT_EQ(ReadAppSettingNumber(dir.path(), u"FileSize", 0), 1234);  // 12 characters read
  EXPECT_EQ(ReadAppSetting(dir.path(), u"Mode", 20), u"weekly");
  EXPECT_EQ(ReadAppSetting(dir.path(), u"Mode", 3), u"wee");
}

TEST(AppSettingsTest, CountTakesOnlyAPlainNumberInRange) {
  testutil::TempDir dir;
  auto count = [&](const std::string& value) {
    dir.Write("AppConfig/AppOffMsg.xml", "<App><Setting LogArchivesKept=\"" + value + "\"/></App>");
    return ReadAppSettingCount(dir.path(), u"LogArchivesKept", 30, 1000);
  };
  EXPECT_EQ(count("0").value, 0);
  EXPECT_EQ(count("007").value, 7);
  EXPECT_EQ(count("1000").value, 1000);
  EXPECT_FALSE(count("").refused);
  EXPECT_EQ(count("").value, 30);
  for (const char* odd : {"abc", "5x", " 5", "-1", "1001", "99999999999"}) {
    EXPECT_EQ(count(odd).value, 30) << odd;
    EXPECT_TRUE(count(odd).refused) << odd;
  }
  EXPECT_EQ(count("abc").text, u"abc");
}

}  // namespace
}  // namespace pigeonbox
