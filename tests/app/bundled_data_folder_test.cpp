// Where the bundled data is found: the environment, the checkout a build came from, or the
// share folder of an installed program.
#include <gtest/gtest.h>

#include <string>

#include "app/application_core.h"
#include "temp_folder.h"

namespace tulix {
namespace {

TEST(BundledDataFolder, EnvironmentThenCheckoutThenInstalledShareFolder) {
  test::TempFolder temp;
  const std::string checkout = temp.path();
  const std::string gone = temp.File("gone");

  EXPECT_EQ(ChooseBundledDataFolder("/data/here", checkout, "/usr/bin"), "/data/here");
  EXPECT_EQ(ChooseBundledDataFolder("", checkout, "/usr/bin"), checkout);
  // The build folder is gone: the program is an installed one.
  EXPECT_EQ(ChooseBundledDataFolder("", gone, "/usr/bin"), "/usr/share/tulix");
  EXPECT_EQ(ChooseBundledDataFolder("", gone, "/opt/tulix/bin"), "/opt/tulix/share/tulix");
  // Without the program's own folder there is nothing better than the configured one.
  EXPECT_EQ(ChooseBundledDataFolder("", gone, ""), gone);
}

}  // namespace
}  // namespace tulix
