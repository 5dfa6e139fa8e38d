// The web UI files of resources/, built into the program.
#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

namespace console {

struct Resource {
  const char* path;  // "/index.html", "/icons/run.svg", ...
  const unsigned char* data;
  size_t size;
};

const std::vector<Resource>& Resources();

// The resource at `path`, or nullptr.
const Resource* FindResource(std::string_view path);
// The content type for a path's extension.
const char* ContentTypeOf(std::string_view path);

}  // namespace console
