// Security identifiers on Linux: names and ids of the account database in,
// one SID per identity out, after the table in the public header. The
// machine SID is a stable hash of the machine id, so every process on the
// machine and every restart sees the same one. Also the administrator
// questions, which ask the calling thread's uid and groups.
#include <krcore/security.h>

#include <algorithm>
#include <cwctype>
#include <string>

#include "foundation/errors.h"
#include "foundation/utf.h"
#include "security/accounts.h"
#include "security/identity.h"
#include "security/system_files.h"
#include "security/text.h"

namespace krCore {
namespace detail {

namespace {

constexpr int kUser = 1;
constexpr int kGroup = 2;

std::uint64_t fnv1a(const std::string& text) {
  std::uint64_t h = 0xcbf29ce484222325ull;
  for (unsigned char c : text) {
    h ^= c;
    h *= 0x100000001b3ull;
  }
  return h;
}

CSid user_sid(const user_entry& u) {
  const std::wstring sid = u.uid == 0 ? L"S-1-5-18" : L"S-1-22-1-" + std::to_wstring(u.uid);
  return sid_access::make(sid, wide_from_utf8(u.name), GetComputerNameW(false), kUser, u.uid);
}

CSid group_sid(const group_entry& g) {
  group_entry admins;
  if (admin_group(admins) && admins.gid == g.gid)
    return sid_access::make(L"S-1-5-32-544", wide_from_utf8(g.name), L"BUILTIN", kGroup, g.gid);
  return sid_access::make(L"S-1-22-2-" + std::to_wstring(g.gid), wide_from_utf8(g.name),
                          GetComputerNameW(false), kGroup, g.gid);
}

CSid machine_sid() {
  const std::wstring computer = GetComputerNameW(false);
  return sid_access::make(machine_sid_text(), computer, computer, 0, 0);
}

bool lookup_unix_name(const std::wstring& name, CSid& out) {
  const std::string narrow = utf8_from_wide(name);
  user_entry u;
  if (user_by_name(narrow, u)) {
    out = user_sid(u);
    return true;
  }
  group_entry g;
  if (group_by_name(narrow, g)) {
    out = group_sid(g);
    return true;
  }
  return false;
}

bool resolve(const std::wstring& name, CSid& out) {
  std::wstring domain, user = name;
  const size_t slash = name.find(L'\\');
  if (slash != std::wstring::npos) {
    domain = name.substr(0, slash);
    user = name.substr(slash + 1);
  }
  const std::wstring computer = GetComputerNameW(false);
  const bool builtin = iequal(domain, L"BUILTIN");
  const bool local = domain.empty() || domain == L"." || iequal(domain, computer);
  if (local || builtin) {
    if (iequal(user, L"Administrators")) {
      out = Sids::Admins();
      return true;
    }
    if (builtin) return false;
    if (!computer.empty() && (iequal(user, computer) || iequal(user, computer + L"$"))) {
      out = machine_sid();
      return !out.Sid().empty();
    }
    return lookup_unix_name(user, out);
  }
  // A domain account: as NSS spells it with a domain (sssd and winbind
  // accept both forms), never the bare name, which could be a local account.
  return lookup_unix_name(name, out) || lookup_unix_name(user + L"@" + domain, out);
}

// Parses "S-1-<authority>-<sub>..." into its numbers; false for other text.
bool parse_sid(const std::wstring& text, std::vector<unsigned long long>& parts) {
  if (text.size() < 4 || (text[0] != L'S' && text[0] != L's') || text[1] != L'-') return false;
  size_t i = 2;
  while (i <= text.size()) {
    const size_t end = std::min(text.find(L'-', i), text.size());
    if (end == i || end - i > 12) return false;
    unsigned long long value = 0;
    for (size_t k = i; k < end; ++k) {
      if (text[k] < L'0' || text[k] > L'9') return false;
      value = value * 10 + static_cast<unsigned long long>(text[k] - L'0');
    }
    parts.push_back(value);
    i = end + 1;
  }
  // Revision 1, an authority and at most 15 sub-authorities of 32 bits.
  if (parts.size() < 2 || parts.size() > 17 || parts[0] != 1) return false;
  for (size_t k = 2; k < parts.size(); ++k)
    if (parts[k] > 0xFFFFFFFFull) return false;
  return true;
}

}  // namespace

bool machine_sid_parts(unsigned long parts[3]) {
  std::string id;
  if (!read_text_file(system_path("etc/machine-id"), id) &&
      !read_text_file(system_path("var/lib/dbus/machine-id"), id))
    return false;
  while (!id.empty() && (id.back() == '\n' || id.back() == ' ' || id.back() == '\r')) id.pop_back();
  if (id.empty()) return false;
  for (int i = 0; i < 3; ++i) {
    const std::uint64_t h = fnv1a(std::string(1, static_cast<char>('a' + i)) + id);
    parts[i] = static_cast<unsigned long>((h ^ (h >> 32)) & 0xFFFFFFFFull);
  }
  return true;
}

std::wstring machine_sid_text() {
  unsigned long parts[3];
  if (!machine_sid_parts(parts)) return std::wstring();
  return L"S-1-5-21-" + std::to_wstring(parts[0]) + L"-" + std::to_wstring(parts[1]) + L"-" +
         std::to_wstring(parts[2]);
}


unsigned long lookup_account(const std::wstring& name, CSid& out) {
  return resolve(name, out) ? 0ul : static_cast<unsigned long>(kErrorNoneMapped);
}

unsigned long account_domain_sid(std::wstring& text) {
  // The account domain cannot be read without a machine id (2: not found).
  text = machine_sid_text();
  return text.empty() ? 2 : 0;
}

bool is_admin_equivalent() { return effective_uid() == 0 || in_admin_group(); }

TOKEN_ELEVATION_TYPE elevation_type() {
  if (effective_uid() == 0) return TokenElevationTypeFull;
  return in_admin_group() ? TokenElevationTypeLimited : TokenElevationTypeDefault;
}

// A member of the administrators' group holds a limited token until it
// becomes root, so the policy is on unless it says otherwise.
bool elevation_policy_default() { return true; }

}  // namespace detail

CSid CSid::FromString(const std::wstring& text) {
  std::vector<unsigned long long> parts;
  if (!detail::parse_sid(text, parts)) throw w32_exception(detail::kErrorInvalidSid);
  std::wstring sid = L"S";
  for (unsigned long long p : parts) sid += L"-" + std::to_wstring(p);
  if (sid == L"S-1-5-18") return Sids::System();
  if (sid == L"S-1-5-32-544") return Sids::Admins();
  if (parts.size() == 4 && parts[1] == 22 && parts[2] == 1)
    return FromUid(static_cast<unsigned int>(parts[3]));
  if (parts.size() == 4 && parts[1] == 22 && parts[2] == 2)
    return FromGid(static_cast<unsigned int>(parts[3]));
  const std::wstring machine = detail::machine_sid_text();
  if (!machine.empty() && sid == machine + L"-500") return Sids::System();
  if (!machine.empty() && sid == machine) return detail::machine_sid();
  return detail::sid_access::make(sid, L"", L"", 0, 0);
}

CSid CSid::FromUid(unsigned int uid) {
  detail::user_entry u;
  if (!detail::user_by_id(uid, u)) {
    u.uid = uid;
    CSid out = detail::user_sid(u);
    out._account.clear();
    out._domain.clear();
    return out;
  }
  return detail::user_sid(u);
}

CSid CSid::FromGid(unsigned int gid) {
  detail::group_entry g;
  if (!detail::group_by_id(gid, g)) {
    return detail::sid_access::make(L"S-1-22-2-" + std::to_wstring(gid), L"", L"",
                                    detail::kGroup, gid);
  }
  return detail::group_sid(g);
}

CSid CSid::CurrentUser() { return FromUid(detail::effective_uid()); }

namespace Sids {

CSid Admins() {
  detail::group_entry admins;
  if (detail::admin_group(admins)) return detail::group_sid(admins);
  return detail::sid_access::make(L"S-1-5-32-544", L"Administrators", L"BUILTIN", 0, 0);
}

CSid System() { return CSid::FromUid(0); }

}  // namespace Sids

}  // namespace krCore
