// The roots folder as an OpenSSL certificate store, re-read only when its
// contents change: decoding the roots' keys costs about as much as hashing a
// megabyte, and the folder seldom changes.
#include "signatures/linux/code_roots.h"

#include <dirent.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <sys/stat.h>

#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <vector>

#include "foundation/fork_child.h"
#include "foundation/kill_hold.h"
#include "signatures/authenticode.h"

namespace krCore::detail {
namespace {

// The names and identities of the folder's files: any change to a file,
// its replacement, addition or removal changes this text.
std::string folder_state(const std::string& folder, std::vector<std::string>& files) {
  std::string state = folder + '\n';
  DIR* dir = ::opendir(folder.c_str());
  if (!dir) return state;
  while (const dirent* e = ::readdir(dir)) {
    if (e->d_name[0] == '.') continue;
    const std::string path = folder + "/" + e->d_name;
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    files.push_back(path);
    state += path + ' ' + std::to_string(st.st_ino) + ' ' + std::to_string(st.st_size) + ' ' +
             std::to_string(st.st_mtim.tv_sec) + '.' + std::to_string(st.st_mtim.tv_nsec) + ' ' +
             std::to_string(st.st_ctim.tv_sec) + '.' + std::to_string(st.st_ctim.tv_nsec) + '\n';
  }
  ::closedir(dir);
  return state;
}

void add_file(X509_STORE* store, const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (bytes.empty()) return;
  BIO* bio = BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size()));
  int count = 0;
  while (X509* cert = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr)) {
    X509_STORE_add_cert(store, cert);
    X509_free(cert);
    ++count;
  }
  BIO_free(bio);
  if (count == 0) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(bytes.data());
    if (X509* cert = d2i_X509(nullptr, &p, static_cast<long>(bytes.size()))) {
      X509_STORE_add_cert(store, cert);
      X509_free(cert);
    }
  }
}

struct roots_cache {
  library_mutex mutex;
  std::string state;
  X509_STORE* store = nullptr;
};

// Never freed (a check may run during static destruction); a child of fork
// gets the cache between two changes, never with its lock held.
roots_cache& roots() { return lasting_across_fork<roots_cache>(); }

}  // namespace

X509_STORE* trusted_roots() {
  roots_cache& cache = roots();
  std::vector<std::string> files;
  const std::string state = folder_state(codesign_roots_folder(), files);
  std::lock_guard<library_mutex> lock(cache.mutex);
  if (!cache.store || cache.state != state) {
    X509_STORE* store = X509_STORE_new();
    if (!store) return nullptr;
    for (const std::string& path : files) add_file(store, path);
    ERR_clear_error();
    X509_STORE_free(cache.store);
    cache.store = store;
    cache.state = state;
  }
  X509_STORE_up_ref(cache.store);
  return cache.store;
}

}  // namespace krCore::detail
