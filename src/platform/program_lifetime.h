#pragma once

#include <functional>
#include <utility>

namespace tulix {

// Objects shared by every thread, which must outlive all of them: locks, caches, lists of
// pending requests. A program never destroys them, because a thread may still use one while the
// process exits. A library carrying this code frees them when it is unloaded, after it has
// stopped its own threads, so that a host loading and unloading it again and again does not
// lose memory each time.
void RegisterProgramLifetimeObject(std::function<void()> release);

// Frees every registered object, the newest first. Only for a library being unloaded: no thread
// of its own may run any more.
void ReleaseProgramLifetimeObjects();

// A new T that lives until the program ends or its library is unloaded. Meant for a
// function-local static reference: `static auto& cache = MakeProgramLifetime<Cache>();`.
template <typename T, typename... Args>
T& MakeProgramLifetime(Args&&... args) {
  T* object = new T(std::forward<Args>(args)...);
  RegisterProgramLifetimeObject([object] { delete object; });
  return *object;
}

}  // namespace tulix
