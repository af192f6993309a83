// Loading a shared library into the process and finding its exported functions, and reading the
// "version value" a self-registering component carries.
//
// A component cannot carry a version resource on this system, so it answers for one itself: it
// exports
//     extern "C" const char* TulixComponentVersionValue(const char* name);
// which returns the text of the named value, or null when the component has no such value. The
// returned text belongs to the component and stays valid while it is loaded. Asking for a value
// means loading the library, and so running its initialisers: only load files the program put
// in its own folders.
//
// Ownership: a DynamicLibrary owns one reference to the loaded library and drops it when it
// closes or goes; function pointers found through it must not be used after that.
//
// Thread safety: distinct objects may be used from different threads; the system's loader
// serialises loading and unloading. The error text of a failed Open is kept in the object, so
// it is not lost to another thread's later failure.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tulix {

// The function a component exports in place of a version resource.
inline constexpr char kComponentVersionSymbol[] = "TulixComponentVersionValue";
using ComponentVersionFunction = const char* (*)(const char* name);

class DynamicLibrary {
 public:
  DynamicLibrary() = default;
  ~DynamicLibrary();
  DynamicLibrary(DynamicLibrary&& other) noexcept;
  DynamicLibrary& operator=(DynamicLibrary&& other) noexcept;
  DynamicLibrary(const DynamicLibrary&) = delete;
  DynamicLibrary& operator=(const DynamicLibrary&) = delete;

  // Loads the library at `path` (a file-system path), resolving all its symbols at once, with
  // its symbols kept out of the global namespace. A relative path is taken from the current
  // folder, never searched for in the system's library folders. Closes what was open before.
  // False, with error() set, when it cannot be loaded.
  bool Open(std::string_view path);
  // Drops the reference; the library is unloaded when nothing else holds it.
  void Close();

  bool IsOpen() const { return m_handle != nullptr; }
  // Why the last Open or Symbol failed, as the loader put it; empty after a success.
  const std::string& error() const { return m_error; }

  // The address of the exported symbol, or null (error() set) when it is not exported or
  // nothing is open.
  void* Symbol(const char* name);

  // The exported function `name` as a pointer of type F, or null.
  template <typename F>
  F Function(const char* name) {
    return reinterpret_cast<F>(Symbol(name));
  }

 private:
  void* m_handle = nullptr;
  std::string m_error;
};

// The value named `name` that the open component answers through TulixComponentVersionValue;
// nullopt when it exports no such function or has no such value.
std::optional<std::string> ComponentVersionValue(DynamicLibrary& library, const char* name);

}  // namespace tulix
