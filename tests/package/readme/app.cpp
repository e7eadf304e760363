// The program of the README's snippets: the whole interface through the one
// header, with the waits' results and the registry's names spelled as on
// Windows.
#include <krcore/krcore.h>

#include <cstdio>

int main() {
  krCore::manualresetevent ready;
  ready.signal();
  const DWORD waited = ::WaitForSingleObject(ready, 0);
  HKEY key = nullptr;
  const LSTATUS opened = ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\qmcore-readme-absent", 0,
                                         KEY_READ, &key);
  if (waited != WAIT_OBJECT_0 || opened == ERROR_SUCCESS || TRUE != 1 || FALSE != 0) {
    std::fprintf(stderr, "waited %u, opened %ld\n", static_cast<unsigned>(waited),
                 static_cast<long>(opened));
    return 1;
  }
  return 0;
}
