#include "report.hpp"

#include <charconv>

#include <nlohmann/json.hpp>

namespace quillstone::symbolicate {
namespace {

std::string stringMember(const nlohmann::json& object, const char* key) {
  const auto it = object.find(key);
  return it != object.end() && it->is_string() ? it->get<std::string>() : std::string();
}

ReportOrError failure(std::string reason) { return {std::nullopt, std::move(reason)}; }

std::optional<std::uint64_t> hexNumber(const nlohmann::json& value) {
  if (!value.is_string()) return std::nullopt;
  const std::string& text = value.get_ref<const std::string&>();
  if (text.size() < 3 || text.size() > 18 || text.compare(0, 2, "0x") != 0) return std::nullopt;
  std::uint64_t number = 0;
  const auto [end, error] = std::from_chars(text.data() + 2, text.data() + text.size(), number, 16);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return number;
}

std::optional<ReportImage> parseImage(const nlohmann::json& entry) {
  if (!entry.is_object()) return std::nullopt;
  const auto base = entry.find("base");
  const auto size = entry.find("size");
  if (base == entry.end() || size == entry.end() || !size->is_number_unsigned()) {
    return std::nullopt;
  }
  const auto number = hexNumber(*base);
  if (!number) return std::nullopt;
  return ReportImage{stringMember(entry, "path"), stringMember(entry, "buildId"), *number,
                     size->get<std::uint64_t>()};
}

// The list as written, or none at all: with an entry missing, the first one might not be the
// main program any more.
std::vector<ReportImage> parseImages(const nlohmann::json& data) {
  const auto list = data.find("images");
  if (list == data.end() || !list->is_array()) return {};
  std::vector<ReportImage> images;
  for (const auto& entry : *list) {
    auto image = parseImage(entry);
    if (!image) return {};
    images.push_back(std::move(*image));
  }
  return images;
}

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
  report.images = parseImages(*data);
  return {std::move(report), {}};
}

}  // namespace quillstone::symbolicate
