// Internal: the management-query layer. A query "SELECT <props|*> FROM
// <class>" is parsed, checked against the class's properties, and answered
// with a forward-only enumerator over objects made when the query runs.
#pragma once

#include <krcore/processes.h>

#include <string>
#include <vector>

#include "foundation/internal.h"

namespace krCore::detail {

struct wql_query {
  std::wstring class_name;
  std::vector<std::wstring> properties;  // as written; empty for '*'
  bool all = false;
};

// Equality of names ignoring case.
KRCORE_INTERNAL bool wql_same_text(const std::wstring& a, const std::wstring& b);

// Parses the text (keywords ignore case; names are letters, digits and '_').
// 0, or WBEM_E_INVALID_QUERY for anything but the one statement form.
KRCORE_INTERNAL long parse_wql(const std::wstring& text, wql_query& query);

// Runs a query of `language` ("WQL", ignoring case; else
// WBEM_E_INVALID_QUERY_TYPE): 0 with a new enumerator in `*result` (one
// reference for the caller), or the parse error, WBEM_E_INVALID_CLASS, or
// WBEM_E_NOT_FOUND for a property the class lacks.
KRCORE_INTERNAL long exec_wql(const std::wstring& language, const std::wstring& text, long flags,
                              IEnumWbemClassObject** result);

}  // namespace krCore::detail
