// find_file_clash: outputs compared with the inputs and with each other by the file
// they name, whatever the spelling, links included, and files that are not regular
// never a clash.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "file_clash.h"
#include "support/temp_dir.h"

using FileClash = TempDirTest;

TEST_F(FileClash, SameFileByAnyNameOrLink) {
    const std::string data = write("data.txt", "1 1\n1\n");
    ASSERT_EQ(link(data.c_str(), path("hard.txt").c_str()), 0);
    ASSERT_EQ(symlink("model.txt", path("soon").c_str()), 0);  // to a file not there yet
    const std::string dotted = dir_ + "/./data.txt";
    EXPECT_EQ(find_file_clash({data}, {dotted}),
              "Error: '" + dotted + "' is also an input: '" + data + "'.");
    EXPECT_EQ(find_file_clash({data}, {path("model.txt"), path("hard.txt")}),
              "Error: '" + path("hard.txt") + "' is also an input: '" + data + "'.");
    EXPECT_EQ(find_file_clash({data}, {path("model.txt"), path("soon")}),
              "Error: '" + path("soon") + "' is also an output: '" + path("model.txt") + "'.");
    // Distinct files, empty names and devices are no clash.
    EXPECT_EQ(find_file_clash({data}, {path("model.txt"), "", path("min.txt")}), "");
    EXPECT_EQ(find_file_clash({"/dev/null"}, {"/dev/null", "/dev/null"}), "");
}
