// Protection on Windows is the system's: a protected form is bound to the
// machine, carries no plaintext, reads back, refuses damage and entropy
// other than its own, and refuses a form made by the Linux half with 13.
#include <gtest/gtest.h>
#include <windows.h>
#include <dpapi.h>

#include <krcore/protection.h>
#include <krcore/sysutil.h>

#include <string>
#include <vector>

#include "foundation/thrown.h"
#include "protection/data_protection.h"

namespace {

using krCore::securestring;
using testsupport::thrown;

std::vector<unsigned char> blob_bytes(const securestring& s) {
  return krCore::FromBase64(s.to_encrypted_base64());
}

unsigned int read_failure(const std::vector<unsigned char>& bytes) {
  const securestring s = securestring::from_encrypted_base64(krCore::ToBase64Str(bytes));
  auto e = thrown<krException>([&] { s.c_str(); });
  return e ? e->code() : 0;
}

TEST(SystemProtection, AMachineBoundFormReadsBackAndHidesTheText) {
  const std::wstring text = L"pa\u00dfw\u00f6rt \U0001F511";
  securestring s(text.c_str());
  const std::vector<unsigned char> bytes = blob_bytes(s);
  const std::string plain(reinterpret_cast<const char*>(text.data()), text.size() * 2);
  EXPECT_EQ(std::string(bytes.begin(), bytes.end()).find(plain), std::string::npos);
  EXPECT_EQ(s.str(), text);

  // The system's own call reads it.
  DATA_BLOB in{static_cast<DWORD>(bytes.size()), const_cast<BYTE*>(bytes.data())};
  DATA_BLOB out{};
  ASSERT_TRUE(::CryptUnprotectData(&in, nullptr, nullptr, nullptr, nullptr,
                                   CRYPTPROTECT_UI_FORBIDDEN, &out));
  EXPECT_EQ(std::wstring(reinterpret_cast<const wchar_t*>(out.pbData), out.cbData / 2), text);
  LocalFree(out.pbData);

  // A copy travels as Base64 and reads the same.
  EXPECT_EQ(securestring::from_encrypted_base64(s.to_encrypted_base64()).str(), text);
}

TEST(SystemProtection, DamagedAndForeignFormsFail) {
  std::vector<unsigned char> bytes = blob_bytes(securestring(L"secret"));
  ASSERT_GT(bytes.size(), 16u);
  std::vector<unsigned char> damaged = bytes;
  damaged[damaged.size() - 1] ^= 0x01;
  EXPECT_NE(read_failure(damaged), 0u);
  std::vector<unsigned char> cut(bytes.begin(), bytes.begin() + bytes.size() / 2);
  EXPECT_NE(read_failure(cut), 0u);

  // A form of the Linux half: its magic, a version, an algorithm and the
  // machine flag, then a key id, nonce, three bytes and a tag.
  std::vector<unsigned char> linux_form = {'K', 'R', 'D', 'P', 1, 1, 4, 0};
  linux_form.resize(krCore::detail::kBlobMinSize + 3, 0x5A);
  EXPECT_EQ(read_failure(linux_form), 13u);
}

TEST(SystemProtection, EntropyMustBeGivenAgainAndOnlyMachineFormsAreMade) {
  const char secret[] = "entropy-bound";
  const char salt[] = "salt";
  DATA_BLOB in{sizeof secret, reinterpret_cast<BYTE*>(const_cast<char*>(secret))};
  DATA_BLOB entropy{sizeof salt, reinterpret_cast<BYTE*>(const_cast<char*>(salt))};
  DATA_BLOB out{};
  EXPECT_FALSE(krCore::detail::CryptProtectData(&in, nullptr, nullptr, nullptr, nullptr, 0, &out));
  EXPECT_EQ(GetLastError(), 87u);
  ASSERT_TRUE(krCore::detail::CryptProtectData(&in, nullptr, &entropy, nullptr, nullptr,
                                               krCore::detail::kCryptProtectLocalMachine, &out));
  DATA_BLOB plain{};
  EXPECT_FALSE(krCore::detail::CryptUnprotectData(&out, nullptr, nullptr, nullptr, nullptr, 0,
                                                  &plain));
  EXPECT_NE(GetLastError(), 0u);
  ASSERT_TRUE(krCore::detail::CryptUnprotectData(&out, nullptr, &entropy, nullptr, nullptr, 0,
                                                 &plain));
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(plain.pbData), plain.cbData),
            std::string(secret, sizeof secret));
  krCore::detail::wipe_secret(plain.pbData, plain.cbData);
  LocalFree(plain.pbData);
  LocalFree(out.pbData);
}

}  // namespace
