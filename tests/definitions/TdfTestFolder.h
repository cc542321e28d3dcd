// A throw-away folder of description files for the catalogue tests.
#pragma once

#include <unistd.h>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

namespace tessaro::testing {

class TdfTestFolder {
 public:
  TdfTestFolder() {
    static std::atomic<int> counter{0};
    path_ = (std::filesystem::temp_directory_path() /
             ("tessaro_tdf_" + std::to_string(::getpid()) + "_" + std::to_string(counter++)))
                .string();
    std::filesystem::remove_all(path_);
    std::filesystem::create_directories(path_);
  }
  ~TdfTestFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TdfTestFolder(const TdfTestFolder&) = delete;
  TdfTestFolder& operator=(const TdfTestFolder&) = delete;

  void Write(const std::string& name, std::string_view bytes) const {
    std::ofstream out(path_ + "/" + name, std::ios::binary);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace tessaro::testing
