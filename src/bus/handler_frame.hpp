// The frame shared by every D-Bus method handler: the body runs inside one capture of
// all exceptions; an exception is logged with the handler's own line and becomes the
// failure form of the method's result. Nothing is rolled back.
#pragma once

#include <cstdint>
#include <string>
#include <tuple>
#include <vector>

#include "bus/bus.hpp"
#include "trace.h"

namespace velmer {

// (velmerResponseStatus, velmerResponseData, velmerResponseErrCode)
using ResponseTriple = std::tuple<uint16_t, std::string, uint16_t>;

template <class Result>
struct FailureForm;

template <>
struct FailureForm<uint16_t> {
  static uint16_t make(const std::string&) { return 1; }
};
template <>
struct FailureForm<ResponseTriple> {
  static ResponseTriple make(const std::string& what) { return {1, what, 1}; }
};
template <>
struct FailureForm<std::tuple<uint16_t, std::string>> {
  static std::tuple<uint16_t, std::string> make(const std::string&) { return {1, ""}; }
};
template <>
struct FailureForm<std::tuple<uint16_t, std::vector<std::string>>> {
  static std::tuple<uint16_t, std::vector<std::string>> make(const std::string&) { return {1, {}}; }
};
template <>
struct FailureForm<std::tuple<uint16_t, uint8_t>> {
  static std::tuple<uint16_t, uint8_t> make(const std::string&) { return {1, 0}; }
};

// Runs `body` for the handler `tag`. On an exception logs `exceptionFormat` at level 4
// with the tag and the exception's text (formats that show no text simply ignore it)
// and returns the failure form.
template <class Body>
auto methodFrame(const char* tag, const char* exceptionFormat, Body&& body) -> decltype(body()) {
  using Result = decltype(body());
  std::string what;
  try {
    return body();
  } catch (const std::exception& e) {
    what = bus::validUtf8(e.what());
  } catch (...) {
    what = "unknown exception";
  }
  trace_printf(4, 8, exceptionFormat, tag, what.c_str());
  return FailureForm<Result>::make(what);
}

// Body of setAllProperties on every interface: applies the map through the object's
// setters; 0, or 65535 when a value has the wrong type. `className` names the object
// in the log ("JobServicejobinfo"); the main object passes null and logs nothing.
template <class Object, class Fields>
uint16_t setAllPropertiesOf(Object& object, const Fields& fields, const std::map<std::string, sdbus::Variant>& values,
                            const char* className) {
  constexpr const char* kTag = "setAllProperties";
  if (className != nullptr) trace_printf(4, 8, "[%s]: Entering setAllProperties for %s\n", kTag, className);
  try {
    object.applyProperties(fields, values, [&](const std::string& name) {
      if (className != nullptr) trace_printf(4, 8, "[%s]: setting properties: %s\n", kTag, name.c_str());
    });
    return 0;
  } catch (const std::exception& e) {
    if (className != nullptr)
      trace_printf(4, 8, "[%s]: EXCEPTION  in setting properties, error: [%s]\n", kTag, e.what());
    return 65535;
  } catch (...) {
    return 65535;
  }
}

}  // namespace velmer
