// The system-facing families as an agent uses them: a credential protected
// and read back (also through its stored Base64 form), the machine's
// processes listed with their names, and a Win32_Process query answered.
// The same sources on Linux and on Windows.
#include <krcore/processes.h>
#include <krcore/protection.h>

#include <cstdio>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace {

unsigned long own_pid() {
#ifdef _WIN32
  return ::GetCurrentProcessId();
#else
  return static_cast<unsigned long>(::getpid());
#endif
}

// The executable's name without its folder and, on Windows, without ".exe".
bool names_consumer(const std::wstring& name) {
  return name.rfind(L"consumer") != std::wstring::npos;
}

}  // namespace

// Returns 0 when a credential gives back what it was made of, else 1.
int check_credential() {
  const wchar_t* const password = L"pa\u00dfw\u00f6rd \u20ac1";
  krCore::credential credential(L"CORP\\alice", password);
  const bool parts = credential.used() && std::wstring(credential.c_str_domain()) == L"CORP" &&
                     std::wstring(credential.c_str_username()) == L"alice" &&
                     std::wstring(credential.c_str_password()) == password;
  credential.clearplaintext();
  const std::string stored = credential.password_encrypted_base64();
  const krCore::securestring again = krCore::securestring::from_encrypted_base64(stored);
  if (!parts || stored.empty() || stored.find("pa") != std::string::npos ||
      again.str() != password) {
    std::fprintf(stderr, "consumer: the credential did not give back its parts\n");
    return 1;
  }
  return 0;
}

// Returns 0 when this process is among the listed ones under its own name,
// else 1.
int check_process_list() {
  std::vector<unsigned long> pids;
  if (const unsigned long error = krCore::EnumerateProcesses(pids); error != 0) {
    std::fprintf(stderr, "consumer: EnumerateProcesses failed with %lu\n", error);
    return 1;
  }
  size_t named = 0;
  bool self = false;
  for (const unsigned long pid : pids) {
    const std::wstring name = krCore::GetProcessNameNoThrow(pid, false);
    named += name.empty() ? 0 : 1;
    self = self || (pid == own_pid() && names_consumer(name));
  }
  if (!self || named < 2) {
    std::fprintf(stderr, "consumer: %zu processes, %zu named, itself %s\n", pids.size(), named,
                 self ? "found" : "not found");
    return 1;
  }
  return 0;
}

// Returns 0 when a Win32_Process query finds this process by its id with its
// name, else 1.
int check_process_query() {
  bool self = false;
  unsigned long rows = 0;
  const long hr = krCore::ExecuteWmiQuery(
      L"SELECT Name, ProcessId FROM Win32_Process",
      [&](CComPtr<IWbemClassObject>& object) -> std::pair<long, bool> {
        ++rows;
        VARIANT id, name;
        VariantInit(&id);
        VariantInit(&name);
        if (object->Get(L"ProcessId", 0, &id, nullptr, nullptr) == 0 &&
            object->Get(L"Name", 0, &name, nullptr, nullptr) == 0 &&
            id.vt == VT_I4 && static_cast<unsigned long>(id.lVal) == own_pid() &&
            name.vt == VT_BSTR && names_consumer(name.bstrVal))
          self = true;
        VariantClear(&id);
        VariantClear(&name);
        return {0, true};
      },
      0, RPC_C_AUTHN_LEVEL_DEFAULT, RPC_C_IMP_LEVEL_IMPERSONATE);
  if (hr != 0 || !self) {
    std::fprintf(stderr, "consumer: the Win32_Process query gave 0x%08lx, %lu rows, itself %s\n",
                 static_cast<unsigned long>(hr), rows, self ? "found" : "not found");
    return 1;
  }
  return 0;
}
