#include "report.hpp"

#include <nlohmann/json.hpp>

namespace quillstone::symbolicate {
namespace {

std::string stringMember(const nlohmann::json& object, const char* key) {
  const auto it = object.find(key);
  return it != object.end() && it->is_string() ? it->get<std::string>() : std::string();
}

ReportOrError failure(std::string reason) { return {std::nullopt, std::move(reason)}; }

}  // namespace

ReportOrError parseReport(std::string_view text) {
  const auto document = nlohmann::json::parse(text, nullptr, false);
  if (document.is_discarded()) return failure("the report is not valid JSON");
  if (!document.is_object()) return failure("the report is not a JSON object");
  const auto data = document.find("data");
  if (data == document.end() || !data->is_object()) {
    return failure("the report has no \"data\" object");
  }
  const auto stack = data->find("stack");
  if (stack == data->end() || !stack->is_string()) {
    return failure("the report has no \"data\".\"stack\" text");
  }
  Report report;
  report.imageUUID = stringMember(document, "imageUUID");
  report.name = stringMember(*data, "name");
  report.message = stringMember(*data, "message");
  report.stack = stack->get<std::string>();
  return {std::move(report), {}};
}

}  // namespace quillstone::symbolicate
