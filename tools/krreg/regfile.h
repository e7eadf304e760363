// The .reg text format that settings travel in between machines: a header
// line, then one block per key ("[HKEY_LOCAL_MACHINE\...]") with one line
// per value ("name"=data, @=data for the default value). Data forms:
// "text" (with \\ and \" escapes), dword:8 hex digits, hex:bytes for
// REG_BINARY and hex(N):bytes for every other type, bytes as the value's
// Windows byte image. "[-key]" deletes a key, "name"=- a value. Long lines
// continue after a trailing backslash.
#pragma once

#include <krcore/registry.h>

#include <string>
#include <vector>

namespace krreg {

struct reg_value {
  std::wstring name;  // empty: the default value
  size_t line = 0;    // where it starts in its file (1-based)
  bool remove = false;
  DWORD type = 0;
  std::vector<BYTE> data;
};

struct reg_key {
  std::wstring path;  // root name in its long form, then the sub-key path
  size_t line = 0;    // where it starts in its file (1-based)
  bool remove = false;
  std::vector<reg_value> values;
};

// The header line export writes ("Windows Registry Editor Version 5.00").
extern const wchar_t* const kRegHeader;

// Parses the text of a .reg file. Throws std::runtime_error naming the line
// for anything it cannot read, a key or value name holding a NUL among it
// (the store's names are C strings: it would be cut off there).
std::vector<reg_key> parse_reg_text(const std::wstring& text);
// One key's block, ending with an empty line.
std::wstring format_reg_key(const reg_key& key);

// The file's bytes as text: UTF-16LE with a byte-order mark (what export
// writes), or UTF-8 with or without one.
std::wstring decode_reg_file(const std::string& bytes);
// Text as UTF-16LE with a byte-order mark.
std::string encode_reg_file(const std::wstring& text);

}  // namespace krreg
