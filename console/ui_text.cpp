#include "console/ui_text.h"

#include <nlohmann/json.hpp>

#include "console/resources.h"

namespace console {
namespace {

const nlohmann::json& Table(bool japanese) {
  auto load = [](const char* path) {
    const Resource* r = FindResource(path);
    if (r == nullptr) return nlohmann::json::object();
    nlohmann::json t = nlohmann::json::parse(r->data, r->data + r->size, nullptr, false);
    return t.is_object() ? t : nlohmann::json::object();
  };
  static const nlohmann::json en = load("/messages/en.json");
  static const nlohmann::json ja = load("/messages/ja.json");
  return japanese ? ja : en;
}

}  // namespace

std::string MessageText(const std::string& language, const std::string& key,
                        const std::string& arg) {
  const nlohmann::json& t = Table(language == "1");
  auto it = t.find(key);
  std::string text = it != t.end() && it->is_string() ? it->get<std::string>() : key;
  size_t at = text.find("%s");
  if (at != std::string::npos) text.replace(at, 2, arg);
  return text;
}

}  // namespace console
