// The scope of auto_privilege: raised on construction, lowered on
// destruction. What raising and lowering mean is the platform half's set().
#include <krcore/security.h>

namespace krCore {

auto_privilege::auto_privilege(const std::wstring& privilege) : auto_privilege(privilege, false) {}

auto_privilege::auto_privilege(const std::wstring& privilege, bool openasself)
    : _privilege(privilege), _openAsSelf(openasself) {
  set(true);
}

auto_privilege::~auto_privilege() { set(false); }

}  // namespace krCore
