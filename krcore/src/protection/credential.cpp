// credential: a domain, a user name and a password, each held protected in
// a securestring of its own. Whatever plaintext the credential exposes or
// leaves behind in an operation is wiped before the operation returns.
#include <krcore/protection.h>

#include <string>
#include <utility>

#include "foundation/errors.h"

namespace krCore {
namespace {

constexpr unsigned int kSkip = 4;
const wchar_t kEmpty[] = L"";

// Splits "domain\user" at its first backslash; a text without one, or with
// one in front, is the user name alone. "user@domain" is not split.
void split_username(const std::wstring& text, std::wstring& domain, std::wstring& user) {
  const std::size_t i = text.find(L'\\');
  if (i != std::wstring::npos && i > 0) {
    domain.assign(text, 0, i);
    user.assign(text, i + 1, std::wstring::npos);
  } else {
    domain.clear();
    user.assign(text);
  }
}

}  // namespace

credential::credential() = default;

credential::credential(const wchar_t* username, const wchar_t* password) {
  if (!username || !password)
    throw krException(static_cast<unsigned long>(detail::kErrorInvalidParameter),
                      "credential::credential() - invalid username or password.", kSkip);
  std::wstring text(username);
  std::wstring domain;
  std::wstring user;
  split_username(text, domain, user);
  try {
    set(domain.c_str(), user.c_str(), password);
  } catch (...) {
    securestring::SecureClear(text);
    securestring::SecureClear(domain);
    securestring::SecureClear(user);
    throw;
  }
  securestring::SecureClear(text);
  securestring::SecureClear(domain);
  securestring::SecureClear(user);
}

credential::credential(const wchar_t* domain, const wchar_t* username, const wchar_t* password) {
  set(domain, username, password);
}

credential::credential(const credential& other) { copy(other); }

credential::credential(credential&& other) noexcept
    : _domain(std::move(other._domain)),
      _username(std::move(other._username)),
      _password(std::move(other._password)) {}

credential& credential::operator=(credential other) {
  _domain.swap(other._domain);
  _username.swap(other._username);
  _password.swap(other._password);
  return *this;
}

credential::~credential() {
  clearplaintext();
  _password.reset();
  _username.reset();
  _domain.reset();
}

void credential::set(const wchar_t* domain, const wchar_t* username, const wchar_t* password) {
  if (!domain || !username || !password)
    throw krException(static_cast<unsigned long>(detail::kErrorInvalidParameter),
                      "credential::set() - invalid domain, username, or password.", kSkip);
  _domain = std::make_unique<securestring>(domain);
  _username = std::make_unique<securestring>(username);
  _password = std::make_unique<securestring>(password);
}

void credential::copy(const credential& other) const {
  if (!other.used()) return;
  // All three are protected anew before anything is replaced, so a failure
  // leaves this object as it was; the other's plaintexts go either way.
  std::unique_ptr<securestring> domain;
  std::unique_ptr<securestring> username;
  std::unique_ptr<securestring> password;
  try {
    domain = std::make_unique<securestring>(other._domain->c_str());
    username = std::make_unique<securestring>(other._username->c_str());
    password = std::make_unique<securestring>(other._password->c_str());
  } catch (...) {
    other.clearplaintext();
    throw;
  }
  other.clearplaintext();
  _domain.swap(domain);
  _username.swap(username);
  _password.swap(password);
}

void credential::clearplaintext() const {
  if (!used()) return;
  _domain->clearplaintext();
  _username->clearplaintext();
  _password->clearplaintext();
}

bool credential::used() const { return _domain && _username && _password; }

const wchar_t* credential::c_str_domain() const { return used() ? _domain->c_str() : kEmpty; }

const wchar_t* credential::c_str_username() const {
  return used() ? _username->c_str() : kEmpty;
}

const wchar_t* credential::c_str_password() const {
  return used() ? _password->c_str() : kEmpty;
}

std::string credential::password_encrypted_base64() const {
  return used() ? _password->to_encrypted_base64() : std::string();
}

}  // namespace krCore
