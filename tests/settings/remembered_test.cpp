// The remembered MIDI input under Windows' own file calls (midi_test checks the same on Linux):
// kept in a folder whose path is no ASCII, written over, and a damaged file set aside while the
// program goes on.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>

#include "midi/remembered.h"
#include "settings/private_files.h"

namespace {

using settings::files::utf8_path;

TEST(remembered_input, is_kept_in_a_folder_of_any_name_and_a_damaged_file_is_set_aside) {
    const auto root = std::filesystem::temp_directory_path() /
                      utf8_path("korvaline-Jörg-" + std::to_string(std::random_device()()));
    const auto file = root / utf8_path("Bühne") / "config.json";
    ASSERT_TRUE(midi::remembered(file).save("Eingang ☆"));
    ASSERT_TRUE(midi::remembered(file).save("Eingang ü"));
    EXPECT_EQ(midi::remembered(file).current().name, "Eingang ü");

    std::ofstream(file) << "{\"midi_input\": ";
    testing::internal::CaptureStdout();
    EXPECT_FALSE(midi::remembered(file).current().made);
    EXPECT_NE(testing::internal::GetCapturedStdout().find("set aside"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(file));
    std::filesystem::remove_all(root);
}

}  // namespace
