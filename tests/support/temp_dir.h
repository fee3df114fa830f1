// temp_dir.h - a test fixture that owns a fresh temporary directory, removed
// afterwards with everything the test (or a program it ran) left in it.
#ifndef KMEANS_TESTS_TEMP_DIR_H
#define KMEANS_TESTS_TEMP_DIR_H

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>

class TempDirTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string tmpl = ::testing::TempDir() + "kmeans_XXXXXX";
        ASSERT_NE(mkdtemp(&tmpl[0]), nullptr) << tmpl;
        dir_ = tmpl;
    }
    void TearDown() override {
        std::error_code ignored;
        if (!dir_.empty()) std::filesystem::remove_all(dir_, ignored);
    }
    std::string path(const std::string& name) const { return dir_ + "/" + name; }
    // Writes `content` to `name` in the directory (a fresh name when empty) and
    // returns its path.
    std::string write(const std::string& content) { return write("", content); }
    std::string write(const std::string& name, const std::string& content) {
        const std::string file = path(name.empty() ? "f" + std::to_string(written_) : name);
        ++written_;
        std::FILE* f = std::fopen(file.c_str(), "wb");
        EXPECT_NE(f, nullptr) << file;
        if (f != nullptr) {
            EXPECT_EQ(std::fwrite(content.data(), 1, content.size(), f), content.size()) << file;
            EXPECT_EQ(std::fclose(f), 0) << file;
        }
        return file;
    }
    std::string dir_;

private:
    int written_ = 0;
};

#endif
