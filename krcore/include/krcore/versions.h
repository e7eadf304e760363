// The versions family: four-part version numbers, and the version resource
// of executable files (Windows PE images, and Linux ELF images that carry a
// version block, see version_block.h) and of loaded modules.
#pragma once

#include <krcore/export.h>
#include <krcore/wintypes.h>

#include <string>
#include <vector>

// ---------------------------------------------------------------------------
// The version-resource calls (global namespace, with the names and results
// of the platform calls the agent's modules were written against). The
// resource is the VS_VERSIONINFO byte image exactly as the file stores it;
// its texts are UTF-16LE.
// ---------------------------------------------------------------------------
#if !defined(_WIN32)

// The fixed part of a version resource: the root block's value. Plain
// data, not synchronised; no errors of its own (VerQueryValueW reports
// them).
struct VS_FIXEDFILEINFO {
  DWORD dwSignature;  // 0xFEEF04BD
  DWORD dwStrucVersion;
  DWORD dwFileVersionMS;
  DWORD dwFileVersionLS;
  DWORD dwProductVersionMS;
  DWORD dwProductVersionLS;
  DWORD dwFileFlagsMask;
  DWORD dwFileFlags;
  DWORD dwFileOS;
  DWORD dwFileType;
  DWORD dwFileSubtype;
  DWORD dwFileDateMS;
  DWORD dwFileDateLS;
};

extern "C" {

// The size in bytes of the file's version resource; `lpdwHandle` (may be
// null) is set to 0. Returns 0 with the last error set: 2 or 3 when the file
// or its folder is missing (other open failures by their errno), 1813 when
// the file is neither a PE nor an ELF image, has no resources or no version
// resource, 1812 when its headers or resource tree are malformed. Reads only
// the headers and the resource directory. Thread-safe.
KRCORE_API DWORD GetFileVersionInfoSizeW(const wchar_t* lptstrFilename, DWORD* lpdwHandle);

// Copies at most `dwLen` bytes of the file's version resource into `lpData`.
// FALSE with the last error as above (87 for a null buffer or path).
// Thread-safe.
KRCORE_API BOOL GetFileVersionInfoW(const wchar_t* lptstrFilename, DWORD dwHandle, DWORD dwLen,
                                    void* lpData);

// Looks up a value in a version resource read by GetFileVersionInfoW:
// "\" gives the VS_FIXEDFILEINFO (length in bytes), "\VarFileInfo\Translation"
// the translation table (length in bytes), "\StringFileInfo\llllcccc\Name" a
// NUL-terminated UTF-16 text (`*lplpBuffer` points at char16_t units, the
// length counts them). Keys compare without regard to case. `*lplpBuffer`
// points into `pBlock`; FALSE when the path is absent or the block is
// malformed. Never reads outside the block's own length. Thread-safe.
KRCORE_API BOOL VerQueryValueW(const void* pBlock, const wchar_t* lpSubBlock, void** lplpBuffer,
                               UINT* puLen);

// The English display name of a language identifier (0: "Language
// Neutral") into `szLang` (NUL-terminated, cut to `cchLang`). Returns the
// length of the name, 0 for an unknown language. Thread-safe.
KRCORE_API DWORD VerLanguageNameW(DWORD wLang, wchar_t* szLang, DWORD cchLang);

}  // extern "C"
#endif  // !_WIN32

namespace krCore {

// A four-part version number major.minor.build.revision, 16 bits a part.
// Any text parses (see the text constructor); comparison is numeric, part by
// part. A value type, not synchronised: c_str() stores the text it prints,
// so even the const calls of one object belong to one thread at a time (the
// accessors and comparisons only read). Nothing throws but std::bad_alloc.
class KRCORE_API version {
 public:
  // 0.0.0.0.
  version();
  version(unsigned short major, unsigned short minor, unsigned short build,
          unsigned short revision);
  // Parses `text`: fields separated by '.' (or, where no '.' is left, by
  // ','), each read like _wtoi and cut to 16 bits; missing fields are 0 and
  // fields after the fourth are ignored. "1,2.3" is 1.3.0.0: '.' is always
  // looked for first.
  version(const std::wstring& text);
  // Copy the four parts only.
  version(const version& other);
  version& operator=(const version& other);
  virtual ~version();

  DWORD major() const { return _major; }
  DWORD minor() const { return _minor; }
  DWORD build() const { return _build; }
  DWORD revision() const { return _revision; }

  // "major.minor.build.revision" in decimal, no padding.
  std::wstring c_str() const;

  bool operator==(const version& other) const;
  bool operator!=(const version& other) const;
  bool operator<(const version& other) const;
  bool operator<=(const version& other) const;
  bool operator>(const version& other) const;
  bool operator>=(const version& other) const;

 private:
  void parse(const std::wstring& text);

  unsigned short _major = 0;
  unsigned short _minor = 0;
  unsigned short _build = 0;
  unsigned short _revision = 0;
  // The given text, later the printed form.
  mutable std::wstring _text;
};

// The version resource of an executable file or loaded module: the fixed
// file information, the translation table and the named version strings,
// with a current translation that string queries use.
//
// Thread-compatible: queries only read the object. A copy owns its own copy
// of the resource. Failures throw krException with the codes named below.
class KRCORE_API fileversion {
 public:
  fileversion();
  fileversion(const fileversion& other);
  fileversion& operator=(const fileversion& other);
  virtual ~fileversion();

  // Reads the file's version resource. True when it was read; false (after
  // a line at the normal level in the log) when the file has none (1813).
  // Any other failure throws with its code, e.g. 2 for a missing file, 1812
  // for a malformed resource; a root block whose signature is not
  // 0xFEEF04BD throws "fileversion::getversioninfo VS_FFI_SIGNATURE not
  // valid!".
  bool open(const wchar_t* path);
  // Also serves CStringT, which is std::wstring here.
  bool open(const std::wstring& path);
  // Opens the file of a loaded module: a dlopen handle, or any address
  // inside the module. Null throws code 87 "fileversion::open invalid
  // hInstance!"; a value that names no module throws the GetModuleFileName
  // message.
  bool open(HINSTANCE module);
  // Forgets the translations and zeroes the fixed information; the buffer
  // stays until the next open or destruction.
  void close();

  const VS_FIXEDFILEINFO& getvsffi() const { return _vsffi; }
  WORD getfileversionmajor() const;
  WORD getfileversionminor() const;
  WORD getfileversionbuild() const;
  WORD getfileversionrevision() const;
  WORD getproductversionmajor() const;
  WORD getproductversionminor() const;
  WORD getproductversionbuild() const;
  WORD getproductversionrevision() const;

  unsigned gettranscount() const { return _translationCount; }
  unsigned getcurtransindex() const { return _currentTranslation; }
  // Entry `index` of the table: low word language, high word code page.
  // An index not below gettranscount() throws 1413
  // "fileversion::gettranslationbyindex invalid index.".
  DWORD gettranslationbyindex(unsigned index) const;
  WORD getlidbyindex(unsigned index) const;
  WORD getcpbyindex(unsigned index) const;
  DWORD getcurtrans() const;
  WORD getcurlid() const;
  WORD getcurcp() const;
  // Index of the first entry (lid, cp), or -1.
  int findtranslation(unsigned short lid, unsigned short cp) const;
  // Makes `index` current when it is in range; true when it is current now.
  bool settranslationindex(unsigned index);
  // Makes the first entry (lid, cp) current; false, with nothing changed,
  // when there is none.
  bool settranslation(unsigned short lid, unsigned short cp);

  // The string `name` of the current translation
  // (\StringFileInfo\llllcccc\name) into `value`; false with `value`
  // unchanged when the file has no such string. No translations: throws
  // the gettranslationbyindex error.
  bool querystringvalue(const std::wstring& name, std::wstring& value) const;
  // The same for s_ppszStr[index]; an index outside 0..12 throws 1413
  // "fileversion::querystringvalue invalid index.".
  bool querystringvalue(int index, std::wstring& value) const;
  // s_ppszStr[index]; outside 0..12 throws 1413
  // "fileversion::getverstringname invalid index.".
  std::wstring getverstringname(int index) const;

  // The display name of a language; false with `name` unchanged when the
  // language is unknown. Thread-safe.
  static bool getlidname(unsigned short lid, std::wstring& name);
  // The display name of a code page; for a code page not in the table
  // "Unknown" and false. Thread-safe.
  static bool getcpname(unsigned short cp, std::wstring& name);

  // The 13 standard version-string names, then a null entry.
  static const wchar_t* const s_ppszStr[14];

 protected:
  // Reads the resource into the buffer and the fixed information (throws).
  bool getversioninfo(const wchar_t* path);
  // Points the translation table into the buffer, when it has one.
  void queryversiontranslation();

 private:
  VS_FIXEDFILEINFO _vsffi{};
  std::vector<unsigned char> _buffer;
  const DWORD* _translations = nullptr;
  unsigned _currentTranslation = 0;
  unsigned _translationCount = 0;
};

}  // namespace krCore
