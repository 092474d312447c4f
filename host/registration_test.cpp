#include "host/registration.h"

#include <gtest/gtest.h>

#include <fstream>

#include "common/error.h"
#include "tests/testing.h"

namespace orvala::host {
namespace {

constexpr const char* kClass = "CLSID\\{BE3B9670-C4E5-49A5-BDB2-53BB7793651F}";

TEST(StartModeTest, SwitchesInAnyCaseFirstTestWins) {
  struct Case {
    std::vector<const char*> args;
    StartMode mode;
  };
  const Case cases[] = {
      {{"srv"}, StartMode::ByHand},
      {{"srv", "/regserver"}, StartMode::RegisterAndEnd},
      {{"srv", "-UNREGSERVER"}, StartMode::UnregisterAndEnd},
      {{"srv", "-Embedding"}, StartMode::ByCom},
      {{"srv", "/automation"}, StartMode::ByCom},
      {{"srv", "/REGSERVER", "-embedding"}, StartMode::ByCom},
      {{"srv", "regserver"}, StartMode::ByHand},      // no leading - or /
      {{"srv", "--regserver"}, StartMode::ByHand},    // not the switch's name
      {{"srv", "-unregserver", "/regserver"}, StartMode::RegisterAndEnd},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ParseStartMode(static_cast<int>(c.args.size()), c.args.data()), c.mode)
        << c.args.back();
  }
}

TEST(RegistrationTest, WritesTheEntriesAndRemovesThem) {
  testing::TempDir dir;
  registry::Registry registry(dir / "reg");
  RegisterServer(registry, "/opt/orvala/bin/orvala-server");
  struct Expect {
    std::string key, name, data;
  };
  const Expect expected[] = {
      {kClass, "", "Orvala Object"},
      {std::string(kClass) + "\\LocalServer32", "", "/opt/orvala/bin/orvala-server"},
      {"OrvalaAppServer.Orvala", "", "Orvala Object"},
      {"OrvalaAppServer.Orvala\\Clsid", "", "{BE3B9670-C4E5-49A5-BDB2-53BB7793651F}"},
      {std::string(kClass) + "\\ProgID", "", "OrvalaAppServer.Orvala"},
      {std::string(kClass) + "\\Version", "", "1.0"},
      {std::string(kClass) + "\\TypeLib", "", "{85BF87D6-FB51-4EFC-AA81-C5372C09FC14}"},
      {"Component Categories\\{13E85B3C-9508-11D2-AB63-00C04FA35CFA}", "409",
       "Provider Application Servers"},
      {std::string(kClass) + "\\Implemented Categories\\{13E85B3C-9508-11D2-AB63-00C04FA35CFA}", "", ""},
      {"AppID\\{BE3B9670-C4E5-49A5-BDB2-53BB7793651F}", "", "Orvala Object"},
      {kClass, "AppID", "{BE3B9670-C4E5-49A5-BDB2-53BB7793651F}"},
      {kClass, "Sockets", "1"},
      {kClass, "Web", "1"},
      {"TypeLib\\{85BF87D6-FB51-4EFC-AA81-C5372C09FC14}\\1.0", "", "OrvalaAppServer Library"},
  };
  for (const Expect& e : expected) {
    auto key = registry.OpenKey(registry::Root::kClassesRoot, e.key);
    ASSERT_TRUE(key) << e.key;
    auto value = key->GetValue(e.name);
    ASSERT_TRUE(value) << e.key << " " << e.name;
    EXPECT_EQ(value->data(), e.data) << e.key;
    EXPECT_TRUE(value->is_text());
  }
  RegisterServer(registry, "/opt/orvala/bin/orvala-server");  // every start refreshes them
  UnregisterServer(registry);
  for (const Expect& e : expected) {
    const bool category = e.key.starts_with("Component Categories");
    EXPECT_EQ(registry.OpenKey(registry::Root::kClassesRoot, e.key).has_value(), category) << e.key;
  }
}

TEST(RegistrationTest, AnEntryThatCannotBeWrittenStopsRegistration) {
  testing::TempDir dir;
  // A registry folder that cannot exist: a file stands in its place.
  { std::ofstream(dir / "blocked") << "x"; }
  registry::Registry registry(dir / "blocked" / "reg");
  try {
    RegisterServer(registry, "/x");
    FAIL();
  } catch (const Error& e) {
    EXPECT_NE(std::string(e.message()).find("type library"), std::string::npos);
  }
}

}  // namespace
}  // namespace orvala::host
