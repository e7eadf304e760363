// Owning holders: RAII owners of handles, memory blocks, streams and loaded
// modules, and the handle deleters for shared pointers.
#pragma once

#include <krcore/export.h>
#include <krcore/singleton.h>
#include <krcore/wintypes.h>

#include <cstdio>

namespace krCore {

// ---------------------------------------------------------------------------
// Owning holders. Each owns one resource and releases it at most once: the
// release operation clears the stored value, so calling it again does
// nothing; the destructor runs it. attach(x) releases the held resource and
// holds x, unless x is the value held. Not copyable; not thread-safe: one
// holder is used by one thread at a time. Releasing never throws and
// reports nothing (a failed close or unload is ignored: the destructors that
// run it have no one to tell). Memory of the platform's local heap, process
// heap, COM task allocator and RPC string functions is plain malloc memory
// on this platform.
// ---------------------------------------------------------------------------

// A handle; closed when valid (neither null nor all bits set). One thread;
// never throws.
class KRCORE_API auto_closehandle : noncopyable_base {
 public:
  explicit auto_closehandle(void* handle);
  ~auto_closehandle();
  void close();
  void attach(void* handle);
  void* get() { return _handle; }

 private:
  void* _handle;
};

// A block of local-heap memory (malloc); freed when not null. One thread;
// never throws.
class KRCORE_API auto_localfree : noncopyable_base {
 public:
  explicit auto_localfree(void* memory);
  ~auto_localfree();
  void dispose();
  void attach(void* memory);
  void* get() const { return _memory; }
  // Returns the block and forgets it without freeing.
  void* release();

 private:
  void* _memory;
};

// A malloc block and its size. The allocation is not checked: a failed
// malloc leaves a null pointer with the requested size recorded, and nothing
// is thrown. One thread.
class KRCORE_API auto_malloc : noncopyable_base {
 public:
  explicit auto_malloc(unsigned int size);
  ~auto_malloc();
  // Frees the block; pointer and size become 0.
  void dispose();
  void* get() { return _memory; }

 private:
  auto_malloc();
  void alloc(unsigned int size);
  void* _memory = nullptr;
  unsigned int _size = 0;
};

// A block of a heap. A null heap means the process heap; flag 0x8 zeroes
// the block. Throws std::bad_alloc when the allocation fails. One thread.
class KRCORE_API auto_heap_memory : noncopyable_base {
 public:
  auto_heap_memory(unsigned long size, unsigned long flags, void* heap);
  ~auto_heap_memory();
  void dispose();
  void* get() { return _memory; }

 private:
  // The heap the caller named; one allocator serves every heap here, so it
  // is kept only for the object's layout.
  [[maybe_unused]] void* _heap;
  void* _memory;
};

// A standard I/O stream; closed when not null (the result of fclose is
// dropped). One thread; never throws.
class KRCORE_API auto_fclose : noncopyable_base {
 public:
  explicit auto_fclose(FILE* file);
  ~auto_fclose();
  void close();
  void attach(FILE* file);
  FILE* get() { return _file; }

 private:
  FILE* _file;
};

// A loaded module (a dlopen handle); unloaded when not null (a failed
// unload is ignored). One thread; never throws.
class KRCORE_API auto_freelibrary : noncopyable_base {
 public:
  explicit auto_freelibrary(HINSTANCE module);
  ~auto_freelibrary();
  void dispose();
  HINSTANCE get() { return _module; }

 private:
  HINSTANCE _module;
};

// COM task memory; freed by the destructor (null is accepted). One thread;
// never throws.
class KRCORE_API auto_CoTaskMemFree : noncopyable_base {
 public:
  explicit auto_CoTaskMemFree(void* memory);
  explicit auto_CoTaskMemFree(unsigned char* memory);
  explicit auto_CoTaskMemFree(wchar_t* memory);
  ~auto_CoTaskMemFree();

 private:
  void* _memory;
};

// The address of an RPC string pointer; the string is freed through the
// address (and the pointer there set to null), which must stay valid while
// held. One thread; never throws.
class KRCORE_API auto_rpcstringfree : noncopyable_base {
 public:
  explicit auto_rpcstringfree(wchar_t** address);
  ~auto_rpcstringfree();
  void dispose();
  void attach(wchar_t** address);
  // The string, or null when no address is held.
  wchar_t* get() { return _address ? *_address : nullptr; }

 private:
  wchar_t** _address;
};

// Handle deleters for shared pointers to handles. CloseHandleImpl closes a
// valid handle and logs a failure (at log_error, with the error's text);
// neither throws. Thread-safe.
KRCORE_API void CloseHandleImpl(void* handle);
KRCORE_API void NoCloseHandleImpl(void* handle);

}  // namespace krCore
