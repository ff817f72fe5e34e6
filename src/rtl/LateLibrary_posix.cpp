#include <dlfcn.h>

#include <map>
#include <mutex>
#include <string>

#include "rtl/LateLibrary.h"
#include "rtl/SysUtils.h"

void* LateLibraryCall(const char* library, const char* name) {
  static std::mutex lock;
  static std::map<std::string, void*> opened;
  std::lock_guard<std::mutex> guard(lock);
  void*& handle = opened[library];
  if (handle == nullptr) handle = ::dlopen(library, RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) throw Exception(std::string("Cannot load ") + ::dlerror());
  void* call = ::dlsym(handle, name);
  if (call == nullptr) throw Exception(std::string(library) + " lacks " + name);
  return call;
}
