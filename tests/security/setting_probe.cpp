// A small program that prints where the library's environment settings lead
// it: the code-signing roots, the machine key file, the system log's socket,
// the machine-wide application-data folder, whether the settings store holds
// a probe key, and one line on the debugger output. The tests install a copy
// setuid root and start it as another account with every setting pointing
// at that account's own files.
#include <krcore/registry.h>

#include <cstdio>
#include <string>

#include "foundation/utf.h"
#include "logging/debug_output.h"
#include "logging/linux/syslog.h"
#include "protection/machine_key.h"
#include "signatures/authenticode.h"
#include "sysutil/directories.h"

int main() {
  using namespace krCore::detail;
  std::printf("roots=%s\n", codesign_roots_folder().c_str());
  std::printf("key=%s\n", machine_key_file().c_str());
  std::printf("syslog=%s\n", syslog_socket_path().c_str());
  std::wstring appdata;
  common_appdata_directory(appdata);
  std::printf("appdata=%s\n", utf8_from_wide(appdata).c_str());
  HKEY key = nullptr;
  const LSTATUS rc =
      RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\QmcoreSettingProbe", 0, KEY_READ, &key);
  if (rc == 0) RegCloseKey(key);
  std::printf("probe-key=%ld\n", static_cast<long>(rc));
  debug_output(std::string_view("setting probe was here"));
  return 0;
}
