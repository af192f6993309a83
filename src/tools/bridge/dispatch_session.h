// Answers the bridge's requests by calling an IDispatch object's methods by name.
//
// A request is a JSON object {"id": ID, "method": NAME, "params": [ARG...]}: ID is any JSON
// value and comes back unchanged (null when the request has none or could not be read),
// "params" may be left out for a method without parameters, and each ARG is a string or a
// whole number within 32 bits. The answer is {"id": ID, "result": VALUE} with the method's
// [out, retval] value (a string, a number, or null for a method without one), or
// {"id": ID, "error": TEXT} when the request cannot be read or the call fails, or when the
// answer would be longer than a browser takes (kMaxMessageBytes).
//
// The session holds a reference to the object for its life. Thread safety: one thread at a
// time; the object's own rules apply to its calls.
#pragma once

#include <string>
#include <string_view>

#include "browserlib/com/interfaces.h"

namespace tulix::bridge {

class DispatchSession {
 public:
  explicit DispatchSession(com::IDispatch* object);
  ~DispatchSession();
  DispatchSession(const DispatchSession&) = delete;
  DispatchSession& operator=(const DispatchSession&) = delete;

  // The answer to one request message.
  std::string Answer(std::string_view request);

 private:
  com::IDispatch* m_object;
};

// The id of a request as JSON text to answer with: "null" when the request cannot be read or
// its id is not a number, a string or null.
std::string RequestIdJson(std::string_view request);

// {"id": ID, "error": TEXT}, with `idJson` already JSON text.
std::string ErrorReply(std::string_view idJson, std::string_view error);

}  // namespace tulix::bridge
