#include "console/resources.h"

namespace console {

const Resource* FindResource(std::string_view path) {
  for (const Resource& r : Resources()) {
    if (path == r.path) return &r;
  }
  return nullptr;
}

const char* ContentTypeOf(std::string_view path) {
  auto ends = [&](std::string_view ext) {
    return path.size() >= ext.size() && path.substr(path.size() - ext.size()) == ext;
  };
  if (ends(".html")) return "text/html; charset=utf-8";
  if (ends(".js")) return "text/javascript; charset=utf-8";
  if (ends(".css")) return "text/css; charset=utf-8";
  if (ends(".svg")) return "image/svg+xml";
  if (ends(".json")) return "application/json; charset=utf-8";
  if (ends(".png")) return "image/png";
  if (ends(".ico")) return "image/x-icon";
  return "application/octet-stream";
}

}  // namespace console
