// The file of a loaded module: a dlopen handle is asked through dlinfo for
// its link map, and an address through dladdr1 for the object containing it.
#include "versions/module_file.h"

#include <dlfcn.h>
#include <link.h>

#include "foundation/errors.h"
#include "foundation/utf.h"
#include "sysutil/environment.h"

namespace krCore::detail {
namespace {

// ERROR_MOD_NOT_FOUND: the value names no loaded module.
constexpr unsigned long kErrorModNotFound = 126;

// Whether `module` is one of the process's dlopen handles: on glibc a
// handle is the module's link_map, so it must appear in the chain.
bool is_loaded_handle(void* module) {
  void* self = dlopen(nullptr, RTLD_LAZY | RTLD_NOLOAD);
  if (!self) return false;
  link_map* map = nullptr;
  const bool ok = dlinfo(self, RTLD_DI_LINKMAP, &map) == 0;
  dlclose(self);
  if (!ok) return false;
  while (map && map->l_prev) map = map->l_prev;
  for (; map; map = map->l_next)
    if (map == module) return true;
  return false;
}

}  // namespace

std::wstring module_file_name(void* module, unsigned long& error) {
  error = 0;
  const link_map* map = nullptr;
  if (is_loaded_handle(module)) {
    map = static_cast<const link_map*>(module);
  } else {
    Dl_info info{};
    void* extra = nullptr;
    if (dladdr1(module, &info, &extra, RTLD_DL_LINKMAP) == 0 || !extra) {
      error = kErrorModNotFound;
      return {};
    }
    map = static_cast<const link_map*>(extra);
  }
  // The main program's entry has no name: it is the executable.
  if (map->l_name && *map->l_name) return wide_from_file_name(map->l_name);
  return executable_path(error);
}

}  // namespace krCore::detail
