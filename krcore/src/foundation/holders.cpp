// The owning holders of single platform resources.
//
// Each release operation frees at most once and clears the stored value, so
// calling it again (or destroying the holder afterwards) does nothing.

#include <krcore/foundation.h>

#include <cstdlib>
#include <cstring>
#include <new>

#include "foundation/local_memory.h"
#include "foundation/process_calls.h"

namespace krCore {
namespace {
bool valid(void* h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
constexpr unsigned long kHeapZeroMemory = 0x8;
}  // namespace

auto_closehandle::auto_closehandle(void* handle) : _handle(handle) {}
auto_closehandle::~auto_closehandle() { close(); }
void auto_closehandle::close() {
  if (valid(_handle)) ::CloseHandle(_handle);
  _handle = nullptr;
}
void auto_closehandle::attach(void* handle) {
  if (handle == _handle) return;
  close();
  _handle = handle;
}

auto_localfree::auto_localfree(void* memory) : _memory(memory) {}
auto_localfree::~auto_localfree() { dispose(); }
void auto_localfree::dispose() {
  detail::LocalFree(_memory);
  _memory = nullptr;
}
void auto_localfree::attach(void* memory) {
  if (memory == _memory) return;
  dispose();
  _memory = memory;
}
void* auto_localfree::release() {
  void* p = _memory;
  _memory = nullptr;
  return p;
}

auto_malloc::auto_malloc() = default;
auto_malloc::auto_malloc(unsigned int size) { alloc(size); }
auto_malloc::~auto_malloc() { dispose(); }
void auto_malloc::alloc(unsigned int size) {
  _memory = std::malloc(size);
  _size = size;
}
void auto_malloc::dispose() {
  std::free(_memory);
  _memory = nullptr;
  _size = 0;
}

auto_heap_memory::auto_heap_memory(unsigned long size, unsigned long flags, void* heap)
    : _heap(heap) {
  // Every heap is the C heap here; zeroing is the only flag with an effect.
  _memory = (flags & kHeapZeroMemory) ? std::calloc(size ? size : 1, 1) : std::malloc(size ? size : 1);
  if (!_memory) throw std::bad_alloc();
}
auto_heap_memory::~auto_heap_memory() { dispose(); }
void auto_heap_memory::dispose() {
  std::free(_memory);
  _memory = nullptr;
}

auto_fclose::auto_fclose(FILE* file) : _file(file) {}
auto_fclose::~auto_fclose() { close(); }
void auto_fclose::close() {
  // A holder's close runs from destructors, which have no one to tell.
  if (_file) (void)std::fclose(_file);
  _file = nullptr;
}
void auto_fclose::attach(FILE* file) {
  if (file == _file) return;
  close();
  _file = file;
}

auto_freelibrary::auto_freelibrary(HINSTANCE module) : _module(module) {}
auto_freelibrary::~auto_freelibrary() { dispose(); }
void auto_freelibrary::dispose() {
  detail::unload_module(_module);
  _module = nullptr;
}

auto_CoTaskMemFree::auto_CoTaskMemFree(void* memory) : _memory(memory) {}
auto_CoTaskMemFree::auto_CoTaskMemFree(unsigned char* memory) : _memory(memory) {}
auto_CoTaskMemFree::auto_CoTaskMemFree(wchar_t* memory) : _memory(memory) {}
auto_CoTaskMemFree::~auto_CoTaskMemFree() { detail::co_task_mem_free(_memory); }

auto_rpcstringfree::auto_rpcstringfree(wchar_t** address) : _address(address) {}
auto_rpcstringfree::~auto_rpcstringfree() { dispose(); }
void auto_rpcstringfree::dispose() {
  if (_address && *_address) {
    detail::rpc_string_free(*_address);
    *_address = nullptr;
  }
  _address = nullptr;
}
void auto_rpcstringfree::attach(wchar_t** address) {
  if (address == _address) return;
  dispose();
  _address = address;
}

}  // namespace krCore
