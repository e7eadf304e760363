// credential: the user-name split, the empty credential, and copies and
// moves that leave no plaintext behind.
#include <gtest/gtest.h>
#include <krcore/protection.h>

#include <string>
#include <utility>

#include "foundation/thrown.h"
#include "protection/key_dir.h"

namespace {

using krCore::credential;
using krCore::securestring;
using protecttest::KeyTest;
using testsupport::thrown;

using Credential = KeyTest;

TEST_F(Credential, UserNamesSplitAtTheirFirstBackslash) {
  struct split {
    const wchar_t* given;
    const wchar_t* domain;
    const wchar_t* user;
  };
  for (const split& c : {split{L"CORP\\alice", L"CORP", L"alice"},
                         split{L"\\alice", L"", L"\\alice"},
                         split{L"CORP\\", L"CORP", L""},
                         split{L"CORP\\eng\\alice", L"CORP", L"eng\\alice"},
                         split{L"alice@corp.example", L"", L"alice@corp.example"},
                         split{L"", L"", L""}}) {
    const credential cred(c.given, L"pw");
    EXPECT_TRUE(cred.used()) << c.given;
    EXPECT_STREQ(cred.c_str_domain(), c.domain) << c.given;
    EXPECT_STREQ(cred.c_str_username(), c.user) << c.given;
    EXPECT_STREQ(cred.c_str_password(), L"pw") << c.given;
  }
}

TEST_F(Credential, ADefaultCredentialIsNotUsedAndReadsEmpty) {
  const credential cred;
  EXPECT_FALSE(cred.used());
  EXPECT_STREQ(cred.c_str_domain(), L"");
  EXPECT_STREQ(cred.c_str_username(), L"");
  EXPECT_STREQ(cred.c_str_password(), L"");
  EXPECT_EQ(cred.password_encrypted_base64(), "");
}

TEST_F(Credential, NullPartsThrowInvalidParameter) {
  auto two = thrown<krException>([] { credential c(L"alice", nullptr); });
  ASSERT_TRUE(two);
  EXPECT_EQ(two->code(), 87u);
  EXPECT_STREQ(two->what(), "credential::credential() - invalid username or password.");
  auto three = thrown<krException>([] { credential c(nullptr, L"alice", L"pw"); });
  ASSERT_TRUE(three);
  EXPECT_EQ(three->code(), 87u);
  EXPECT_STREQ(three->what(), "credential::set() - invalid domain, username, or password.");
}

TEST_F(Credential, CopyProtectsAnewAndWipesTheSourcesPlaintexts) {
  const credential a(L"CORP", L"alice", L"pw");
  const wchar_t* exposed = a.c_str_password();
  const std::string before = a.password_encrypted_base64();
  EXPECT_EQ(securestring::from_encrypted_base64(before).str(), L"pw");

  const credential b(L"X", L"bob", L"old");
  b.copy(a);
  EXPECT_EQ(exposed[0], L'\0');  // a's read password was wiped
  EXPECT_STREQ(b.c_str_domain(), L"CORP");
  EXPECT_STREQ(b.c_str_username(), L"alice");
  EXPECT_STREQ(b.c_str_password(), L"pw");
  // Freshly protected: the same text under a different blob.
  EXPECT_NE(b.password_encrypted_base64(), before);
  EXPECT_EQ(a.password_encrypted_base64(), before);

  // Copying an unused credential changes nothing.
  b.copy(credential());
  EXPECT_STREQ(b.c_str_username(), L"alice");

  const credential c(a);
  EXPECT_STREQ(c.c_str_username(), L"alice");
  EXPECT_FALSE(credential(credential()).used());
}

TEST_F(Credential, MovesLeaveTheSourceUnusedAndAssignmentExchanges) {
  credential a(L"CORP", L"alice", L"pw");
  credential moved(std::move(a));
  EXPECT_FALSE(a.used());
  EXPECT_STREQ(a.c_str_password(), L"");
  EXPECT_STREQ(moved.c_str_password(), L"pw");

  credential target(L"X", L"bob", L"old");
  target = moved;  // a copy: moved keeps its parts
  EXPECT_STREQ(target.c_str_username(), L"alice");
  EXPECT_TRUE(moved.used());
  target = std::move(moved);
  EXPECT_STREQ(target.c_str_username(), L"alice");
  target = credential();
  EXPECT_FALSE(target.used());
}

}  // namespace
