// Loading libraries, with the stand-in browser components (tests/app/components) as subjects.
#include "platform/dynamic_library.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <utility>

#include "temp_folder.h"
#include "test_support.h"

namespace tulix {
namespace {

TEST(DynamicLibrary, FindsExportsAndTheVersionValue) {
  DynamicLibrary library;
  ASSERT_TRUE(library.Open(TULIX_TEST_COMPONENT_GOOD)) << library.error();
  EXPECT_TRUE(library.error().empty());
  EXPECT_NE(library.Symbol("DllRegisterServer"), nullptr);
  EXPECT_NE(library.Function<int32_t (*)()>("DllUnregisterServer"), nullptr);
  EXPECT_EQ(library.Symbol("DllCanUnloadNow"), nullptr);
  EXPECT_NE(library.error().find("DllCanUnloadNow"), std::string::npos) << library.error();

  EXPECT_EQ(ComponentVersionValue(library, "OLESelfRegister"), std::string());
  EXPECT_EQ(ComponentVersionValue(library, "FileDescription"), "Test browser component");
  EXPECT_EQ(ComponentVersionValue(library, "CompanyName"), std::nullopt);

  DynamicLibrary other;
  ASSERT_TRUE(other.Open(TULIX_TEST_COMPONENT_NO_VERSION_VALUE)) << other.error();
  EXPECT_EQ(ComponentVersionValue(other, "OLESelfRegister"), std::nullopt);
  EXPECT_EQ(ComponentVersionValue(other, "FileDescription"), "Test browser component");
}

TEST(DynamicLibrary, OwnershipMovesAndEndsWithClose) {
  DynamicLibrary first;
  ASSERT_TRUE(first.Open(TULIX_TEST_COMPONENT_GOOD));
  DynamicLibrary second(std::move(first));
  EXPECT_FALSE(first.IsOpen());
  EXPECT_EQ(first.Symbol("DllRegisterServer"), nullptr);
  ASSERT_TRUE(second.IsOpen());
  EXPECT_NE(second.Symbol("DllRegisterServer"), nullptr);

  DynamicLibrary third;
  ASSERT_TRUE(third.Open(TULIX_TEST_COMPONENT_NO_EXPORTS));
  third = std::move(second);
  EXPECT_NE(third.Symbol("DllRegisterServer"), nullptr);
  third.Close();
  EXPECT_FALSE(third.IsOpen());
  EXPECT_EQ(third.Symbol("DllRegisterServer"), nullptr);
  EXPECT_EQ(ComponentVersionValue(third, "OLESelfRegister"), std::nullopt);
}

TEST(DynamicLibrary, FailuresSayWhy) {
  test::TempFolder temp;
  DynamicLibrary library;
  const std::string missing = temp.File("missing.so");
  EXPECT_FALSE(library.Open(missing));
  EXPECT_FALSE(library.IsOpen());
  EXPECT_NE(library.error().find("missing.so"), std::string::npos) << library.error();

  const std::string text = temp.File("text.so");
  test::WriteFileBytes(text, "not a library");
  EXPECT_FALSE(library.Open(text));
  EXPECT_FALSE(library.error().empty());

  // A bare name means a file in the current folder, never one of the system's libraries.
  EXPECT_FALSE(library.Open("libc.so.6"));
  EXPECT_NE(library.error().find(std::filesystem::current_path().string()), std::string::npos)
      << library.error();
  EXPECT_FALSE(library.Open(""));

  // A failed open leaves nothing open from before.
  ASSERT_TRUE(library.Open(TULIX_TEST_COMPONENT_GOOD));
  EXPECT_FALSE(library.Open(missing));
  EXPECT_EQ(library.Symbol("DllRegisterServer"), nullptr);
}

}  // namespace
}  // namespace tulix
