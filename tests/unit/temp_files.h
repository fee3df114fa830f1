// temp_files.h - a test fixture that owns a fresh temporary directory and the files
// a test writes into it, all removed afterwards.
#ifndef KMEANS_TESTS_TEMP_FILES_H
#define KMEANS_TESTS_TEMP_FILES_H

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

class TempFiles : public ::testing::Test {
protected:
    void SetUp() override {
        std::string tmpl = ::testing::TempDir() + "kmeans_files_XXXXXX";
        ASSERT_NE(mkdtemp(&tmpl[0]), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override {
        for (const std::string& f : files_) std::remove(f.c_str());
        rmdir(dir_.c_str());
    }
    // Writes `content` to `name` in the directory (a fresh name when empty).
    std::string write(const std::string& content) { return write("", content); }
    std::string write(const std::string& name, const std::string& content) {
        const std::string path =
            dir_ + "/" + (name.empty() ? "f" + std::to_string(files_.size()) : name);
        std::FILE* f = std::fopen(path.c_str(), "wb");
        EXPECT_NE(f, nullptr);
        if (f != nullptr) {
            std::fwrite(content.data(), 1, content.size(), f);
            std::fclose(f);
        }
        files_.push_back(path);
        return path;
    }
    std::string dir_;
    std::vector<std::string> files_;
};

#endif
