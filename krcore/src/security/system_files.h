// Internal: where the machine facts come from on a host: the folder that
// holds the system's configuration files, Samba's view of the machine's
// domain membership, the machine's chassis, and the registry values the
// facts read.
//
// Every path is taken below one system root ("/" normally) so that tests can
// point the whole family at a folder of their own.
#pragma once

#include <krcore/wintypes.h>

#include <functional>
#include <string>

#include "foundation/internal.h"

namespace krCore::detail {

// Replaces the system root ("" restores "/"). Thread-safe.
KRCORE_INTERNAL void set_system_root(const std::string& root);
// `relative` (without a leading slash) below the system root.
KRCORE_INTERNAL std::string system_path(const std::string& relative);
// The whole file, or false when it cannot be read.
KRCORE_INTERNAL bool read_text_file(const std::string& path, std::string& content);

// What Samba's configuration says about the machine.
struct samba_facts {
  bool configured = false;         // the file exists
  std::wstring workgroup;          // "WORKGROUP" when not set
  std::wstring realm;              // the Kerberos realm as written
  std::wstring security;           // lower case: "user", "ads", "domain", ...
  std::wstring server_role;        // lower case, as written
  bool domain_member = false;      // in a domain (a member or a controller)
  bool domain_controller = false;  // an Active Directory domain controller
};

// Parses the [global] section of an smb.conf text: names compare without
// case and without white space, values are trimmed, '#' and ';' start
// comments, a line ending in '\' continues on the next.
KRCORE_INTERNAL samba_facts parse_smb_conf(const std::string& content);
// The facts of etc/samba/smb.conf below the system root.
KRCORE_INTERNAL samba_facts read_samba_facts();

// True when the machine describes itself as a desktop, laptop, convertible
// or tablet: etc/machine-info CHASSIS, else the DMI chassis type.
KRCORE_INTERNAL bool machine_is_workstation();

// Reads a DWORD value under HKEY_LOCAL_MACHINE: 0 with `data` set, 2 when
// the key or the value is missing or the value is not a DWORD, any other
// code when the key cannot be opened.
using registry_dword_reader =
    std::function<unsigned long(const std::wstring& subkey, const std::wstring& value, DWORD& data)>;
// Replaces the reader; an empty function restores the default, which reads
// the machine's registry. Thread-safe.
KRCORE_INTERNAL void set_registry_dword_reader(registry_dword_reader reader);
unsigned long read_registry_dword(const std::wstring& subkey, const std::wstring& value,
                                  DWORD& data);

}  // namespace krCore::detail
