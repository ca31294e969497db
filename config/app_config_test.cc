#include "config/app_config.h"

#include <gtest/gtest.h>

#include "testutil/temp_dir.h"

namespace pigeonbox {
namespace {

using testutil::TempDir;

TEST(SplitRequestTypesTest, CutsAtBarsAndSkipsEmptyPieces) {
  EXPECT_EQ(SplitRequestTypes(u"IM_Msg|Group_Msg|"),
            (std::vector<std::u16string>{u"IM_Msg", u"Group_Msg"}));
  EXPECT_EQ(SplitRequestTypes(u"||A||B"), (std::vector<std::u16string>{u"A", u"B"}));
  EXPECT_EQ(SplitRequestTypes(u"Notice"), (std::vector<std::u16string>{u"Notice"}));
  EXPECT_TRUE(SplitRequestTypes(u"").empty());
  EXPECT_TRUE(SplitRequestTypes(u"|").empty());
}

TEST(ReadAppConfigTest, ReadsIdentityRegistrationAndAddressWithTheirLimits) {
  TempDir dir;
  std::string guid(60, 'G');
  dir.Write("AppConfig/AppOffMsg.xml",
            "<?xml version=\"1.0\" encoding=\"GB2312\"?>\n<App>"
            "<AppRegInfo>\n  <Request_Type>IM_Msg|Group_Msg|</Request_Type><X a=\"1\"/>\n"
            "</AppRegInfo>"
            "<AppInfo AppGuid=\"" +
                guid +
                "\" AppName=\"\xC0\xEB\xCF\xDF\" MsgType=\"T\" "
                "Priority=\"70000\"/>"
                "<AppSvrInfo AppSvrIp=\"10.0.0.7\" AppSvrPort=\"65537\"/></App>");
  AppConfig config;
  config.requestTypes = {u"stale"};
  ASSERT_TRUE(ReadAppConfig(dir.path(), &config));
  EXPECT_EQ(config.appRegInfo, u"\n  <Request_Type>IM_Msg|Group_Msg|</Request_Type><X a=\"1\"/>\n");
  EXPECT_EQ(config.requestTypes, (std::vector<std::u16string>{u"IM_Msg", u"Group_Msg"}));
  EXPECT_EQ(config.appGuid, std::u16string(47, u'G'));
  EXPECT_EQ(config.appName, u"\u79BB\u7EBF");  // GBK bytes read back as UTF-16
  EXPECT_EQ(config.msgType, u"T");
  EXPECT_EQ(config.priority, 4464);  // 70000 kept as 16 bits
  EXPECT_EQ(config.appSvrIp, u"10.0.0.7");
  EXPECT_EQ(config.appSvrPort, 1);
}

TEST(ReadAppConfigTest, LongRegistrationMarkupIsCut) {
  TempDir dir;
  dir.Write("AppConfig/AppOffMsg.xml", "<App><AppRegInfo><Request_Type>" + std::string(600, 'a') +
                                           "</Request_Type></AppRegInfo><AppInfo/></App>");
  AppConfig config;
  ASSERT_TRUE(ReadAppConfig(dir.path(), &config));
  EXPECT_EQ(config.appRegInfo.size(), kAppRegInfoChars);
  ASSERT_EQ(config.requestTypes.size(), 1u);
  EXPECT_EQ(config.requestTypes[0].size(), 600u);
}

TEST(ReadAppConfigTest, FailsWithoutFileOrRequiredElementsButAcceptsAnotherRoot) {
  TempDir dir;
  AppConfig config;
  EXPECT_FALSE(ReadAppConfig(dir.path(), &config));
  dir.Write("AppConfig/AppOffMsg.xml", "<App><AppInfo AppGuid=\"g\"/></App>");
  EXPECT_FALSE(ReadAppConfig(dir.path(), &config));
  dir.Write("AppConfig/AppOffMsg.xml", "<App><AppRegInfo/></App>");
  EXPECT_FALSE(ReadAppConfig(dir.path(), &config));
  dir.Write("AppConfig/AppOffMsg.xml", "<App><AppRegInfo>");
  EXPECT_FALSE(ReadAppConfig(dir.path(), &config));
  dir.Write("AppConfig/AppOffMsg.xml", "<Other><AppInfo AppGuid=\"g\"/></Other>");
  EXPECT_TRUE(ReadAppConfig(dir.path(), &config));
  EXPECT_TRUE(config.appGuid.empty());
}

}  // namespace
}  // namespace pigeonbox
