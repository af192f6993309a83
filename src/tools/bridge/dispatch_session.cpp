#include "tools/bridge/dispatch_session.h"

#include <cstdio>
#include <limits>
#include <vector>

#include "browserlib/com/variant.h"
#include "tools/bridge/json_value.h"
#include "tools/bridge/message_frame.h"

namespace tulix::bridge {

namespace {

using com::HRESULT;

std::string HresultText(HRESULT hr) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "0x%08X", static_cast<unsigned>(hr));
  return buffer;
}

// The request's id as JSON text to echo; only plain values are taken back.
bool IdJson(const JsonValue* id, std::string& out) {
  if (id == nullptr || id->IsNull()) {
    out = "null";
  } else if (const JsonNumber* number = id->AsNumber()) {
    out = number->text;
  } else if (const std::string* text = id->AsString()) {
    out.clear();
    AppendJsonString(out, *text);
  } else {
    out = "null";
    return false;
  }
  return true;
}

// Owns the argument list of one Invoke call, last argument first as DISPPARAMS wants it.
class Arguments {
 public:
  ~Arguments() {
    for (com::VARIANT& v : m_values) {
      com::VariantClear(&v);
    }
  }

  // Converts the JSON arguments; an error text on failure.
  std::string Fill(const JsonArray& params) {
    m_values.reserve(params.size());
    for (size_t i = params.size(); i-- > 0;) {
      const JsonValue& value = params[i];
      if (const std::string* text = value.AsString()) {
        m_values.push_back(com::MakeVariantBstr(*text));
        if (m_values.back().bstrVal == nullptr) {
          return "out of memory";
        }
      } else if (const JsonNumber* number = value.AsNumber();
                 number != nullptr && number->integer &&
                 *number->integer >= std::numeric_limits<int32_t>::min() &&
                 *number->integer <= std::numeric_limits<int32_t>::max()) {
        m_values.push_back(com::MakeVariantI4(static_cast<int32_t>(*number->integer)));
      } else {
        return "parameter " + std::to_string(i + 1) +
               " must be a string or a whole number within 32 bits";
      }
    }
    return {};
  }

  com::DISPPARAMS* Params() {
    m_params.rgvarg = m_values.empty() ? nullptr : m_values.data();
    m_params.rgdispidNamedArgs = nullptr;
    m_params.cArgs = static_cast<com::UINT>(m_values.size());
    m_params.cNamedArgs = 0;
    return &m_params;
  }

 private:
  std::vector<com::VARIANT> m_values;
  com::DISPPARAMS m_params{};
};

std::string CallError(const std::string& method, HRESULT hr, com::UINT argError,
                      size_t argumentCount) {
  // argError counts from the last argument, as rgvarg is ordered.
  const auto position = [&] { return std::to_string(argumentCount - argError); };
  if (hr == com::DISP_E_BADPARAMCOUNT) {
    return "wrong number of parameters for " + method;
  }
  if (hr == com::DISP_E_TYPEMISMATCH && argError < argumentCount) {
    return "parameter " + position() + " of " + method + " has the wrong type";
  }
  if (hr == com::DISP_E_OVERFLOW && argError < argumentCount) {
    return "parameter " + position() + " of " + method + " is out of range";
  }
  if (hr == com::DISP_E_MEMBERNOTFOUND) {
    return "unknown method " + method;
  }
  return method + " failed with " + HresultText(hr);
}

}  // namespace

std::string ErrorReply(std::string_view idJson, std::string_view error) {
  std::string reply = "{\"id\":";
  reply += idJson;
  reply += ",\"error\":";
  AppendJsonString(reply, error);
  reply += '}';
  return reply;
}

std::string RequestIdJson(std::string_view request) {
  JsonParseResult parsed = ParseJson(request);
  std::string id = "null";
  if (parsed.value) {
    IdJson(parsed.value->Find("id"), id);
  }
  return id;
}

DispatchSession::DispatchSession(com::IDispatch* object) : m_object(object) {
  m_object->AddRef();
}

DispatchSession::~DispatchSession() {
  m_object->Release();
}

std::string DispatchSession::Answer(std::string_view request) {
  JsonParseResult parsed = ParseJson(request);
  if (!parsed.value) {
    return ErrorReply("null", "malformed JSON: " + parsed.error);
  }
  const JsonValue& message = *parsed.value;
  if (message.AsObject() == nullptr) {
    return ErrorReply("null", "a request must be a JSON object");
  }
  std::string id;
  if (!IdJson(message.Find("id"), id)) {
    return ErrorReply(id, "id must be a number, a string or null");
  }
  const JsonValue* methodValue = message.Find("method");
  const std::string* method = methodValue != nullptr ? methodValue->AsString() : nullptr;
  if (method == nullptr) {
    return ErrorReply(id, "method must be given as a string");
  }
  const JsonValue* paramsValue = message.Find("params");
  static const JsonArray kNoParams;
  const JsonArray* params = paramsValue == nullptr ? &kNoParams : paramsValue->AsArray();
  if (params == nullptr) {
    return ErrorReply(id, "params must be an array");
  }

  com::UniqueBstr name(*method);
  com::OLECHAR* names[] = {name.get()};
  com::DISPID dispid = com::DISPID_UNKNOWN;
  HRESULT hr = m_object->GetIDsOfNames(com::GUID_NULL, names, 1, 0, &dispid);
  if (hr == com::DISP_E_UNKNOWNNAME) {
    return ErrorReply(id, "unknown method " + *method);
  }
  if (com::FAILED(hr)) {
    return ErrorReply(id, "looking up " + *method + " failed with " + HresultText(hr));
  }

  Arguments arguments;
  if (std::string error = arguments.Fill(*params); !error.empty()) {
    return ErrorReply(id, error);
  }
  com::VARIANT result;
  com::VariantInit(&result);
  com::UINT argError = 0;
  hr = m_object->Invoke(dispid, com::GUID_NULL, 0, com::DISPATCH_METHOD, arguments.Params(),
                        &result, nullptr, &argError);
  if (com::FAILED(hr)) {
    return ErrorReply(id, CallError(*method, hr, argError, params->size()));
  }
  std::string reply = "{\"id\":" + id + ",\"result\":";
  switch (result.vt) {
    case com::VT_BSTR:
      AppendJsonString(reply, com::Utf8FromBstr(result.bstrVal));
      break;
    case com::VT_I4:
      reply += std::to_string(result.lVal);
      break;
    case com::VT_BOOL:
      reply += result.boolVal != 0 ? "true" : "false";
      break;
    default:
      reply += "null";
      break;
  }
  com::VariantClear(&result);
  reply += '}';
  // A browser drops the connection on an answer over its limit; an error keeps it.
  if (reply.size() > kMaxMessageBytes) {
    return ErrorReply(id, "the answer of " + std::to_string(reply.size()) +
                              " bytes is over the limit of " + std::to_string(kMaxMessageBytes) +
                              " bytes");
  }
  return reply;
}

}  // namespace tulix::bridge
