// The kit library through its routes against the simulated module: saving, listing with the
// differences from the module, loading through the restore, renaming, editing the notes and
// deleting, the refusals, and the kit the module holds across a restart.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "settings/current_kit.h"
#include "settings/kit_routes.h"
#include "settings/kits.h"
#include "settings/routes.h"
#include "settings/store.h"
#include "settings/unsaved.h"
#include "tests/support/module_rig.h"
#include "web/router.h"

namespace {

using namespace std::chrono_literals;
using settings::json;
using fields = httplib::MultipartFormDataItems;

struct kit_library : ::testing::Test {
    kit_library() {
        routes.attach_kits(library, current);
        routes.register_routes(rig.server);
        kit_routes.register_routes(rig.server);
        rig.serve();
    }
    ~kit_library() override {
        rig.running.reset();
        std::filesystem::remove_all(root);
    }
    // The status and body of a POST with these fields.
    std::pair<int, json> post(const std::string& path, const fields& f) {
        const auto res = rig.client.Post(path, f);
        return {res->status, json::parse(res->body)};
    }
    json get(const std::string& path) { return json::parse(rig.client.Get(path)->body); }
    void write(const std::string& file, const std::string& text) {
        std::filesystem::create_directories(library.folder());
        std::ofstream(library.folder() / file) << text;
    }

    std::filesystem::path root = [] {
        char folder[] = "/tmp/korvaline-kits-XXXXXX";
        return std::filesystem::path(::mkdtemp(folder));
    }();
    test::module_rig rig{5462};
    std::vector<std::string> events;
    settings::store copies{root / "backups"};
    settings::kits library{root / "kits"};
    settings::current_kit current{root / "current-kit.json",
                                  [this](std::string e) { events.push_back(std::move(e)); }};
    settings::unsaved flag{[](std::string) {}};
    routing::router router{rig.server, rig.device, {[this] { current.touched(); }, {}, {}}};
    settings::routes routes{rig.device, copies, flag};
    settings::kit_routes kit_routes{rig.device, library, current};
};

TEST_F(kit_library, a_kit_is_saved_listed_with_its_differences_loaded_renamed_and_deleted) {
    auto& client = rig.client;
    const std::string stage = "Bühne ☆ / \"laut\"";
    EXPECT_EQ(post("/kits", {{"name", stage, "", ""}, {"notes", "Loud room", "", ""}}),
              std::pair(200, json{{"name", stage}}));
    EXPECT_EQ(std::filesystem::status(library.folder()).permissions(),
              std::filesystem::perms(0700));
    const auto file = std::filesystem::directory_iterator(library.folder())->path();
    EXPECT_EQ(std::filesystem::status(file).permissions(), std::filesystem::perms(0600));
    EXPECT_EQ(events.back(), settings::current_kit::event({stage, false}));
    EXPECT_EQ(post("/kits", {{"name", stage, "", ""}}).first, 409);

    // The first change after a save marks the kit, whether told or read.
    const json held = json::parse(rig.module.params_json());
    client.Get("/set/kick/threshold/" + std::to_string(held["kick"]["threshold"] == 42 ? 43 : 42));
    EXPECT_EQ(events.back(), settings::current_kit::event({stage, true}));
    EXPECT_EQ(get("/kit"), json({{"name", stage}, {"changed", true}}));
    client.Get("/set/tom2/note/70");
    const json listed = get("/kits");
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed[0]["notes"], "Loud room");
    EXPECT_EQ(listed[0]["differences"], 2);

    // Loading is a restore: a preview that sends nothing, then the kit again.
    rig.caught_up();
    rig.module.clear_commands();
    const std::string encoded = "B%C3%BChne%20%E2%98%86%20%2F%20%22laut%22";
    EXPECT_EQ(post("/restore", {{"kit", stage, "", ""}}).second["changes"].size(), 2u);
    EXPECT_TRUE(rig.only_reads());
    EXPECT_EQ(post("/restore", {{"kit", stage, "", ""}, {"apply", "1", "", ""}}).first, 200);
    EXPECT_EQ(json::parse(rig.module.params_json()), held);
    EXPECT_EQ(events.back(), settings::current_kit::event({stage, false}));
    EXPECT_EQ(get("/kits")[0]["differences"], 0);
    client.Get("/set/tom2/note/71");
    EXPECT_EQ(events.back(), settings::current_kit::event({stage, true}));
    EXPECT_EQ(get("/kit"), json({{"name", stage}, {"changed", true}}));

    const auto download = client.Get("/kits/" + encoded);
    ASSERT_EQ(download->status, 200);
    EXPECT_EQ(json::parse(download->body)["settings"], held);
    EXPECT_EQ(download->get_header_value("Content-Disposition"),
              "attachment; filename=\"korvaline-kit-" + file.filename().string() + "\"");

    // Saving over a kit of the same name replaces it only when asked to.
    EXPECT_EQ(post("/kits", {{"name", "Home", "", ""}}).first, 200);
    client.Get("/set/tom2/note/72");
    EXPECT_EQ(
        post("/kits",
             {{"name", "Home", "", ""}, {"notes", "Moved", "", ""}, {"replace", "1", "", ""}}),
        std::pair(200, json{{"name", "Home"}}));
    EXPECT_EQ(get("/kits").size(), 2u);
    EXPECT_EQ(get("/kits/Home")["notes"], "Moved");
    EXPECT_EQ(get("/kits/Home")["settings"]["tom2"]["note"], 72);
    EXPECT_EQ(post("/kits/Home/rename", {{"name", stage, "", ""}}).first, 409);
    EXPECT_EQ(post("/kits/" + encoded + "/rename", {{"name", "Stage", "", ""}}).first, 200);
    EXPECT_EQ(client.Get("/kits/" + encoded)->status, 404);
    // Notes edited after saving; a form without fields (its closing boundary alone, as a browser
    // sends an empty FormData) is read, and found to lack them.
    EXPECT_EQ(post("/kits/Stage/notes", {{"notes", "Quiet\r\nroom", "", ""}}),
              std::pair(200, json{{"name", "Stage"}}));
    EXPECT_EQ(
        post("/kits/Stage/notes", {}),
        std::pair(400, json{{"type", "error"}, {"error", "The form has no field \"notes\"."}}));
    EXPECT_EQ(post("/kits/Home/delete", {}).first, 200);
    const json stored = get("/kits/Stage");
    EXPECT_EQ(stored["notes"], "Quiet\nroom");
    EXPECT_EQ(stored["settings"], held);
    EXPECT_EQ(get("/kits").size(), 1u);
    EXPECT_EQ(get("/kit"), json({{"name", nullptr}, {"changed", false}}));

    // A restart remembers the kit while the module still holds it, and forgets it otherwise.
    EXPECT_EQ(post("/restore", {{"kit", "Stage", "", ""}, {"apply", "1", "", ""}}).first, 200);
    settings::current_kit again(root / "current-kit.json", [](std::string) {});
    EXPECT_EQ(again.check(held), settings::current_kit::state({"Stage", false}));
    json other = held;
    other["snare"]["threshold"] = 1;
    settings::current_kit later(root / "current-kit.json", [](std::string) {});
    EXPECT_EQ(later.check(other), settings::current_kit::state());
    EXPECT_FALSE(std::filesystem::exists(root / "current-kit.json"));
}

TEST_F(kit_library, bad_names_sizes_damaged_or_edited_files_and_an_absent_module_are_refused) {
    const std::string kit = R"({"format":"korvaline-settings","version":1,"name":"Edited",)"
                            R"("settings":{"kick":{"threshold":900,"note":)";
    // A hand-edited kit lists its impossible value as skipped and never sends it.
    write("edited.json", kit + "35}}}");
    write("broken.json", kit.substr(0, 60));
    write("control.json", kit + "35}}, \"name\": \"a\\u0007b\"}");
    write("backup.json", R"({"format":"korvaline-settings","version":1,"settings":{}})");
    const json listed = get("/kits");
    ASSERT_EQ(listed.size(), 1u) << listed;
    EXPECT_EQ(listed[0]["skipped"], 1);
    rig.caught_up();
    rig.module.clear_commands();
    const auto [status, preview] = post("/restore", {{"kit", "Edited", "", ""}});
    ASSERT_EQ(status, 200) << preview;
    EXPECT_EQ(preview.at("skipped").at(0).at("param"), "threshold");
    post("/restore", {{"kit", "Edited", "", ""}, {"apply", "1", "", ""}});
    for (const std::string& command : rig.module.commands()) {
        EXPECT_EQ(command.find("900"), std::string::npos) << command;
    }

    std::string wide;
    for (int i = 0; i < 60; ++i) {
        wide += "音";
    }
    const std::vector<std::pair<fields, int>> saves = {
        {{{"name", "", "", ""}}, 400},
        {{{"name", "   ", "", ""}}, 400},
        {{{"name", "tab\there", "", ""}}, 400},
        {{{"name", "del\x7f", "", ""}}, 400},
        {{{"name", "\xff\xfe", "", ""}}, 400},
        {{{"name", wide + "x", "", ""}}, 400},
        {{{"name", "Notes", "", ""}, {"notes", std::string(501, 'n'), "", ""}}, 400},
        {{{"name", "Edited", "", ""}}, 409},
        {{{"name", wide, "", ""}, {"notes", std::string(500, 'n'), "", ""}}, 200},
    };
    for (const auto& [request, status] : saves) {
        EXPECT_EQ(post("/kits", request).first, status) << request[0].content;
    }
    EXPECT_EQ(post("/kits/Edited/notes", {{"notes", std::string(501, 'n'), "", ""}}).first, 400);
    const std::vector<std::pair<fields, int>> imports = {
        {{{"file", kit.substr(0, 60), "", ""}}, 400},
        {{{"file", R"({"format":"korvaline-settings","version":1,"settings":{}})", "", ""}}, 400},
        {{{"file", kit + "35}}}", "", ""}}, 409},
        {{{"file", kit + "35}}}", "", ""}, {"name", "Imported", "", ""}}, 200},
    };
    for (const auto& [request, status] : imports) {
        EXPECT_EQ(post("/kits/import", request).first, status) << request.back().content;
    }
    EXPECT_EQ(get("/kits/Imported")["settings"]["kick"]["threshold"], 900);
    // Refused by its declared length, before the body is read.
    test::raw_connection up(rig.port);
    up.send(
        "POST /kits/import HTTP/1.1\r\nHost: x\r\nContent-Type: multipart/form-data; "
        "boundary=b\r\nContent-Length: 1048577\r\n\r\n");
    EXPECT_NE(up.read_all(2s).find("HTTP/1.1 413"), std::string::npos);
    test::raw_connection cut(rig.port);
    cut.send(
        "POST /kits HTTP/1.1\r\nHost: x\r\nContent-Type: multipart/form-data; "
        "boundary=b\r\nContent-Length: 8\r\n\r\n--b\r\nxyz");
    const std::string cut_answer = cut.read_all(2s);
    EXPECT_NE(cut_answer.find("HTTP/1.1 400"), std::string::npos) << cut_answer;

    // Unknown names, however spelled, are no path into the folder or out of it.
    for (const char* name : {"..", "..%2Fcurrent-kit.json", "%2E%2E", "edited.json", "nope/x",
                             "../kits/edited.json", "%2Fetc%2Fpasswd"}) {
        const std::string path = std::string("/kits/") + name;
        EXPECT_EQ(rig.client.Get(path)->status, 404) << name;
        EXPECT_EQ(post(path + "/rename", {{"name", "X", "", ""}}).first, 404) << name;
        EXPECT_EQ(post(path + "/notes", {{"notes", "X", "", ""}}).first, 404) << name;
        EXPECT_EQ(rig.client.Post(path + "/delete")->status, 404) << name;
        EXPECT_EQ(post("/restore", {{"kit", name, "", ""}}).first, 404) << name;
    }

    rig.module.set_mode(sim::answer_mode::silent);
    EXPECT_EQ(post("/kits", {{"name", "Quiet", "", ""}}).first, 503);
    EXPECT_EQ(get("/kits")[0]["differences"], nullptr);
    EXPECT_EQ(get("/kits").size(), 3u);
}

}  // namespace
