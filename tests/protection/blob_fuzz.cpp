// Fuzz target of the protected-blob parser and of the Base64 form of a
// securestring. One input is tried three ways: as blob bytes (the parser's
// parts must lie inside the bytes, and unprotecting a forged blob must fail
// with a blob code), as Base64 text (a decoded object must re-encode to the
// same bytes, and reading it must fail only with a blob code), and as a
// UTF-16LE text (protecting and reading it again gives the text back).
//
// Built with -DKRCORE_FUZZ_MAIN it is a libFuzzer program; without, the
// suite calls fuzz_protection_input over generated inputs. The libFuzzer
// program compiles the protection, Base64 and UTF sources itself, so that
// they are instrumented, and takes the rest from the library (one command):
//   clang++ -std=c++20 -O1 -g -fsanitize=fuzzer,address,undefined
//     -DKRCORE_FUZZ_MAIN -DKRCORE_BUILDING_LIBRARY -Ikrcore/include -Ikrcore/src
//     -Itests tests/protection/blob_fuzz.cpp krcore/src/protection/*.cpp
//     krcore/src/protection/linux/*.cpp krcore/src/sysutil/encodings.cpp
//     krcore/src/foundation/utf.cpp -Lbuild/release/krcore -lqmcore -lcrypto
//     -lboost_filesystem -o blob_fuzz
//   ./blob_fuzz corpus   (seeded from tests/protection/fuzz_corpus: a blob
//   and its Base64 made by securestring, and two hand-made texts)
#include "protection/blob_fuzz.h"

#include <krcore/protection.h>
#include <stdlib.h>

#include <cstring>
#include <string>
#include <vector>

#include "foundation/utf.h"
#include "protection/data_protection.h"
#include "protection/machine_key.h"

namespace protecttest {
namespace {

bool blob_code(unsigned long code) {
  return code == 13 || code == 0x8009000B || code == 0x80090005;
}

const char* check_blob(const BYTE* data, std::size_t size) {
  using namespace krCore::detail;
  blob_parts parts{};
  if (parse_protected_blob(data, size, parts) == 0) {
    const BYTE* end = data + size;
    if (size < kBlobMinSize || parts.header != data || parts.tag + kBlobTagSize != end ||
        parts.ciphertext + parts.ciphertext_size != parts.tag || parts.nonce + kBlobNonceSize > end)
      return "parser parts outside the blob";
  }
  const DATA_BLOB in{static_cast<DWORD>(size), const_cast<BYTE*>(size ? data : nullptr)};
  DATA_BLOB out{0, nullptr};
  if (CryptUnprotectData(&in, nullptr, nullptr, nullptr, nullptr, 0, &out)) {
    // Only a genuine blob unprotects; an input that is one is fine.
    LocalFree(out.pbData);
  } else if (!blob_code(GetLastError())) {
    return "unprotect failed with a code that is not a blob code";
  }
  return nullptr;
}

const char* check_base64(const std::string& text) {
  krCore::securestring s;
  try {
    s = krCore::securestring::from_encrypted_base64(text);
  } catch (const std::exception&) {
    return nullptr;  // not Base64: the decoder's exception is the answer
  }
  const std::string again = s.to_encrypted_base64();
  if (krCore::securestring::from_encrypted_base64(again).to_encrypted_base64() != again)
    return "Base64 form does not round-trip";
  if (again.size() != (s.length() + 2) / 3 * 4) return "Base64 form of the wrong length";
  try {
    s.c_str();
  } catch (const krException& e) {
    if (!blob_code(e.code())) return "read failed with a code that is not a blob code";
  }
  return nullptr;
}

const char* check_text(const BYTE* data, std::size_t size) {
  std::u16string units(size / 2, u'\0');
  if (!units.empty()) std::memcpy(units.data(), data, units.size() * 2);
  std::wstring text = krCore::detail::wide_from_utf16(units);
  text.resize(std::wcslen(text.c_str()));  // the constructor stops at a NUL
  const krCore::securestring s(text.c_str());
  if (s.str() != text) return "text does not survive protection";
  return nullptr;
}

}  // namespace

const char* fuzz_protection_input(const unsigned char* data, std::size_t size) {
  if (const char* fault = check_blob(data, size)) return fault;
  if (const char* fault = check_base64(std::string(reinterpret_cast<const char*>(data), size)))
    return fault;
  return check_text(data, size);
}

}  // namespace protecttest

#ifdef KRCORE_FUZZ_MAIN
#include <cstdio>

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  static char dir[] = "/tmp/qmcore-blob-fuzz-XXXXXX";
  if (!mkdtemp(dir)) return 1;
  krCore::detail::set_machine_key_file(std::string(dir) + "/machine.key");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
  if (const char* fault = protecttest::fuzz_protection_input(data, size)) {
    std::fprintf(stderr, "blob fuzz: %s\n", fault);
    abort();
  }
  return 0;
}
#endif
