// Management queries on Windows: the system's own management service,
// reached through the component runtime (its locator, the ROOT\CIMV2
// namespace, then the query). The calling thread has initialised the
// runtime (ExecuteWmiQuery holds a ComInitialize for the call).
#include <windows.h>
#include <oleauto.h>
#include <wbemidl.h>

#include <string>

#include "processes/wql.h"

namespace krCore::detail {
namespace {

// A string of the component runtime, freed at the end of a scope.
struct scoped_bstr {
  BSTR text;
  explicit scoped_bstr(const std::wstring& value)
      : text(::SysAllocStringLen(value.data(), static_cast<UINT>(value.size()))) {}
  ~scoped_bstr() { ::SysFreeString(text); }
  scoped_bstr(const scoped_bstr&) = delete;
  scoped_bstr& operator=(const scoped_bstr&) = delete;
};

// The connection to ROOT\CIMV2 with the proxy allowed to act for the
// caller, or the failure's HRESULT.
long connect_cimv2(CComPtr<IWbemServices>& services) {
  CComPtr<IWbemLocator> locator;
  IWbemLocator* made = nullptr;
  long hr = ::CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator,
                               reinterpret_cast<void**>(&made));
  if (hr < 0) return hr;
  locator.Attach(made);
  const scoped_bstr name(L"ROOT\\CIMV2");
  if (!name.text) return E_OUTOFMEMORY;
  IWbemServices* connected = nullptr;
  hr = locator->ConnectServer(name.text, nullptr, nullptr, nullptr, 0, nullptr, nullptr,
                              &connected);
  if (hr < 0) return hr;
  services.Attach(connected);
  // Not every service honours the blanket (an in-process one need not);
  // the query then runs with the process's own settings.
  (void)::CoSetProxyBlanket(connected, RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE, nullptr,
                            RPC_C_AUTHN_LEVEL_CALL, RPC_C_IMP_LEVEL_IMPERSONATE, nullptr,
                            EOAC_NONE);
  return 0;
}

}  // namespace

long exec_wql(const std::wstring& language, const std::wstring& text, long flags,
              IEnumWbemClassObject** result) {
  if (!result) return WBEM_E_INVALID_PARAMETER;
  *result = nullptr;
  CComPtr<IWbemServices> services;
  if (const long hr = connect_cimv2(services)) return hr;
  const scoped_bstr query_language(language);
  const scoped_bstr query(text);
  if (!query_language.text || !query.text) return E_OUTOFMEMORY;
  return services->ExecQuery(query_language.text, query.text,
                             flags | WBEM_FLAG_RETURN_IMMEDIATELY, nullptr, result);
}

}  // namespace krCore::detail
