// The logger's include and exclude filters (see log_filter.h). A filter
// matches anywhere in the line, prefix included, so an administrator can
// select by level tag or process id as well as by text.
#include "logging/log_filter.h"

#include <algorithm>
#include <boost/algorithm/string/predicate.hpp>
#include <locale>

namespace krCore::detail {

bool filters_admit(std::wstring_view line, const std::vector<std::wstring>& include,
                   const std::vector<std::wstring>& exclude) {
  if (include.empty() && exclude.empty()) return true;
  const std::locale locale;
  const auto contains = [&](const std::wstring& filter) {
    return boost::algorithm::icontains(line, filter, locale);
  };
  if (!include.empty() && std::none_of(include.begin(), include.end(), contains)) return false;
  return std::none_of(exclude.begin(), exclude.end(), contains);
}

}  // namespace krCore::detail
