// A fuzz target's code run over files, without libFuzzer: the test suite runs every target over
// its seed corpus and over every input that ever failed it (fuzz/regressions/<target>/), so a
// fault once found stays mended. Arguments: files or directories; directories are read whole.
// Fails when nothing was run, as when a corpus went missing.
#include <stdio.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv) {
  size_t inputs = 0;
  for (int i = 1; i < argc; ++i) {
    std::vector<std::filesystem::path> files;
    std::error_code error;
    if (std::filesystem::is_directory(argv[i], error)) {
      for (const auto& entry : std::filesystem::directory_iterator(argv[i], error))
        if (entry.is_regular_file()) files.push_back(entry.path());
      std::sort(files.begin(), files.end());
    } else if (std::filesystem::exists(argv[i], error)) {
      files.emplace_back(argv[i]);
    }
    for (const std::filesystem::path& file : files) {
      std::ifstream stream(file, std::ios::binary);
      std::string bytes((std::istreambuf_iterator<char>(stream)), std::istreambuf_iterator<char>());
      printf("%s\n", file.c_str());
      fflush(stdout);  // a crash names the input it was on
      LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
      ++inputs;
    }
  }
  printf("%zu inputs\n", inputs);
  return inputs > 0 ? 0 : 1;
}
