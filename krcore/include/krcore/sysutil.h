// The system-utilities family: command line, versions, processes,
// directories, encodings, process environment helpers and file deletion.
#pragma once

#include <krcore/foundation.h>
// The family's other parts: command-line arguments, versions, processes and
// deletion with retries.
#include <krcore/cmdline.h>
#include <krcore/files.h>
#include <krcore/processes.h>
#include <krcore/versions.h>

#include <boost/filesystem/path.hpp>

#include <ostream>
#include <string>
#include <vector>

// ---------------------------------------------------------------------------
// Platform constants used with ComInitialize and ShowMessage. A Windows build
// takes them from the system headers.
// ---------------------------------------------------------------------------
#if !defined(_WIN32)
#ifndef COINIT_MULTITHREADED
#define COINIT_MULTITHREADED 0x0ul
#define COINIT_APARTMENTTHREADED 0x2ul
#define COINIT_DISABLE_OLE1DDE 0x4ul
#define COINIT_SPEED_OVER_MEMORY 0x8ul
#endif
#ifndef S_OK
#define S_OK 0L
#define S_FALSE 1L
#endif
#ifndef MB_OK
#define MB_OK 0x0ul
#define MB_OKCANCEL 0x1ul
#define MB_ABORTRETRYIGNORE 0x2ul
#define MB_YESNOCANCEL 0x3ul
#define MB_YESNO 0x4ul
#define MB_RETRYCANCEL 0x5ul
#define MB_CANCELTRYCONTINUE 0x6ul
#define MB_ICONINFORMATION 0x40ul
#define MB_DEFBUTTON2 0x100ul
#define MB_DEFBUTTON3 0x200ul
#define MB_DEFBUTTON4 0x300ul
#define MB_SERVICE_NOTIFICATION 0x200000ul
#endif
#ifndef IDOK
#define IDOK 1
#define IDCANCEL 2
#define IDABORT 3
#define IDRETRY 4
#define IDIGNORE 5
#define IDYES 6
#define IDNO 7
#define IDTRYAGAIN 10
#define IDCONTINUE 11
#endif
#endif  // !_WIN32

namespace krCore {

// ---------------------------------------------------------------------------
// Encodings: Base64, hexadecimal, strings as bytes, GUIDs. All functions are
// stateless and thread-safe.
// ---------------------------------------------------------------------------

// Base64 with the standard alphabet ("A–Z a–z 0–9 + /") and '=' padding.
// Stateless and thread-safe, as every function of this part.
class KRCORE_API Base64 {
 public:
  // The Base64 text of `size` bytes at `data`. With `lineBreaks`, a line feed
  // (no carriage return) follows every 72 characters of encoded text, never
  // at the very end; the '=' padding comes after the last line and is not
  // counted. Without line breaks the text is RFC 4648 Base64. Never fails.
  static std::string Encode(const char* data, unsigned int size, bool lineBreaks = false);

  // The bytes that `text` spells. White space (space, \t \n \v \f \r) is
  // skipped wherever it stands. Every '=' anywhere in the text counts as
  // padding: it decodes as 'A', and one byte per '=' is dropped from the end
  // of the result. The length is not checked; bits left over after the last
  // whole byte are dropped. Any other character outside the alphabet throws
  // boost::archive::iterators::dataflow_exception (a std::exception) with the
  // text "attempt to decode a value not in base64 char set".
  static std::vector<unsigned char> Decode(std::string text);
};

// Base64::Encode of the vector's bytes.
KRCORE_API std::string ToBase64Str(const std::vector<unsigned char>& bytes,
                                   bool lineBreaks = false);
// ToBase64Str, widened character by character.
KRCORE_API std::wstring ToBase64WStr(const std::vector<unsigned char>& bytes,
                                     bool lineBreaks = false);
// Base64::Decode(text); its exception passes through.
KRCORE_API std::vector<unsigned char> FromBase64(const std::string& text);
// The text narrowed character by character (a character above 0xFF is not in
// the alphabet and fails the decoding), then Base64::Decode.
KRCORE_API std::vector<unsigned char> FromBase64(const std::wstring& text);

// Two hexadecimal digits per byte, zero-filled; `spaced` puts one space
// between bytes; `upperCase` turns the whole text to upper case with the
// process's global locale. No bytes give an empty text.
KRCORE_API std::wstring BytesToHex(const unsigned char* data, unsigned int size,
                                   bool upperCase = false, bool spaced = false);

// Appends the bytes that `text` spells, reading it two characters at a time
// from its start (either case). A single digit left over at the end is
// ignored. A pair that is not two hexadecimal digits throws krException with
// code 13 (the data is invalid) before anything is appended.
KRCORE_API void BytesFromHex(const std::wstring& text, std::vector<unsigned char>& bytes);

// Hexadecimal text of a wide string's UTF-16 bytes (two per unit, low byte
// first: "A" gives 4100; characters above U+FFFF count as surrogate pairs).
KRCORE_API std::wstring StringToHex(const std::wstring& text, bool upperCase = false,
                                    bool spaced = false);
KRCORE_API std::wstring StringToHex(const wchar_t* text, bool upperCase = false,
                                    bool spaced = false);
// Hexadecimal text of a narrow string's own bytes.
KRCORE_API std::wstring StringToHex(const std::string& text, bool upperCase = false,
                                    bool spaced = false);
KRCORE_API std::wstring StringToHex(const char* text, bool upperCase = false, bool spaced = false);
// The wide string whose UTF-16 bytes the hexadecimal text spells (see
// StringFromBytes). Throws as BytesFromHex.
KRCORE_API std::wstring StringFromHex(const std::wstring& text);
// The narrow string whose bytes the hexadecimal text spells. Throws as
// BytesFromHex.
KRCORE_API std::string NarrowStringFromHex(const std::wstring& text);

// Empties `bytes`, reserves 2 × `count` bytes and appends the UTF-16 bytes
// (low byte first) of `text` up to its terminating null character; `count`
// only sizes the reservation. A value that is not a Unicode scalar value
// becomes U+FFFD. Returns the number of bytes; a null text gives none.
KRCORE_API unsigned int StringToBytes(const wchar_t* text, unsigned int count,
                                      std::vector<unsigned char>& bytes);
// Each pair of bytes, low byte first, is one UTF-16 unit; an odd last byte is
// ignored; an unpaired surrogate becomes U+FFFD.
KRCORE_API std::wstring StringFromBytes(const std::vector<unsigned char>& bytes);

// A new random (version 4, RFC 4122 variant) GUID as lower-case
// 8-4-4-4-12 text without braces. Random bytes come from the kernel.
// Throws krException "createguid::CoCreateGuid failed" when the kernel
// gives no random bytes.
KRCORE_API std::wstring createguid();
// A new random GUID. Throws krException "createguid(GUID&)::CoCreateGuid
// failed" when the kernel gives no random bytes.
KRCORE_API void createguid(GUID& guid);
// createguid(GUID&), returning the value.
KRCORE_API GUID CreateGUID();

// Parses exactly "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}" (hexadecimal digits
// of either case, braces required) into `guid`. Returns 0, or 0x800401F3
// (invalid class string) for any other text or a null pointer; on failure the
// text "GuidFromString() ::CLSIDFromString failed for string [<text>]" is
// logged at verbose level and, with `throwOnError`, thrown as krException
// carrying that HRESULT.
KRCORE_API long Api_GuidFromString(const wchar_t* text, GUID& guid, bool throwOnError);
// As Api_GuidFromString, adding the braces when the text does not begin with
// '{': a GUID is accepted with or without braces.
KRCORE_API long GuidFromString(const wchar_t* text, GUID& guid, bool throwOnError);
KRCORE_API long GuidFromString(const std::wstring& text, GUID& guid, bool throwOnError);
// The parsed GUID; a bad text throws krException.
KRCORE_API GUID GuidFromString(const wchar_t* text);
KRCORE_API GUID GuidFromString(const std::wstring& text);
// True exactly when GuidFromString accepts the text. Never throws.
KRCORE_API bool IsGuid(const wchar_t* text);
KRCORE_API bool IsGuid(const std::wstring& text);

// ---------------------------------------------------------------------------
// Process environment helpers.
// ---------------------------------------------------------------------------

// Initialises the component runtime on the calling thread for the lifetime of
// the object, optionally with the process-wide security settings. This
// platform has no component runtime; the stand-in keeps the same per-thread
// bookkeeping so callers see the same results: S_OK for a thread's first
// initialisation, S_FALSE for the same apartment mode again,
// RPC_E_CHANGED_MODE (0x80010106) for the other mode, E_INVALIDARG for
// unknown flags; security S_OK once per process and RPC_E_TOO_LATE
// (0x80010119) after that (CO_E_NOTINITIALIZED, 0x800401F0, on a thread
// without initialisation). Failures are logged at error level. Never throws.
// Must be created and destroyed on the same thread; the destructor always
// undoes one initialisation of that thread, whatever the result was.
class KRCORE_API ComInitialize : private noncopyable_base {
 public:
  explicit ComInitialize(bool initSecurity = false, unsigned long coinit = COINIT_MULTITHREADED);
  ComInitialize(bool initSecurity, unsigned long coinit, unsigned long authLevel,
                unsigned long impLevel);
  virtual ~ComInitialize();

  // The result of the initialisation: the security step's when it ran,
  // otherwise the thread initialisation's.
  long ErrorCode() const { return _hr; }

 protected:
  long Init(bool initSecurity, unsigned long coinit, unsigned long authLevel,
            unsigned long impLevel);

 private:
  long _hr;
};

// The path of the process's executable (not of this library); with
// full = false its directory without a trailing separator. A file replaced
// or deleted while running still reports its original path. Throws
// krException " getmodulepath::GetModuleFileName failed" with the Win32 code
// when the path cannot be read. Thread-safe.
KRCORE_API std::wstring getmodulepath(bool full = true);

// The system's configuration directory, which plays the part of the Windows
// directory on this platform: "/etc". Throws krException
// "krCore::getwindowsdirectory() failed" should it be unavailable.
// Thread-safe.
KRCORE_API std::wstring getwindowsdirectory();

// Shows a message to the person at the machine and returns the button
// chosen. A server has no window system and nobody to ask: the title and
// text go to standard error when it is a terminal, and the box is answered
// at once on nobody's behalf, which the log records as a warning when the
// box offers a choice. That answer is the box's declared default
// (MB_DEFBUTTON2 or MB_DEFBUTTON3, when the set has that button), otherwise
// the button that changes nothing: IDOK, IDCANCEL, IDABORT for
// MB_ABORTRETRYIGNORE, IDNO for MB_YESNO. An empty title is replaced by the
// executable's file name. Thread-safe; never throws except as getmodulepath
// for an empty title.
KRCORE_API int ShowMessage(const std::wstring& text, const std::wstring& title = std::wstring(),
                           unsigned long flags = MB_OK);

// Announces "PID [<pid>] - <name>" with the title "Attach Debugger Now" as
// ShowMessage does (an empty name is the executable's file name), then waits
// until a debugger is attached to the process, at most the number of
// milliseconds in the environment variable KRCORE_ATTACH_TIMEOUT_MS
// (default 60000, also for a negative value or no number; at most a week).
// Returns IDOK. Thread-safe; throws as ShowMessage.
KRCORE_API int AttachMessageBox(const std::wstring& name);

// True on a little-endian processor. Thread-safe; never throws.
KRCORE_API bool is_little_endian();

// ---------------------------------------------------------------------------
// Directories and known locations. All functions may be called from any
// thread; they share no state. Each reports its steps through the logger.
//
// File names on this platform are bytes that need not be UTF-8. Every path
// the library hands out or takes as wide text (here, getmodulepath, the
// process names, the deletion functions) keeps such a name reversibly: each
// byte outside a valid UTF-8 sequence is the character U+10FE00 + byte
// (U+10FE80..U+10FEFF), and stands for that byte again when the path is
// used, whatever the process locale.
// ---------------------------------------------------------------------------

// Creates `path` and every missing directory above it; an existing path is
// reused. Returns 0, or the HRESULT of the failure (0x80004005 when it has
// none). Never throws.
KRCORE_API long CreateDirectories(const boost::filesystem::path& path);
KRCORE_API long CreateDirectories(const std::wstring& path);
KRCORE_API long CreateDirectories(const wchar_t* path);

// Creates a new directory `name` (a fresh GUID when empty) under `parent`
// (the user's temporary directory when empty: TMPDIR, TMP, TEMP, /tmp) and
// returns its full path. A taken name gets the first free decimal suffix
// (name1, name2, ...); a lost race for a name moves on to the next one. The
// directory is readable by its owner only. A missing parent is created (one
// level). Throws w32_exception for a creation failure other than "already
// exists" (3: a missing path, 5: access denied), and
// boost::filesystem::filesystem_error when the parent cannot be created.
KRCORE_API std::wstring CreateTempFolder(const std::wstring& parent, const std::wstring& name);

// The machine-wide application-data directory: /var/lib, or the value of
// the environment variable KRCORE_COMMON_APPDATA. When that directory does
// not exist, the first non-empty value of ALLUSERSPROFILE, ProgramData,
// LOCALAPPDATA and APPDATA; empty when none is set. Never throws.
KRCORE_API std::wstring GetAppDataDirectory();

}  // namespace krCore

// Write narrow text (UTF-8) into a wide stream, converted to wide; a null
// pointer writes nothing. Only allocation failure throws.
KRCORE_API std::wostream& operator<<(std::wostream& stream, const std::string& text);
KRCORE_API std::wostream& operator<<(std::wostream& stream, const char* text);
