// Runs every seed file under the given folders (or the given files) through the fuzz
// target's entry function once, so a plain build checks the seeds and keeps the targets
// compiling. Folders named "crashes" hold reproducers of open faults and are skipped.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

namespace fs = std::filesystem;

void Collect(const fs::path& path, std::vector<fs::path>* out) {
  if (fs::is_regular_file(path)) {
    out->push_back(path);
    return;
  }
  if (!fs::is_directory(path)) return;
  for (auto it = fs::recursive_directory_iterator(path); it != fs::recursive_directory_iterator();
       ++it) {
    if (it->is_directory() && it->path().filename() == "crashes") {
      it.disable_recursion_pending();
    } else if (it->is_regular_file()) {
      out->push_back(it->path());
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<fs::path> files;
  for (int i = 1; i < argc; ++i) Collect(argv[i], &files);
  if (files.empty()) {
    std::fprintf(stderr, "no seed files found\n");
    return 1;
  }
  for (const fs::path& file : files) {
    std::ifstream in(file, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::printf("%s (%zu bytes)\n", file.c_str(), bytes.size());
    std::fflush(stdout);
    // A copy of exactly the file's size, so the sanitizers see any read past its end.
    std::vector<uint8_t> copy(bytes.begin(), bytes.end());
    LLVMFuzzerTestOneInput(copy.data(), copy.size());
  }
  std::printf("%zu seeds replayed\n", files.size());
  return 0;
}
