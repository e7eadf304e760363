// The process fault settings reach the system and the C runtime: the error
// mode is the one without dialogs, and the runtime's own argument checks
// call the handler, which throws.
#include <windows.h>
#include <gtest/gtest.h>
#include <krcore/diagnostics.h>
#include <stdlib.h>

#include <cwchar>

namespace {

using krCore::krProcessSettings;

int g_own_calls = 0;
void own_handler(const wchar_t*, const wchar_t*, const wchar_t*, unsigned int, std::uintptr_t) {
  ++g_own_calls;
}

// A runtime call with a null buffer: the runtime reports an invalid argument.
errno_t convert_into_nothing() {
  static errno_t (*volatile convert)(int, wchar_t*, size_t, int) = &_itow_s;
  return convert(12, nullptr, 0, 10);
}

TEST(ProcessSettingsOnWindows, TheSystemGetsTheErrorMode) {
  krProcessSettings::close();
  ::SetErrorMode(0);
  krProcessSettings::instance();
  EXPECT_EQ(::GetErrorMode(), 0x8007u);
  krProcessSettings::close();
}

// True when the runtime's checked functions call the handler set with
// _set_invalid_parameter_handler, asked of the runtime itself.
int g_probe_calls = 0;
void probe_handler(const wchar_t*, const wchar_t*, const wchar_t*, unsigned int, std::uintptr_t) {
  ++g_probe_calls;
}
bool runtime_calls_the_handler() {
  const _invalid_parameter_handler previous = ::_set_invalid_parameter_handler(&probe_handler);
  g_probe_calls = 0;
  (void)convert_into_nothing();
  ::_set_invalid_parameter_handler(previous);
  return g_probe_calls == 1;
}

TEST(ProcessSettingsOnWindows, TheRuntimesArgumentChecksReachTheHandler) {
  krProcessSettings::close();
  if (!runtime_calls_the_handler())
    GTEST_SKIP() << "Wine's msvcrt.dll never calls the handler set with "
                    "_set_invalid_parameter_handler: its checked functions return EINVAL";
  krProcessSettings* settings = krProcessSettings::instance();
  EXPECT_THROW(convert_into_nothing(), krException);

  settings->SetInvalidParameterHandler(&own_handler);
  g_own_calls = 0;
  EXPECT_NE(convert_into_nothing(), 0);  // the handler returned: the call fails
  EXPECT_EQ(g_own_calls, 1);
  krProcessSettings::close();
}

}  // namespace
