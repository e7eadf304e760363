// The process fault settings: one instance, the handler it installs and
// throws from, and what close() restores.
#include <gtest/gtest.h>
#include <krcore/diagnostics.h>

#include "diagnostics/process_settings.h"

namespace {

using krCore::krProcessSettings;
using krCore::detail::invalid_parameter_handler;

void own_handler(const wchar_t*, const wchar_t*, const wchar_t*, unsigned int, std::uintptr_t) {}

TEST(ProcessSettings, TheInstanceInstallsItsHandlerAndCloseRestoresThePreviousOne) {
  krProcessSettings::close();  // whatever earlier guards left
  krProcessSettings::close();  // a second close has nothing to do
  const auto before = invalid_parameter_handler();
  krProcessSettings* settings = krProcessSettings::instance();
  EXPECT_EQ(krProcessSettings::instance(), settings);
  EXPECT_EQ(settings->GetRuntimeInvalidParameterHandler(), before);
  EXPECT_EQ(invalid_parameter_handler(), &krProcessSettings::InvalidParameterHandler);
  EXPECT_EQ(krCore::detail::process_error_mode(), 0x8007u);

  EXPECT_EQ(settings->SetInvalidParameterHandler(&own_handler),
            &krProcessSettings::InvalidParameterHandler);
  EXPECT_EQ(invalid_parameter_handler(), &own_handler);

  krProcessSettings::close();
  EXPECT_EQ(invalid_parameter_handler(), before);
  EXPECT_EQ(krCore::detail::process_error_mode(), 0x8007u);  // stays

  // A later instance applies the settings again.
  krProcessSettings::instance();
  EXPECT_EQ(invalid_parameter_handler(), &krProcessSettings::InvalidParameterHandler);
}

TEST(ProcessSettings, TheHandlerThrowsTheInvalidParameterException) {
  try {
    krProcessSettings::InvalidParameterHandler(L"p != 0", L"copy", L"work.cpp", 12, 0);
    FAIL() << "the handler returned";
  } catch (const krException& e) {
    EXPECT_EQ(e.code(), 0xC000000Du);
    EXPECT_STREQ(e.what(),
                 "Invalid parameter detected in function (copy) File: (work.cpp) "
                 "Line: (12) Expression: p != 0");
  }
}

}  // namespace
