// The user's files on either system, in a folder whose path is no ASCII ("Jörg/Bühne"): the kit
// library, the stored copies and the current kit written, listed, read back, renamed and replaced,
// with whatever is not a finished regular file left out.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>

#include "settings/current_kit.h"
#include "settings/kits.h"
#include "settings/private_files.h"
#include "settings/store.h"

namespace {

using namespace std::chrono_literals;
using settings::json;
using settings::files::utf8_path;

struct user_files : ::testing::Test {
    ~user_files() override {
        std::error_code ignored;
        std::filesystem::remove_all(root, ignored);
    }
    void write(const std::filesystem::path& file, const std::string& text) {
        std::filesystem::create_directories(file.parent_path());
        std::ofstream(file, std::ios::binary) << text;
    }
    // Sets a file's modification time, the clock of the file system being no system clock.
    static void touch(const std::filesystem::path& file, settings::wall_clock::time_point when) {
        std::filesystem::last_write_time(file, std::chrono::file_clock::from_sys(when));
    }

    std::filesystem::path root =
        std::filesystem::temp_directory_path() /
        utf8_path("korvaline-Jörg-" + std::to_string(std::random_device()()));
    std::filesystem::path folder = root / utf8_path("Bühne");
    const json settings = {{"kick", {{"note", 36}, {"threshold", 20}}}};
    const settings::wall_clock::time_point when = std::chrono::sys_days(2021y / 5 / 4) + 3h + 2min;
};

TEST_F(user_files, kits_are_saved_listed_read_renamed_replaced_and_removed_by_their_names) {
    settings::kits library(folder / "kits");
    using outcome = settings::kits::outcome;
    ASSERT_EQ(library.save("Bühne", "Laut", settings, false, when), outcome::done);
    // Both names make the same file stem: the second takes a new file, never the first's.
    ASSERT_EQ(library.save("B-hne", "", json{{"snare", {{"note", 38}}}}, false, when),
              outcome::done);
    EXPECT_EQ(library.save("Bühne", "", settings, false, when), outcome::exists);
    auto listed = library.list();
    ASSERT_EQ(listed.size(), 2u);
    EXPECT_EQ(listed[0].name, "B-hne");
    EXPECT_EQ(listed[1].name, "Bühne");
    EXPECT_EQ(listed[1].notes, "Laut");
    EXPECT_EQ(listed[1].settings, settings);

    json louder = settings;
    louder["kick"]["threshold"] = 30;
    EXPECT_EQ(library.save("Bühne", "Lauter", louder, true, when), outcome::done);
    EXPECT_EQ(library.find("Bühne")->settings, louder);
    EXPECT_EQ(library.rename("Bühne", "B-hne"), outcome::exists);
    EXPECT_EQ(library.rename("Bühne", "Bühne ☆"), outcome::done);
    EXPECT_FALSE(library.find("Bühne"));
    EXPECT_EQ(library.find("Bühne ☆")->notes, "Lauter");
    EXPECT_EQ(library.remove("B-hne"), outcome::done);
    EXPECT_EQ(library.remove("B-hne"), outcome::missing);
    listed = library.list();
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed[0].name, "Bühne ☆");

    // A kit's file in the making, a folder, a file over the size limit and a link are no kits.
    write(library.folder() / ".incoming-abc123",
          settings::wrap(settings, when, {{"name", "Hidden"}}));
    write(root / "outside.json", settings::wrap(settings, when, {{"name", "Outside"}}));
    std::filesystem::create_directory(library.folder() / "folder.json");
    write(library.folder() / "big.json", settings::wrap(settings, when, {{"name", "Big"}}) +
                                             std::string(settings::kits::largest_file, ' '));
    std::error_code no_links;  // Windows lets only some users make links
    std::filesystem::create_symlink(root / "outside.json", library.folder() / "link.json",
                                    no_links);
    EXPECT_EQ(library.list().size(), 1u);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(library.folder()), {}),
              no_links ? 4 : 5);
}

TEST_F(user_files, stored_copies_take_free_names_and_list_newest_first_with_their_times) {
    settings::store copies(folder / "backups");
    const std::string taken = "auto-" + settings::download_name(when);
    write(copies.folder() / utf8_path(taken), "earlier run");
    const auto first = copies.save_automatic("{\"a\": 1}", when);
    const auto second = copies.save_automatic("{\"b\": 22}", when);
    ASSERT_TRUE(first && second);
    EXPECT_EQ(*first, taken.substr(0, taken.size() - 5) + "-2.json");
    EXPECT_EQ(copies.read(taken), "earlier run");
    EXPECT_EQ(copies.read(*second), "{\"b\": 22}");

    const std::string by_hand = "Kopie für Jörg ☆.json";
    write(copies.folder() / utf8_path(by_hand), "von Hand");
    EXPECT_EQ(copies.read(by_hand), "von Hand");

    touch(copies.folder() / utf8_path(by_hand), when - 1h);
    touch(copies.folder() / utf8_path(taken), when);
    touch(copies.folder() / utf8_path(*first), when + 1s);
    touch(copies.folder() / utf8_path(*second), when - 1s);
    const auto listed = copies.list();
    ASSERT_EQ(listed.size(), 4u);
    EXPECT_EQ(listed[0].name, *first);
    EXPECT_EQ(listed[0].created, "2021-05-04T03:02:01Z");
    EXPECT_EQ(listed[0].bytes, 8u);
    EXPECT_EQ(listed[1].name, taken);
    EXPECT_EQ(listed[2].created, "2021-05-04T03:01:59Z");
    EXPECT_EQ(listed[3].name, by_hand);
}

TEST_F(user_files, the_current_kit_is_remembered_over_its_last_state_and_forgotten) {
    const auto file = folder / "current-kit.json";
    // A link in its place is followed neither to read nor to write.
    const std::string elsewhere = json{{"name", "Fremd"}, {"settings", settings}}.dump();
    write(root / "elsewhere.json", elsewhere);
    std::filesystem::create_directories(folder);
    std::error_code no_links;
    std::filesystem::create_symlink(root / "elsewhere.json", file, no_links);
    {
        settings::current_kit current(file, [](std::string) {});
        EXPECT_FALSE(current.known());
        current.held("Probe", settings);
        current.held("Bühne", settings);
    }
    EXPECT_EQ(settings::files::read_file(root, "elsewhere.json", 1000), elsewhere);
    settings::current_kit again(file, [](std::string) {});
    EXPECT_EQ(again.check(settings), settings::current_kit::state({"Bühne", false}));
    again.removed("Bühne");
    EXPECT_FALSE(std::filesystem::exists(file));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder), {}), 0);
}

}  // namespace
