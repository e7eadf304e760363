// The system root that every machine fact is read below, the registry
// reader the facts use, and the parser of Samba's configuration, which is
// where a Linux machine keeps its Windows domain membership.
#include "security/system_files.h"

#include <krcore/registry.h>
#include <cwctype>
#include <fstream>
#include <mutex>
#include <sstream>

#include "foundation/kill_hold.h"
#include "foundation/utf.h"
#include "security/text.h"
#include "foundation/errors.h"

namespace krCore::detail {
namespace {

library_mutex g_knobs;
std::string g_root = "/";
registry_dword_reader g_reader;

std::string trim(const std::string& text) {
  const char* space = " \t\r\n";
  const size_t first = text.find_first_not_of(space);
  if (first == std::string::npos) return std::string();
  return text.substr(first, text.find_last_not_of(space) - first + 1);
}

// Samba treats "server role", "serverrole" and "Server Role" alike.
std::string parameter_key(const std::string& name) {
  std::string key;
  for (char c : name)
    if (c != ' ' && c != '\t') key += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return key;
}

}  // namespace

void set_system_root(const std::string& root) {
  std::lock_guard<library_mutex> lock(g_knobs);
  g_root = root.empty() ? "/" : root;
  if (g_root.back() != '/') g_root += '/';
}

std::string system_path(const std::string& relative) {
  std::lock_guard<library_mutex> lock(g_knobs);
  return g_root + relative;
}

bool read_text_file(const std::string& path, std::string& content) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return false;
  std::ostringstream out;
  out << file.rdbuf();
  content = out.str();
  return true;
}

samba_facts parse_smb_conf(const std::string& content) {
  samba_facts facts;
  facts.configured = true;
  std::istringstream lines(content);
  std::string line, pending;
  bool in_global = false;
  while (std::getline(lines, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty() && line.back() == '\\') {
      pending += line.substr(0, line.size() - 1);
      continue;
    }
    line = trim(pending + line);
    pending.clear();
    if (line.empty() || line[0] == '#' || line[0] == ';') continue;
    if (line[0] == '[') {
      const size_t end = line.find(']');
      in_global = parameter_key(line.substr(1, end == std::string::npos ? std::string::npos
                                                                         : end - 1)) == "global";
      continue;
    }
    const size_t eq = line.find('=');
    if (!in_global || eq == std::string::npos) continue;
    const std::string key = parameter_key(line.substr(0, eq));
    const std::wstring value = wide_from_utf8(trim(line.substr(eq + 1)));
    if (key == "workgroup") facts.workgroup = value;
    else if (key == "realm") facts.realm = value;
    else if (key == "security") facts.security = lower_case(value);
    else if (key == "serverrole") facts.server_role = lower_case(value);
  }
  if (facts.workgroup.empty()) facts.workgroup = L"WORKGROUP";
  facts.domain_controller = facts.server_role == L"active directory domain controller" ||
                            facts.server_role == L"dc";
  facts.domain_member = facts.domain_controller || facts.security == L"ads" ||
                        facts.security == L"domain" || facts.server_role == L"member server";
  return facts;
}

samba_facts read_samba_facts() {
  std::string content;
  if (!read_text_file(system_path("etc/samba/smb.conf"), content)) {
    samba_facts facts;
    facts.workgroup = L"WORKGROUP";
    return facts;
  }
  return parse_smb_conf(content);
}

void set_registry_dword_reader(registry_dword_reader reader) {
  std::lock_guard<library_mutex> lock(g_knobs);
  g_reader = std::move(reader);
}

unsigned long read_registry_dword(const std::wstring& subkey, const std::wstring& value,
                                  DWORD& data) {
  registry_dword_reader reader;
  {
    std::lock_guard<library_mutex> lock(g_knobs);
    reader = g_reader;
  }
  if (reader) return reader(subkey, value, data);
  HKEY key = nullptr;
  LSTATUS rc = RegOpenKeyExW(HKEY_LOCAL_MACHINE, subkey.c_str(), 0, KEY_READ, &key);
  if (rc != 0) return static_cast<unsigned long>(rc);
  DWORD type = 0, read = 0, size = sizeof read;
  rc = RegQueryValueExW(key, value.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(&read), &size);
  RegCloseKey(key);
  // A value of another type (a string, or more than four bytes) reads as
  // missing: the settings read through here are "missing or zero" switches.
  if (rc == 0 && type == REG_DWORD && size == sizeof read) {
    data = read;
    return 0;
  }
  if (rc == 0 || rc == kErrorMoreData) return kErrorFileNotFound;
  return static_cast<unsigned long>(rc);
}

}  // namespace krCore::detail
