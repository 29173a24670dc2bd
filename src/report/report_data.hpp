// The "data" of events and handled errors, and the breadcrumb records they carry: built from
// clean values, with nothing read from the client's state.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace quillstone::report {

using Properties = std::map<std::string, std::string>;

// What "data" of a named event holds. `name` and `path` are clean UTF-8 already; the
// properties are cleaned and cut to their limits as the text is written.
struct EventFields {
  std::string_view name;
  double value = 0;
  const std::optional<Properties>& props;
  std::string_view path;
};
// "data" of that event, as compact JSON text at the end of `out`.
void appendEventData(std::string& out, const EventFields& fields);
// Room enough for the text in most cases.
std::size_t eventDataSize(const EventFields& fields);

// What "data" of a handled error holds: clean text, and `device` (the basic device map),
// `breadcrumbs` (the list) and `images` (where the stack's images were loaded; "" for a stack
// the host gave, which has no such list) as compact JSON text.
struct ErrorFields {
  std::string_view name;
  std::string_view message;
  std::string_view stack;
  std::string_view path;
  std::string_view device;
  std::string_view breadcrumbs;
  std::string_view images;
  // When set, writes the list in place of `breadcrumbs`, straight into the report's text: the
  // list is then copied once, where it is read.
  std::function<void(std::string&)> appendBreadcrumbs = {};
  // When set, the stack as a JSON string already (quoted and escaped), written as it is in place
  // of `stack`.
  std::string_view stackJson = {};
};

// "data" of a handled error, as compact JSON text.
std::string errorData(const ErrorFields& fields);
// The same text at the end of `out`.
void appendErrorData(std::string& out, const ErrorFields& fields);
// Room enough for the text in most cases.
std::size_t errorDataSize(const ErrorFields& fields);

// The compact JSON text of that record, around `data`, the compact JSON text of its data.
std::string breadcrumbText(std::int64_t t, std::string_view type, std::string_view data);

// How that text begins; the data's compact text follows it.
constexpr std::string_view kBreadcrumbTextStart = "{\"data\":";
// Ends the text `out` of a record begun with kBreadcrumbTextStart and the data's text.
void finishBreadcrumbText(std::string& out, std::int64_t t, std::string_view type);

}  // namespace quillstone::report
