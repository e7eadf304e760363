// The version resource of a file or loaded module: reading it, its fixed
// information and translation table, named strings per translation, and
// display names for languages and code pages.
#include <krcore/foundation.h>
#include <krcore/logging.h>
#include <krcore/versions.h>

#include <boost/format.hpp>

#include <algorithm>
#include <cstring>

#include "foundation/errors.h"
#include "foundation/utf.h"
#include "versions/image_reader.h"
#include "versions/module_file.h"
#include "versions/version_tree.h"

namespace krCore {
namespace {

constexpr unsigned int kSkip = 4;
constexpr unsigned long kFixedSignature = 0xFEEF04BDu;

[[noreturn]] void fail(unsigned long code, const std::wstring& message) {
  throw krException(code, message, kSkip);
}

bool find(const std::vector<unsigned char>& image, const std::wstring& path,
          detail::version_value& value) {
  return detail::find_version_value(image.data(), image.size(), path, value);
}

WORD high(DWORD v) { return static_cast<WORD>(v >> 16); }
WORD low(DWORD v) { return static_cast<WORD>(v & 0xFFFF); }

}  // namespace

const wchar_t* const fileversion::s_ppszStr[14] = {
    L"Comments",       L"CompanyName",     L"FileDescription",  L"FileVersion",  L"InternalName",
    L"LegalCopyright", L"LegalTrademarks", L"OriginalFilename", L"PrivateBuild", L"ProductName",
    L"ProductVersion", L"SpecialBuild",    L"OLESelfRegister",  nullptr};

fileversion::fileversion() = default;

fileversion::fileversion(const fileversion& other) { *this = other; }

fileversion& fileversion::operator=(const fileversion& other) {
  if (this == &other) return *this;
  _vsffi = other._vsffi;
  _buffer = other._buffer;
  // The table sits at the same position in the copied buffer.
  _translations =
      other._translations
          ? reinterpret_cast<const DWORD*>(
                _buffer.data() + (reinterpret_cast<const unsigned char*>(other._translations) -
                                  other._buffer.data()))
          : nullptr;
  _currentTranslation = other._currentTranslation;
  _translationCount = other._translationCount;
  return *this;
}

fileversion::~fileversion() = default;

bool fileversion::open(const std::wstring& path) { return open(path.c_str()); }

bool fileversion::open(HINSTANCE module) {
  if (!module) fail(detail::kErrorInvalidParameter, L"fileversion::open invalid hInstance!");
  unsigned long error = 0;
  std::wstring path = detail::module_file_name(module, error);
  // The name must fit the platform's path buffer of 260 characters.
  if (!error && path.size() >= 260) error = detail::kErrorInsufficientBuffer;
  if (error) {
    fail(error, (boost::wformat(L"fileversion::open::GetModuleFileName() failed on (%s)!. "
                                L"Error Code: %d") %
                 L"" % error)
                    .str());
  }
  return open(path.c_str());
}

bool fileversion::open(const wchar_t* path) {
  close();
  return getversioninfo(path ? path : L"");
}

void fileversion::close() {
  _translations = nullptr;
  _currentTranslation = 0;
  _translationCount = 0;
  _vsffi = VS_FIXEDFILEINFO{};
}

bool fileversion::getversioninfo(const wchar_t* path) {
  // One open and one walk of the file stand for the size query and the
  // read that follows it: the two answer from the same file.
  bool located = false;
  if (const unsigned long err = detail::load_version_resource(path, _buffer, located)) {
    _buffer.clear();
    SetLastError(err);
    if (located) {
      fail(err, (boost::wformat(L"fileversion::getversioninfo GetFileVersionInfo failed on (%s)! "
                                L"Error Code: %d") %
                 path % err)
                    .str());
    }
    const bool log = singleton<logger>::instance()->is_enabled(logger::log_normal);
    if (err == detail::kErrorResourceTypeNotFound && !log) return false;
    const std::wstring message =
        (boost::wformat(L"fileversion::open::GetFileVersionInfoSize() failed on file (%s). "
                        L"Error Code: %d") %
         path % err)
            .str();
    if (log) {
      basic_log_ostream<wchar_t> os(logger::log_normal);
      os << message;
    }
    if (err == detail::kErrorResourceTypeNotFound) return false;
    fail(err, message);
  }
  detail::version_value root;
  if (find(_buffer, L"\\", root)) {
    std::memcpy(&_vsffi, root.data, std::min<std::size_t>(root.length, sizeof _vsffi));
    if (_vsffi.dwSignature != kFixedSignature) {
      const DWORD err = GetLastError();
      _vsffi = VS_FIXEDFILEINFO{};
      fail(err, L"fileversion::getversioninfo VS_FFI_SIGNATURE not valid!");
    }
  }
  queryversiontranslation();
  return true;
}

void fileversion::queryversiontranslation() {
  detail::version_value table;
  _currentTranslation = 0;
  if (find(_buffer, L"\\VarFileInfo\\Translation", table) && table.length >= 4) {
    _translations = reinterpret_cast<const DWORD*>(table.data);
    _translationCount = table.length / 4;
  } else {
    _translations = nullptr;
    _translationCount = 0;
  }
}

WORD fileversion::getfileversionmajor() const { return high(_vsffi.dwFileVersionMS); }
WORD fileversion::getfileversionminor() const { return low(_vsffi.dwFileVersionMS); }
WORD fileversion::getfileversionbuild() const { return high(_vsffi.dwFileVersionLS); }
WORD fileversion::getfileversionrevision() const { return low(_vsffi.dwFileVersionLS); }
WORD fileversion::getproductversionmajor() const { return high(_vsffi.dwProductVersionMS); }
WORD fileversion::getproductversionminor() const { return low(_vsffi.dwProductVersionMS); }
WORD fileversion::getproductversionbuild() const { return high(_vsffi.dwProductVersionLS); }
WORD fileversion::getproductversionrevision() const { return low(_vsffi.dwProductVersionLS); }

DWORD fileversion::gettranslationbyindex(unsigned index) const {
  if (index >= _translationCount || !_translations)
    fail(detail::kErrorInvalidIndex, L"fileversion::gettranslationbyindex invalid index.");
  DWORD entry;
  // The table's alignment within the buffer is the file's business.
  std::memcpy(&entry, _translations + index, sizeof entry);
  return entry;
}
WORD fileversion::getlidbyindex(unsigned index) const { return low(gettranslationbyindex(index)); }
WORD fileversion::getcpbyindex(unsigned index) const { return high(gettranslationbyindex(index)); }
DWORD fileversion::getcurtrans() const { return gettranslationbyindex(_currentTranslation); }
WORD fileversion::getcurlid() const { return low(getcurtrans()); }
WORD fileversion::getcurcp() const { return high(getcurtrans()); }

int fileversion::findtranslation(unsigned short lid, unsigned short cp) const {
  for (unsigned i = 0; i < _translationCount; ++i) {
    const DWORD t = gettranslationbyindex(i);
    if (low(t) == lid && high(t) == cp) return static_cast<int>(i);
  }
  return -1;
}

bool fileversion::settranslationindex(unsigned index) {
  if (index == _currentTranslation) return true;
  if (index < _translationCount) _currentTranslation = index;
  return index == _currentTranslation;
}

bool fileversion::settranslation(unsigned short lid, unsigned short cp) {
  if (_currentTranslation < _translationCount && getcurlid() == lid && getcurcp() == cp)
    return true;
  const int found = findtranslation(lid, cp);
  if (found < 0) return false;
  _currentTranslation = static_cast<unsigned>(found);
  return true;
}

bool fileversion::querystringvalue(const std::wstring& name, std::wstring& value) const {
  const DWORD t = gettranslationbyindex(_currentTranslation);
  wchar_t path[64];
  std::swprintf(path, 64, L"\\StringFileInfo\\%04X%04X\\", low(t), high(t));
  detail::version_value text;
  if (!find(_buffer, path + name, text)) return false;
  value = detail::wide_from_utf16(detail::version_text(text));
  return true;
}

bool fileversion::querystringvalue(int index, std::wstring& value) const {
  if (index < 0 || index > 12)
    fail(detail::kErrorInvalidIndex, L"fileversion::querystringvalue invalid index.");
  return querystringvalue(s_ppszStr[index], value);
}

std::wstring fileversion::getverstringname(int index) const {
  if (index < 0 || index > 12)
    fail(detail::kErrorInvalidIndex, L"fileversion::getverstringname invalid index.");
  return s_ppszStr[index];
}

bool fileversion::getlidname(unsigned short lid, std::wstring& name) {
  wchar_t buf[260];
  if (VerLanguageNameW(lid, buf, 260) == 0) return false;
  name = buf;
  return true;
}

bool fileversion::getcpname(unsigned short cp, std::wstring& name) {
  static const struct {
    unsigned short cp;
    const wchar_t* name;
  } kNames[] = {
      {0, L"7-bit ASCII"},
      {932, L"Japan (Shift \u2013 JIS X-0208)"},
      {949, L"Korea (Shift \u2013 KSC 5601)"},
      {950, L"Taiwan (Big5)"},
      {1200, L"Unicode"},
      {1250, L"Latin-2 (Eastern European)"},
      {1251, L"Cyrillic"},
      {1252, L"Multilingual"},
      {1253, L"Greek"},
      {1254, L"Turkish"},
      {1255, L"Hebrew"},
      {1256, L"Arabic"},
  };
  for (const auto& entry : kNames) {
    if (entry.cp == cp) {
      name = entry.name;
      return true;
    }
  }
  name = L"Unknown";
  return false;
}

}  // namespace krCore
