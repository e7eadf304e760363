// krreg: the administrator's tool for the machine's settings store. It
// reads, writes, deletes, exports, imports and watches keys through the
// library's registry calls, with the commands and output of the Windows
// `reg` tool, so that a setting is changed the same way on every machine.
#include <fcntl.h>
#include <unistd.h>

#include <krcore/foundation.h>
#include <krcore/registry.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <algorithm>
#include <iostream>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>
#include <cwctype>

#include "foundation/linux/untrusted_file.h"
#include "foundation/utf.h"
#include "regfile.h"
#include "registry/store.h"
#include "registry/value_file.h"

namespace {

using krCore::detail::file_name_from_wide;
using krCore::detail::utf8_from_wide;
using krCore::detail::wide_from_file_name;
using krCore::detail::wide_from_utf8;
namespace reg = krCore::detail::reg;

// A failure the tool reports in one line and ends with exit code 1.
struct failure : std::runtime_error {
  using std::runtime_error::runtime_error;
};

const char* const kNotFound = "The system was unable to find the specified registry key or value.";

// The shape is the usual one of command-line tools ("Usage:", "  or:"), which
// the manual page is generated from.
const char* const kUsage =
    "Usage: krreg query  KEY [/v NAME | /ve] [/s]\n"
    "  or:  krreg add    KEY [/v NAME | /ve] [/t TYPE] [/s SEP] [/d DATA] [/f]\n"
    "  or:  krreg delete KEY [/v NAME | /ve | /va] [/f]\n"
    "  or:  krreg export KEY FILE [/y]\n"
    "  or:  krreg import FILE\n"
    "  or:  krreg watch  KEY\n"
    "  or:  krreg --version\n"
    "Reads and changes the settings store.\n"
    "\n"
    "KEY is ROOT\\SUBKEY or ROOT/SUBKEY, ROOT one of HKLM, HKCU, HKU, HKCR (or their long\n"
    "names). Switches start with / or -. TYPE: REG_SZ (default), REG_EXPAND_SZ,\n"
    "REG_MULTI_SZ (strings separated by SEP, default \\0), REG_DWORD, REG_QWORD (decimal or\n"
    "0x hex), REG_BINARY, REG_NONE (hex digits). /f: no confirmation. FILE - is standard\n"
    "output (export) or input (import). export asks before it replaces a file; /y: no\n"
    "question (without a terminal to ask, an existing file is replaced only with /y).\n"
    "watch prints each change with the values that changed and their new data. The\n"
    "store's root is /etc/krcore/registry, or $KRCORE_REGISTRY_ROOT.\n";

// The largest .reg file import reads: far beyond any settings tree, and a
// bound for a device or a stream that never ends.
constexpr size_t kMaxImportBytes = size_t{64} << 20;

void out(const std::wstring& text) {
  const std::string bytes = utf8_from_wide(text);
  std::fwrite(bytes.data(), 1, bytes.size(), stdout);
}

std::string code_text(LSTATUS rc) {
  if (rc == 2 || rc == 3) return kNotFound;
  std::string text = krCore::convertwstringtostring(krCore::geterrormessage(static_cast<unsigned long>(rc)));
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

void check(LSTATUS rc) {
  if (rc != 0) throw failure(code_text(rc));
}

struct key_path {
  HKEY root = nullptr;
  std::wstring root_name;  // long form, as output and .reg files name it
  std::wstring sub;

  std::wstring full() const { return sub.empty() ? root_name : root_name + L"\\" + sub; }
};

key_path parse_key(std::wstring text) {
  for (wchar_t& c : text)
    if (c == L'/') c = L'\\';
  const size_t slash = text.find(L'\\');
  std::wstring root = text.substr(0, slash);
  for (wchar_t& c : root) c = static_cast<wchar_t>(std::towupper(static_cast<wint_t>(c)));
  struct {
    const wchar_t* shorter;
    const wchar_t* longer;
    HKEY key;
  } const roots[] = {{L"HKLM", L"HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE},
                     {L"HKCU", L"HKEY_CURRENT_USER", HKEY_CURRENT_USER},
                     {L"HKU", L"HKEY_USERS", HKEY_USERS},
                     {L"HKCR", L"HKEY_CLASSES_ROOT", HKEY_CLASSES_ROOT}};
  key_path path;
  for (const auto& r : roots) {
    if (root == r.shorter || root == r.longer) {
      path.root = r.key;
      path.root_name = r.longer;
    }
  }
  if (!path.root) throw failure("Invalid key name [" + utf8_from_wide(text) + "].");
  if (slash != std::wstring::npos) path.sub = text.substr(slash + 1);
  while (!path.sub.empty() && path.sub.back() == L'\\') path.sub.pop_back();
  return path;
}

// An open key, closed at scope end.
class open_key {
 public:
  open_key(const key_path& path, bool create, REGSAM access) {
    const LSTATUS rc = create ? RegCreateKeyExW(path.root, path.sub.c_str(), 0, nullptr, 0, access,
                                                nullptr, &_key, nullptr)
                              : RegOpenKeyExW(path.root, path.sub.c_str(), 0, access, &_key);
    check(rc);
  }
  ~open_key() { RegCloseKey(_key); }
  open_key(const open_key&) = delete;
  open_key& operator=(const open_key&) = delete;
  HKEY get() const { return _key; }

 private:
  HKEY _key = nullptr;
};

// The switches after KEY.
struct switches {
  bool has_value = false;  // /v or /ve
  std::wstring value;
  bool all_values = false;  // /va
  bool recurse = false;     // /s without an argument (query)
  bool force = false;
  std::wstring type = L"REG_SZ";
  std::wstring separator = L"\\0";
  std::wstring data;
  bool has_data = false;
};

switches parse_switches(const std::vector<std::wstring>& args, size_t from, bool s_takes_value) {
  switches s;
  for (size_t i = from; i < args.size(); ++i) {
    std::wstring a = args[i];
    if (a.size() < 2 || (a[0] != L'/' && a[0] != L'-'))
      throw failure("Invalid syntax [" + utf8_from_wide(a) + "].");
    std::wstring name = a.substr(1);
    for (wchar_t& c : name) c = static_cast<wchar_t>(std::towlower(static_cast<wint_t>(c)));
    auto next = [&]() -> std::wstring {
      if (i + 1 >= args.size()) throw failure("Missing argument after " + utf8_from_wide(a) + ".");
      return args[++i];
    };
    if (name == L"v") {
      s.has_value = true;
      s.value = next();
    } else if (name == L"ve") {
      s.has_value = true;
      s.value.clear();
    } else if (name == L"va") {
      s.all_values = true;
    } else if (name == L"s" && s_takes_value) {
      s.separator = next();
    } else if (name == L"s") {
      s.recurse = true;
    } else if (name == L"f") {
      s.force = true;
    } else if (name == L"t") {
      s.type = next();
    } else if (name == L"d") {
      s.data = next();
      s.has_data = true;
    } else {
      throw failure("Invalid syntax [" + utf8_from_wide(a) + "].");
    }
  }
  return s;
}

// --- query ---------------------------------------------------------------

std::wstring display_data(DWORD type, const std::vector<BYTE>& data) {
  const auto strings = reg::strings_of_image(data.data(), data.size());
  wchar_t number[32];
  if (type == REG_DWORD && data.size() == 4) {
    std::swprintf(number, 32, L"0x%x",
                  static_cast<unsigned>(data[0] | (data[1] << 8) | (data[2] << 16) |
                                        (static_cast<unsigned>(data[3]) << 24)));
    return number;
  }
  if (type == REG_QWORD && data.size() == 8) {
    unsigned long long v = 0;
    for (size_t i = 8; i-- > 0;) v = (v << 8) | data[i];
    std::swprintf(number, 32, L"0x%llx", v);
    return number;
  }
  if (type == REG_SZ || type == REG_EXPAND_SZ) return strings.empty() ? L"" : strings[0];
  if (type == REG_MULTI_SZ) {
    std::wstring joined;
    for (size_t i = 0; i < strings.size(); ++i) joined += (i ? L"\\0" : L"") + strings[i];
    return joined;
  }
  std::wstring hex;
  for (BYTE b : data) {
    std::swprintf(number, 32, L"%02X", b);
    hex += number;
  }
  return hex;
}

std::wstring type_text(DWORD type) {
  const char* name = reg::type_name(type);
  return name ? wide_from_utf8(name) : L"REG_UNKNOWN";
}

// A value's type and data; read again when it grew between the size query
// and the read (another writer).
std::vector<BYTE> read_value(HKEY key, const std::wstring& name, DWORD& type) {
  DWORD size = 0;
  check(RegQueryValueExW(key, name.c_str(), nullptr, &type, nullptr, &size));
  for (;;) {
    std::vector<BYTE> data(size);
    const LSTATUS rc = RegQueryValueExW(key, name.c_str(), nullptr, &type, data.data(), &size);
    if (rc == 234) continue;
    check(rc);
    data.resize(size);
    return data;
  }
}

// Values that could not be read. Query and export name each one on the
// error stream and go on with the rest: one broken file must not hide a
// key's other settings, nor make a backup impossible. The tool then ends
// with exit code 1, so that a script sees the output is incomplete.
int g_unreadable = 0;

// Names a value that cannot be read, with the store's account of what is
// wrong with its file when it gave one.
void report_unreadable(const key_path& path, const std::wstring& name, const failure& e) {
  ++g_unreadable;
  std::string line = "ERROR: Value [" + utf8_from_wide(name.empty() ? L"(Default)" : name) +
                     "] of [" + utf8_from_wide(path.full()) + "] cannot be read: " + e.what();
  const std::string detail = reg::last_refusal();
  if (!detail.empty()) line += " (" + detail + ")";
  (void)std::fprintf(stderr, "%s\n", line.c_str());
}

std::wstring value_line(HKEY key, const std::wstring& name) {
  DWORD type = 0;
  const std::vector<BYTE> data = read_value(key, name, type);
  return L"    " + (name.empty() ? std::wstring(L"(Default)") : name) + L"    " +
         type_text(type) + L"    " + display_data(type, data) + L"\n";
}

// The names an enumeration call gives for index 0, 1, … until it reports
// no more items, growing the buffer whenever a name does not fit.
template <class Enumerate>
std::vector<std::wstring> enumerated_names(Enumerate enumerate) {
  std::vector<std::wstring> names;
  std::vector<wchar_t> buffer(256);
  for (DWORD i = 0;; ++i) {
    DWORD n = static_cast<DWORD>(buffer.size());
    const LSTATUS rc = enumerate(i, buffer.data(), &n);
    if (rc == 259) break;
    if (rc == 234) {
      buffer.resize(buffer.size() * 4);
      --i;
      continue;
    }
    check(rc);
    names.emplace_back(buffer.data(), n);
  }
  return names;
}

std::vector<std::wstring> subkey_names(HKEY key) {
  return enumerated_names([key](DWORD i, wchar_t* name, DWORD* size) {
    return RegEnumKeyExW(key, i, name, size, nullptr, nullptr, nullptr, nullptr);
  });
}

std::vector<std::wstring> value_names(HKEY key) {
  return enumerated_names([key](DWORD i, wchar_t* name, DWORD* size) {
    return RegEnumValueW(key, i, name, size, nullptr, nullptr, nullptr, nullptr);
  });
}


key_path child(const key_path& parent, const std::wstring& name) {
  key_path k = parent;
  k.sub = parent.sub.empty() ? name : parent.sub + L"\\" + name;
  return k;
}

void query_key(const key_path& path, bool recurse) {
  open_key key(path, false, KEY_READ);
  out(L"\n" + path.full() + L"\n");
  for (const std::wstring& name : value_names(key.get())) {
    try {
      out(value_line(key.get(), name));
    } catch (const failure& e) {
      (void)std::fflush(stdout);
      report_unreadable(path, name, e);
    }
  }
  const std::vector<std::wstring> subkeys = subkey_names(key.get());
  if (recurse) {
    for (const std::wstring& name : subkeys) query_key(child(path, name), true);
    return;
  }
  out(L"\n");
  for (const std::wstring& name : subkeys) out(child(path, name).full() + L"\n");
}

int do_query(const key_path& path, const switches& s) {
  if (s.has_value) {
    open_key key(path, false, KEY_READ);
    // Shown with its stored spelling, whatever spelling was asked for.
    std::wstring name = s.value;
    for (const std::wstring& stored : value_names(key.get()))
      if (reg::names_equal(stored, name)) name = stored;
    std::wstring line;
    try {
      line = value_line(key.get(), name);  // fails before anything is shown
    } catch (const failure& e) {
      report_unreadable(path, name, e);
      return 1;
    }
    out(L"\n" + path.full() + L"\n" + line);
    out(L"\n");
  } else {
    query_key(path, s.recurse);
  }
  return g_unreadable ? 1 : 0;
}

// --- add -----------------------------------------------------------------

std::vector<BYTE> parse_data(DWORD type, const switches& s) {
  const std::wstring& d = s.data;
  if (type == REG_SZ || type == REG_EXPAND_SZ) return reg::string_image(d);
  if (type == REG_MULTI_SZ) {
    std::vector<std::wstring> list;
    if (s.separator.empty()) throw failure("The separator of /s must not be empty.");
    size_t start = 0;
    while (start <= d.size() && !d.empty()) {
      const size_t end = d.find(s.separator, start);
      list.push_back(d.substr(start, end - start));
      if (end == std::wstring::npos) break;
      start = end + s.separator.size();
    }
    return reg::multi_string_image(list);
  }
  if (type == REG_DWORD || type == REG_QWORD) {
    std::string text = utf8_from_wide(d.empty() ? L"0" : d);
    char* end = nullptr;
    errno = 0;
    const unsigned long long v = std::strtoull(text.c_str(), &end, 0);
    if (text.empty() || *end || errno || text[0] == '-' ||
        (type == REG_DWORD && v > 0xFFFFFFFFull))
      throw failure("Invalid number [" + text + "] for " + utf8_from_wide(s.type) + ".");
    std::vector<BYTE> image;
    for (size_t i = 0; i < (type == REG_DWORD ? 4u : 8u); ++i)
      image.push_back(static_cast<BYTE>(v >> (8 * i)));
    return image;
  }
  std::vector<BYTE> bytes;
  if (d.size() % 2) throw failure("Binary data needs an even number of hex digits.");
  for (size_t i = 0; i < d.size(); i += 2) {
    const std::string pair = utf8_from_wide(d.substr(i, 2));
    char* end = nullptr;
    const unsigned long b = std::strtoul(pair.c_str(), &end, 16);
    if (*end || pair.size() != 2) throw failure("Invalid hex data [" + utf8_from_wide(d) + "].");
    bytes.push_back(static_cast<BYTE>(b));
  }
  return bytes;
}

bool confirm(const std::string& question) {
  std::fprintf(stdout, "%s (Yes/No)? ", question.c_str());
  std::fflush(stdout);
  std::string answer;
  if (!std::getline(std::cin, answer)) return false;
  return answer == "y" || answer == "Y" || answer == "yes" || answer == "Yes" || answer == "YES";
}

int do_add(const key_path& path, const switches& s) {
  DWORD type = 0;
  if (!reg::type_from_name(utf8_from_wide(s.type), type))
    throw failure("Invalid type [" + utf8_from_wide(s.type) + "].");
  open_key key(path, true, KEY_ALL_ACCESS);
  if (s.has_value || s.has_data) {
    const std::vector<BYTE> data = parse_data(type, s);
    DWORD size = 0;
    if (!s.force && RegQueryValueExW(key.get(), s.value.c_str(), nullptr, nullptr, nullptr, &size) == 0 &&
        !confirm("Value " + (s.value.empty() ? std::string("(Default)") : utf8_from_wide(s.value)) +
                 " exists, overwrite"))
      throw failure("The operation was cancelled.");
    check(RegSetValueExW(key.get(), s.value.c_str(), 0, type, data.data(),
                         static_cast<DWORD>(data.size())));
  }
  std::puts("The operation completed successfully.");
  return 0;
}

// --- delete --------------------------------------------------------------

int do_delete(const key_path& path, const switches& s) {
  if (s.has_value || s.all_values) {
    open_key key(path, false, KEY_ALL_ACCESS);
    const std::string what = s.all_values ? "all values under the registry key " + utf8_from_wide(path.full())
                                          : "the registry value " + (s.value.empty() ? std::string("(Default)") : utf8_from_wide(s.value));
    if (!s.force && !confirm("Delete " + what)) throw failure("The operation was cancelled.");
    if (s.all_values) {
      for (const std::wstring& name : value_names(key.get()))
        check(RegDeleteValueW(key.get(), name.c_str()));
    } else {
      check(RegDeleteValueW(key.get(), s.value.c_str()));
    }
  } else {
    if (path.sub.empty()) throw failure("A root key cannot be deleted.");
    { open_key exists(path, false, KEY_READ); }
    if (!s.force && !confirm("Permanently delete the registry key " + utf8_from_wide(path.full())))
      throw failure("The operation was cancelled.");
    check(RegDeleteTreeW(path.root, path.sub.c_str()));
  }
  std::puts("The operation completed successfully.");
  return 0;
}

// --- export / import -----------------------------------------------------

void export_key(const key_path& path, std::wstring& text) {
  open_key key(path, false, KEY_READ);
  krreg::reg_key block;
  block.path = path.full();
  for (const std::wstring& name : value_names(key.get())) {
    krreg::reg_value v;
    v.name = name;
    try {
      v.data = read_value(key.get(), name, v.type);
    } catch (const failure& e) {
      report_unreadable(path, name, e);
      continue;
    }
    block.values.push_back(std::move(v));
  }
  text += krreg::format_reg_key(block);
  for (const std::wstring& name : subkey_names(key.get())) export_key(child(path, name), text);
}

bool write_all(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// Writes the export to `file` ("-": standard output). An existing file is
// replaced only when the administrator says so (or gave /y); a link, FIFO
// or device at its name is never written through.
void write_export(const std::string& file, const std::string& bytes, bool replace) {
  if (file == "-") {
    if (!write_all(STDOUT_FILENO, bytes)) throw failure(std::string("Cannot write the export to standard output: ") + std::strerror(errno) + ".");
    return;
  }
  struct stat st;
  if (lstat(file.c_str(), &st) == 0 && !replace) {
    if (!isatty(STDIN_FILENO))
      throw failure("File " + file + " already exists; /y replaces it.");
    if (!confirm("File " + file + " already exists. Overwrite"))
      throw failure("The operation was cancelled.");
  }
  krCore::detail::unique_fd fd;
  const krCore::detail::file_result opened =
      krCore::detail::open_untrusted_for_write(AT_FDCWD, file, 0, 0644, fd, st);
  if (!opened) throw failure("Cannot write " + opened.diagnostic);
  if (ftruncate(fd.get(), 0) != 0 || !write_all(fd.get(), bytes) || fsync(fd.get()) != 0)
    throw failure("Cannot write [" + file + "]: " + std::strerror(errno) + ".");
}

int do_export(const key_path& path, const std::string& file, bool replace) {
  std::wstring text = std::wstring(krreg::kRegHeader) + L"\r\n\r\n";
  export_key(path, text);
  write_export(file, krreg::encode_reg_file(text), replace);
  // With the export on standard output, the verdict goes to the error stream.
  FILE* const verdict = file == "-" ? stderr : stdout;
  if (g_unreadable) {
    (void)std::fprintf(verdict, "The export left out %d value(s) that cannot be read.\n", g_unreadable);
    return 1;
  }
  (void)std::fputs("The operation completed successfully.\n", verdict);
  return 0;
}

// An import that cannot go on. Before anything was applied (`before` is
// null) the message says so; otherwise it says exactly what was: the
// `*before` blocks ahead of the failing one, that one perhaps in part.
[[noreturn]] void import_failure(const std::string& file, size_t line, const std::string& what,
                                 const size_t* before) {
  std::string text = file + ": line " + std::to_string(line) + ": " + what;
  if (!before)
    text += " Nothing was applied.";
  else
    text += " The " + std::to_string(*before) +
            " key block(s) before this one were applied, this one in part or not at all, "
            "nothing after it.";
  throw failure(text);
}

// Checks every block before anything is applied, so that a mistake anywhere
// in the file leaves the store as it was: each key names a known root and
// deletes none, each value is one the store can keep.
std::vector<key_path> validate_import(const std::vector<krreg::reg_key>& keys,
                                      const std::string& file) {
  std::vector<key_path> paths;
  for (const krreg::reg_key& k : keys) {
    try {
      paths.push_back(parse_key(k.path));
    } catch (const failure& e) {
      import_failure(file, k.line, e.what(), nullptr);
    }
    if (k.remove && paths.back().sub.empty())
      import_failure(file, k.line, "A root key cannot be deleted.", nullptr);
    const std::wstring& sub = paths.back().sub;
    for (size_t start = 0; start < sub.size();) {
      const size_t end = std::min(sub.find(L'\\', start), sub.size());
      if (reg::utf16_units(std::wstring_view(sub).substr(start, end - start)) > reg::kMaxKeyNameUnits)
        import_failure(file, k.line,
                       "The key name [" + utf8_from_wide(sub.substr(start, 40)) +
                           "...] is longer than 255 characters.",
                       nullptr);
      start = end + 1;
    }
    for (const krreg::reg_value& v : k.values) {
      if (reg::utf16_units(v.name) > reg::kMaxValueNameUnits)
        import_failure(file, v.line,
                       "The value name [" + utf8_from_wide(v.name.substr(0, 40)) +
                           "...] is longer than 16383 characters.",
                       nullptr);
      std::string text;
      if (!v.remove && reg::format_value_file(v.type, v.data.data(), v.data.size(), text) != 0)
        import_failure(file, v.line,
                       "The value [" + utf8_from_wide(v.name) + "] of type " +
                           std::to_string(v.type) +
                           " cannot be stored (an unknown type, a number of the wrong size, a "
                           "line break inside a string list, or too large).",
                       nullptr);
    }
  }
  return paths;
}

// The bytes of the file to import ("-": standard input), at most
// kMaxImportBytes. A FIFO, device or folder named as the file is refused
// before anything is read, so the tool never waits on it or reads for ever.
std::string read_import(const std::string& file) {
  std::string bytes;
  if (file != "-") {
    krCore::detail::unique_fd fd;
    struct stat st;
    krCore::detail::file_result r = krCore::detail::open_untrusted(
        AT_FDCWD, file, krCore::detail::file_kind::regular, krCore::detail::final_link::follow,
        fd, st);
    if (r) r = krCore::detail::read_bounded(fd.get(), file, kMaxImportBytes, bytes, 0, &st);
    if (!r) throw failure("Cannot read " + r.diagnostic + " Nothing was applied.");
    return bytes;
  }
  char buffer[65536];
  for (;;) {
    const ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw failure(std::string("Cannot read standard input: ") + std::strerror(errno) + ".");
    if (n == 0) return bytes;
    if (bytes.size() + static_cast<size_t>(n) > kMaxImportBytes)
      throw failure("Standard input holds more than 64 MiB; nothing was applied.");
    bytes.append(buffer, static_cast<size_t>(n));
  }
}

int do_import(const std::string& file) {
  const std::string bytes = read_import(file);
  std::vector<krreg::reg_key> keys;
  try {
    keys = krreg::parse_reg_text(krreg::decode_reg_file(bytes));
  } catch (const std::runtime_error& e) {
    throw failure(file + ": " + e.what() + " Nothing was applied.");
  }
  const std::vector<key_path> paths = validate_import(keys, file);
  for (size_t i = 0; i < keys.size(); ++i) {
    const krreg::reg_key& k = keys[i];
    const key_path& path = paths[i];
    try {
      if (k.remove) {
        const LSTATUS rc = RegDeleteTreeW(path.root, path.sub.c_str());
        if (rc != 2) check(rc);
        continue;
      }
      open_key key(path, true, KEY_ALL_ACCESS);
      for (const krreg::reg_value& v : k.values) {
        if (v.remove) {
          const LSTATUS rc = RegDeleteValueW(key.get(), v.name.c_str());
          if (rc != 2) check(rc);
        } else {
          check(RegSetValueExW(key.get(), v.name.c_str(), 0, v.type, v.data.data(),
                               static_cast<DWORD>(v.data.size())));
        }
      }
    } catch (const failure& e) {
      import_failure(file, k.line, e.what(), &i);
    }
  }
  std::puts("The operation completed successfully.");
  return 0;
}

// --- watch ---------------------------------------------------------------

// A key tree's values: key path -> value name -> "TYPE    DATA", for telling
// what a change changed.
using tree_values = std::map<std::wstring, std::map<std::wstring, std::wstring>>;

void take_values(const key_path& path, tree_values& tree) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(path.root, path.sub.c_str(), 0, KEY_READ, &key) != 0) return;
  std::vector<std::wstring> subkeys;
  try {
    auto& values = tree[path.full()];
    for (const std::wstring& name : value_names(key)) {
      try {
        DWORD type = 0;
        const std::vector<BYTE> data = read_value(key, name, type);
        values[name] = type_text(type) + L"    " + display_data(type, data);
      } catch (const failure&) {
        values[name] = L"(cannot be read)";
      }
    }
    subkeys = subkey_names(key);
  } catch (const failure&) {
    // Gone or unreadable meanwhile: the next change shows what is there.
  }
  RegCloseKey(key);
  for (const std::wstring& name : subkeys) take_values(child(path, name), tree);
}

std::wstring shown_name(const std::wstring& name) { return name.empty() ? L"(Default)" : name; }

// One line per key made or removed and per value set, changed or deleted.
std::wstring changes(const tree_values& before, const tree_values& after) {
  std::wstring text;
  for (const auto& [key, values] : after) {
    const auto old = before.find(key);
    if (old == before.end()) text += L"    " + key + L"    (new key)\n";
    for (const auto& [name, shown] : values) {
      if (old != before.end()) {
        const auto was = old->second.find(name);
        if (was != old->second.end() && was->second == shown) continue;
      }
      text += L"    " + key + L"    " + shown_name(name) + L"    " + shown + L"\n";
    }
    if (old == before.end()) continue;
    for (const auto& [name, shown] : old->second)
      if (!values.count(name)) text += L"    " + key + L"    " + shown_name(name) + L"    (deleted)\n";
  }
  for (const auto& [key, values] : before)
    if (!after.count(key)) text += L"    " + key + L"    (deleted key)\n";
  return text;
}

int do_watch(const key_path& path) {
  open_key key(path, false, KEY_READ | KEY_NOTIFY);
  krCore::manualresetevent changed;
  // The first request is armed before the banner, so that a change made
  // as soon as the banner shows is seen; the key stays watched between two
  // requests, so none made while a line is printed is lost.
  bool first = true;
  tree_values values;
  for (;;) {
    const LSTATUS rc = RegNotifyChangeKeyValue(key.get(), 1, 0xF, changed, 1);
    if (rc == 1018) throw failure("The key was deleted.");
    check(rc);
    if (first) {
      take_values(path, values);
      std::printf("Watching %s (Ctrl+C ends)\n", utf8_from_wide(path.full()).c_str());
      std::fflush(stdout);
      first = false;
    }
    WaitForSingleObject(changed, INFINITE);
    changed.reset();
    char stamp[32];
    const std::time_t now = std::time(nullptr);
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", std::localtime(&now));
    tree_values current;
    take_values(path, current);
    std::printf("%s changed %s\n", stamp, utf8_from_wide(path.full()).c_str());
    out(changes(values, current));
    values = std::move(current);
    std::fflush(stdout);
  }
}

int run(const std::vector<std::wstring>& args) {
  if (args.empty() || args[0] == L"--help" || args[0] == L"-h" || args[0] == L"/?") {
    std::fputs(kUsage, args.empty() ? stderr : stdout);
    return args.empty() ? 1 : 0;
  }
  std::wstring command = args[0];
  for (wchar_t& c : command) c = static_cast<wchar_t>(std::towlower(static_cast<wint_t>(c)));
  if (command == L"import") {
    if (args.size() != 2) throw failure("import takes one FILE.");
    return do_import(file_name_from_wide(args[1]));
  }
  if (command == L"--version") {
    std::printf("krreg %s\n", KRREG_VERSION);
    return 0;
  }
  if (args.size() < 2) throw failure("Missing KEY.");
  const key_path path = parse_key(args[1]);
  if (command == L"query") return do_query(path, parse_switches(args, 2, false));
  if (command == L"add") return do_add(path, parse_switches(args, 2, true));
  if (command == L"delete") return do_delete(path, parse_switches(args, 2, false));
  if (command == L"watch") {
    if (args.size() != 2) throw failure("watch takes only KEY.");
    return do_watch(path);
  }
  if (command == L"export") {
    const bool yes = args.size() == 4 && (args[3] == L"/y" || args[3] == L"/Y" ||
                                          args[3] == L"-y" || args[3] == L"-Y");
    if (args.size() != 3 && !yes) throw failure("export takes KEY, FILE and perhaps /y.");
    return do_export(path, file_name_from_wide(args[2]), yes);
  }
  throw failure("Unknown command [" + utf8_from_wide(args[0]) + "]; see krreg --help.");
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::wstring> args;
  // Reversibly: a file name that is not UTF-8 names the same file again.
  for (int i = 1; i < argc; ++i) args.push_back(wide_from_file_name(argv[i]));
  try {
    return run(args);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "ERROR: %s\n", e.what());
    return 1;
  }
}
