// The management-query layer: the classes it knows, and the result objects
// and their enumerator.
//
// Each class lists its properties once; a query computes only the
// properties it selected, for every row the class has when the query runs,
// so the results are a snapshot and the enumerator never blocks.
#include "processes/wql.h"

#include <atomic>
#include <cwctype>
#include <functional>

#include "processes/process_table.h"

namespace krCore::detail {
namespace {

// ---------------------------------------------------------------------------
// Values, objects and the enumerator
// ---------------------------------------------------------------------------

struct value {
  VARTYPE vt = VT_NULL;
  std::wstring text;
  long long number = 0;
};

value text_value(const std::wstring& t) { return value{VT_BSTR, t, 0}; }
value number_value(VARTYPE vt, long long n) { return value{vt, std::wstring(), n}; }

// The reference counting of the query layer's objects: one reference at
// creation, freed with the last Release.
template <class Interface>
class ref_counted : public Interface {
 public:
  unsigned long AddRef() override { return static_cast<unsigned long>(++_refs); }
  unsigned long Release() override {
    const long r = --_refs;
    if (r == 0) delete this;
    return static_cast<unsigned long>(r);
  }

 protected:
  ~ref_counted() override = default;

 private:
  std::atomic<long> _refs{1};
};

class wql_object : public ref_counted<IWbemClassObject> {
 public:
  long Get(const wchar_t* name, long, VARIANT* out, long* type, long* flavor) override {
    if (!name || !out) return static_cast<long>(static_cast<int>(0x80004003u));
    for (const auto& [key, v] : _values) {
      if (!wql_same_text(key, name)) continue;
      VariantInit(out);
      out->vt = v.vt;
      if (v.vt == VT_BSTR)
        out->bstrVal = SysAllocString(v.text.c_str());
      else
        out->llVal = v.number;
      if (type) *type = v.vt;
      if (flavor) *flavor = 0;
      return 0;
    }
    return WBEM_E_NOT_FOUND;
  }
  void add(const std::wstring& name, value v) { _values.emplace_back(name, std::move(v)); }

 private:
  ~wql_object() override = default;
  std::vector<std::pair<std::wstring, value>> _values;
};

class wql_enum : public ref_counted<IEnumWbemClassObject> {
 public:
  long Next(long, unsigned long count, IWbemClassObject** objects, unsigned long* returned) override {
    if (!returned || (count && !objects)) return static_cast<long>(static_cast<int>(0x80070057u));
    unsigned long n = 0;
    for (; n < count && _next < _objects.size(); ++n) {
      objects[n] = _objects[_next++];
      objects[n]->AddRef();
    }
    *returned = n;
    return n == count ? 0 : WBEM_S_FALSE;
  }
  void add(wql_object* object) { _objects.push_back(object); }

 private:
  ~wql_enum() override {
    for (wql_object* o : _objects) o->Release();
  }
  std::vector<wql_object*> _objects;
  std::size_t _next = 0;
};

// ---------------------------------------------------------------------------
// Classes
// ---------------------------------------------------------------------------

// A row source: each row answers a property by its index in the class's
// property list.
using row_reader = std::function<value(std::size_t property)>;

struct wql_class {
  const wchar_t* name;
  std::vector<const wchar_t*> properties;
  // Calls `row` once per row with that row's reader.
  std::function<void(const std::function<void(const row_reader&)>& row)> rows;
};

// The local date-time text of a moment: "yyyymmddHHMMSS.mmmmmm+UUU".
std::wstring datetime_text(long long seconds) {
  const time_t t = static_cast<time_t>(seconds);
  struct tm local;
  if (!localtime_r(&t, &local)) return std::wstring();
  const long offset = local.tm_gmtoff / 60;
  wchar_t text[64];
  std::swprintf(text, 64, L"%04d%02d%02d%02d%02d%02d.000000%c%03ld", local.tm_year + 1900,
                local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
                offset < 0 ? L'-' : L'+', offset < 0 ? -offset : offset);
  return text;
}

const std::vector<wql_class>& classes() {
  static const std::vector<wql_class> all = {
      {L"Win32_OperatingSystem",
       {L"LastBootUpTime"},
       [](const auto& row) {
         row([](std::size_t) {
           long long boot = 0;
           ::tzset();
           return boot_time_seconds(boot) == 0 ? text_value(datetime_text(boot)) : value{};
         });
       }},
      {L"Win32_PerfFormattedData_PerfOS_System",
       {L"SystemUpTime"},
       [](const auto& row) {
         row([](std::size_t) {
           return number_value(VT_UI8, static_cast<long long>(boottime_ms() / 1000));
         });
       }},
      {L"Win32_Process",
       {L"Caption", L"Name", L"ProcessID", L"ExecutablePath"},
       [](const auto& row) {
         std::vector<unsigned long> pids;
         if (EnumerateProcesses(pids) != 0) return;
         for (unsigned long pid : pids) {
           row([pid](std::size_t property) {
             if (property == 2) return number_value(VT_I4, static_cast<long long>(pid));
             std::wstring name;
             if (process_name(pid, property == 3, name) != 0) return value{};
             return text_value(name);
           });
         }
       }},
  };
  return all;
}

}  // namespace

long exec_wql(const std::wstring& language, const std::wstring& text, long,
              IEnumWbemClassObject** result) {
  if (!result) return static_cast<long>(static_cast<int>(0x80004003u));
  *result = nullptr;
  if (!wql_same_text(language, L"WQL")) return WBEM_E_INVALID_QUERY_TYPE;
  wql_query query;
  if (const long hr = parse_wql(text, query)) return hr;
  const wql_class* found = nullptr;
  for (const wql_class& c : classes())
    if (wql_same_text(c.name, query.class_name)) found = &c;
  if (!found) return WBEM_E_INVALID_CLASS;
  // The selected properties by their index in the class, spelled as the
  // class spells them.
  std::vector<std::size_t> selected;
  if (query.all) {
    for (std::size_t i = 0; i < found->properties.size(); ++i) selected.push_back(i);
  } else {
    for (const std::wstring& p : query.properties) {
      std::size_t i = 0;
      while (i < found->properties.size() && !wql_same_text(found->properties[i], p)) ++i;
      if (i == found->properties.size()) return WBEM_E_NOT_FOUND;
      selected.push_back(i);
    }
  }
  auto* e = new wql_enum();
  found->rows([&](const row_reader& read) {
    auto* o = new wql_object();
    for (std::size_t i : selected) o->add(found->properties[i], read(i));
    e->add(o);
  });
  *result = e;
  return 0;
}

}  // namespace krCore::detail

extern "C" {

BSTR SysAllocString(const wchar_t* text) {
  if (!text) return nullptr;
  const std::size_t n = std::wcslen(text);
  auto* copy = new (std::nothrow) wchar_t[n + 1];
  if (copy) std::wmemcpy(copy, text, n + 1);
  return copy;
}

void SysFreeString(BSTR text) { delete[] text; }

void VariantInit(VARIANT* value) {
  if (!value) return;
  value->vt = VT_EMPTY;
  value->wReserved1 = value->wReserved2 = value->wReserved3 = 0;
  value->llVal = 0;
}

long VariantClear(VARIANT* value) {
  if (!value) return static_cast<long>(static_cast<int>(0x80070057u));
  if (value->vt == VT_BSTR) SysFreeString(value->bstrVal);
  VariantInit(value);
  return 0;
}

}  // extern "C"
