// The statement parser of the management-query layer: one statement form,
// "SELECT <names|*> FROM <name>", keywords and names in any case.
#include <cwctype>

#include "processes/wql.h"

namespace krCore::detail {

bool wql_same_text(const std::wstring& a, const std::wstring& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (std::towlower(static_cast<wint_t>(a[i])) != std::towlower(static_cast<wint_t>(b[i])))
      return false;
  return true;
}

namespace {

class tokens {
 public:
  explicit tokens(const std::wstring& text) : _text(text) {}
  // The next token: a name, or one punctuation character; empty at the end.
  std::wstring next() {
    while (_at < _text.size() && std::iswspace(static_cast<wint_t>(_text[_at]))) ++_at;
    if (_at >= _text.size()) return std::wstring();
    const std::size_t start = _at;
    if (name_char(_text[_at])) {
      while (_at < _text.size() && name_char(_text[_at])) ++_at;
    } else {
      ++_at;
    }
    return _text.substr(start, _at - start);
  }
  static bool name_char(wchar_t c) {
    return (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z') || (c >= L'0' && c <= L'9') ||
           c == L'_';
  }
  static bool is_name(const std::wstring& t) {
    return !t.empty() && name_char(t[0]) && !(t[0] >= L'0' && t[0] <= L'9');
  }

 private:
  const std::wstring& _text;
  std::size_t _at = 0;
};

}  // namespace

long parse_wql(const std::wstring& text, wql_query& query) {
  query = wql_query();
  tokens t(text);
  if (!wql_same_text(t.next(), L"SELECT")) return WBEM_E_INVALID_QUERY;
  std::wstring token = t.next();
  if (token == L"*") {
    query.all = true;
    token = t.next();
  } else {
    for (;;) {
      if (!tokens::is_name(token) || wql_same_text(token, L"FROM")) return WBEM_E_INVALID_QUERY;
      query.properties.push_back(token);
      token = t.next();
      if (token != L",") break;
      token = t.next();
    }
  }
  if (!wql_same_text(token, L"FROM")) return WBEM_E_INVALID_QUERY;
  query.class_name = t.next();
  if (!tokens::is_name(query.class_name) || !t.next().empty()) return WBEM_E_INVALID_QUERY;
  return 0;
}

}  // namespace krCore::detail
