#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "krvd/system/ControllerPaths.h"

namespace krvtest {

// A fresh folder under the system's temporary directory, removed with its content.
class TempDir {
  public:
    TempDir() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "krvd-test-XXXXXX").string();
        if (mkdtemp(pattern.data()) != nullptr) {
            path_ = pattern;
        }
    }
    ~TempDir() {
        std::error_code ignored;
        if (!path_.empty()) {
            std::filesystem::remove_all(path_, ignored);
        }
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    std::string path() const { return path_.string(); }
    std::string file(const std::string& name) const { return (path_ / name).string(); }
    std::string write(const std::string& name, const std::string& content) const {
        std::ofstream(file(name), std::ios::binary) << content;
        return file(name);
    }
    // The controller's run-time files, all inside this folder (none of them written yet).
    krvd::ControllerPaths controllerPaths() const {
        return {file("controller"), file("housenames"), file("krvd_interface"),
                file("change-in-progress")};
    }

  private:
    std::filesystem::path path_;
};

}  // namespace krvtest
