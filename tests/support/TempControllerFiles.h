#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "krvd/system/ControllerPaths.h"

namespace krvtest {

// A private directory standing in for the controller's run-time files; removed with the object.
// The files themselves exist only once a test writes them.
class TempControllerFiles {
  public:
    TempControllerFiles() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "krv-controller-XXXXXX").string();
        if (mkdtemp(pattern.data()) != nullptr) {
            directory_ = pattern;
        }
        paths_.controllerFile = (directory_ / "controller").string();
        paths_.housenamesFile = (directory_ / "housenames").string();
        paths_.interfaceFile = (directory_ / "krvd_interface").string();
    }
    ~TempControllerFiles() {
        std::error_code ignored;
        if (!directory_.empty()) {
            std::filesystem::remove_all(directory_, ignored);
        }
    }
    TempControllerFiles(const TempControllerFiles&) = delete;
    TempControllerFiles& operator=(const TempControllerFiles&) = delete;

    bool valid() const { return !directory_.empty(); }
    const krvd::ControllerPaths& paths() const { return paths_; }

    static void write(const std::string& path, const std::string& content) {
        std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
    }

  private:
    std::filesystem::path directory_;
    krvd::ControllerPaths paths_;
};

}  // namespace krvtest
