// A stand-in browser component for the registration tests, built in several variants:
//   TEST_COMPONENT_HAS_VERSION_VALUE  answers "OLESelfRegister" (else only "FileDescription")
//   TEST_COMPONENT_HAS_EXPORTS        exports DllRegisterServer and DllUnregisterServer
//   TEST_COMPONENT_RESULT             what those exports return (0 is success)
// Each call of an export appends "register <file>" or "unregister <file>" to the file named by
// $TULIX_COMPONENT_MARKER, <file> being the path this library was loaded from, so a test sees
// which copy was called and in what order.
#include <dlfcn.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#if TEST_COMPONENT_HAS_EXPORTS
namespace {

void RecordCall(const char* what, const void* self) {
  const char* marker = std::getenv("TULIX_COMPONENT_MARKER");
  if (marker == nullptr || *marker == '\0') {
    return;
  }
  Dl_info info{};
  const char* file = dladdr(self, &info) != 0 && info.dli_fname != nullptr ? info.dli_fname : "?";
  if (std::FILE* out = std::fopen(marker, "a")) {
    std::fprintf(out, "%s %s\n", what, file);
    std::fclose(out);
  }
}

}  // namespace
#endif

extern "C" __attribute__((visibility("default"))) const char* TulixComponentVersionValue(
    const char* name) {
#if TEST_COMPONENT_HAS_VERSION_VALUE
  if (std::strcmp(name, "OLESelfRegister") == 0) {
    return "";
  }
#endif
  if (std::strcmp(name, "FileDescription") == 0) {
    return "Test browser component";
  }
  return nullptr;
}

#if TEST_COMPONENT_HAS_EXPORTS
extern "C" __attribute__((visibility("default"))) int32_t DllRegisterServer() {
  RecordCall("register", reinterpret_cast<const void*>(&DllRegisterServer));
  return TEST_COMPONENT_RESULT;
}

extern "C" __attribute__((visibility("default"))) int32_t DllUnregisterServer() {
  RecordCall("unregister", reinterpret_cast<const void*>(&DllUnregisterServer));
  return TEST_COMPONENT_RESULT;
}
#endif
