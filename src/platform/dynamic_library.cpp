#include "platform/dynamic_library.h"

#include <dlfcn.h>

#include <filesystem>
#include <utility>

namespace tulix {
namespace {

std::string LoaderError() {
  const char* text = dlerror();
  return text != nullptr ? text : "unknown loader error";
}

}  // namespace

DynamicLibrary::~DynamicLibrary() {
  Close();
}

DynamicLibrary::DynamicLibrary(DynamicLibrary&& other) noexcept
    : m_handle(std::exchange(other.m_handle, nullptr)), m_error(std::move(other.m_error)) {}

DynamicLibrary& DynamicLibrary::operator=(DynamicLibrary&& other) noexcept {
  if (this != &other) {
    Close();
    m_handle = std::exchange(other.m_handle, nullptr);
    m_error = std::move(other.m_error);
  }
  return *this;
}

bool DynamicLibrary::Open(std::string_view path) {
  Close();
  m_error.clear();
  if (path.empty()) {
    m_error = "no library named";
    return false;
  }
  // A name without a slash would be looked up in the system's library folders; the caller
  // always means a file it has found, so the path is made absolute first.
  std::error_code ec;
  std::filesystem::path file = std::filesystem::absolute(std::filesystem::path(path), ec);
  if (ec) {
    m_error = ec.message();
    return false;
  }
  // Clear any error left by an earlier call, so the text read below is this call's.
  dlerror();
  m_handle = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (m_handle == nullptr) {
    m_error = LoaderError();
    return false;
  }
  return true;
}

void DynamicLibrary::Close() {
  if (m_handle != nullptr) {
    dlclose(m_handle);
    m_handle = nullptr;
  }
}

void* DynamicLibrary::Symbol(const char* name) {
  if (m_handle == nullptr) {
    m_error = "no library open";
    return nullptr;
  }
  dlerror();
  void* address = dlsym(m_handle, name);
  if (address == nullptr) {
    m_error = LoaderError();
    return nullptr;
  }
  m_error.clear();
  return address;
}

std::optional<std::string> ComponentVersionValue(DynamicLibrary& library, const char* name) {
  auto versionValue = library.Function<ComponentVersionFunction>(kComponentVersionSymbol);
  if (versionValue == nullptr) {
    return std::nullopt;
  }
  const char* value = versionValue(name);
  if (value == nullptr) {
    return std::nullopt;
  }
  return std::string(value);
}

}  // namespace tulix
