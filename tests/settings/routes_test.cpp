// Backup, restore and the stored copies against the simulated module, through the routes; the
// safety copy of a firmware transfer; why the module's port could not be opened.

#include "settings/routes.h"

#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <set>

#include "settings/safety_copy.h"
#include "settings/saved_state.h"
#include "settings/store.h"
#include "settings/unsaved.h"
#include "sim/bootloader.h"
#include "tests/support/firmware_link.h"
#include "tests/support/module_rig.h"
#include "tests/support/serial_link.h"
#include "web/router.h"

namespace {

using namespace std::chrono_literals;
using settings::json;
using usb::open_problem;
using fields = httplib::MultipartFormDataItems;

std::filesystem::path temporary_folder() {
    char folder[] = "/tmp/korvaline-settings-XXXXXX";
    return ::mkdtemp(folder);
}

struct settings_routes : ::testing::Test {
    settings_routes() {
        routes.register_routes(rig.server);
        rig.serve();
    }
    ~settings_routes() override {
        rig.running.reset();
        std::filesystem::remove_all(root);
    }
    httplib::Result restore(const fields& f) { return rig.client.Post("/restore", f); }
    json get(const char* path) { return json::parse(rig.client.Get(path)->body); }

    std::filesystem::path root = temporary_folder();
    test::module_rig rig{5461};
    settings::store copies{root / "backups"};
    settings::unsaved flag{[](std::string) {}};
    routing::router router{rig.server,
                           rig.device,
                           {[this] { flag.mark(true); }, [this] { flag.mark(false); },
                            [this](std::int32_t pad) { routes.editor_selected(pad); }}};
    settings::routes routes{rig.device, copies, flag};
};

TEST_F(settings_routes, a_restore_previews_then_brings_the_backup_back_and_refuses_bad_files) {
    ASSERT_TRUE(rig.device.connected());
    auto& client = rig.client;
    client.Get("/select/1");
    client.Post("/curve",
                fields{{"file", R"({"p":[[0,10],[64,64],[192,192],[255,128]]})", "", ""}});
    client.Get("/set/snare/gain/1.50");
    const std::string backup = client.Get("/backup")->body;
    const json saved = json::parse(rig.module.params_json());
    EXPECT_EQ(json::parse(backup)["settings"], saved);

    client.Get("/set/kick/threshold/42");
    client.Get("/set/snare/gain/2.00");
    client.Post("/curve", fields{{"file", R"({"p":[[0,99],[1,1],[2,2],[255,0]]})", "", ""}});
    client.Get("/select/0");
    client.Get("/save_params_all");
    EXPECT_EQ(
        get("/state"),
        json::parse(
            R"({"connected":true,"unsaved":false,"held":false,"problem":null,"slow_ms":null})"));

    rig.caught_up();
    rig.module.clear_commands();
    const json plan = json::parse(restore({{"file", backup, "b.json", ""}})->body);
    ASSERT_EQ(plan["changes"].size(), 3u) << plan;
    EXPECT_TRUE(rig.only_reads());

    const auto name = copies.save_automatic(backup, settings::wall_clock::now());
    const json outcome =
        json::parse(restore({{"name", *name, "", ""}, {"apply", "1", "", ""}})->body);
    EXPECT_EQ(outcome, json({{"applied", plan["changes"]}, {"failed", json::array()}}));
    EXPECT_EQ(json::parse(rig.module.params_json()), saved);
    EXPECT_EQ(rig.module.selected_pad(), 0) << "the editor's pad, selected again after the curve";
    EXPECT_TRUE(get("/state")["unsaved"]);

    // Refused requests send nothing to the module.
    std::ofstream(root / "outside.json") << backup;
    const std::vector<std::pair<fields, int>> cases = {
        {{{"file", backup.substr(0, backup.size() / 2), "", ""}}, 400},
        {{{"file", R"({"format":"korvaline-settings","version":2,"settings":{}})", "", ""}}, 400},
        {{{"file", R"({"format":"other-settings","version":1,"settings":{}})", "", ""}}, 400},
        {{{"name", "../outside.json", "", ""}, {"apply", "1", "", ""}}, 404},
    };
    rig.module.clear_commands();
    for (const auto& [request, status] : cases) {
        EXPECT_EQ(restore(request)->status, status);
    }
    // Over 1 MiB in chunks: refused before the body is read whole (a declared length even sooner).
    test::raw_connection up(rig.port);
    up.send(
        "POST /restore HTTP/1.1\r\nHost: x\r\nContent-Type: multipart/form-data; boundary=b\r\n"
        "Transfer-Encoding: chunked\r\n\r\n110000\r\n--b\r\nContent-Disposition: form-data; "
        "name=\"file\"\r\n\r\n" +
        std::string(0x110000, ' '));
    EXPECT_NE(up.read_all(2s).find("HTTP/1.1 413"), std::string::npos);
    EXPECT_EQ(client.Get("/backups/..%2Foutside.json")->status, 404);
    EXPECT_TRUE(rig.module.commands().empty());

    rig.module.set_mode(sim::answer_mode::silent);
    const auto silent = client.Get("/backup");
    EXPECT_EQ(silent->status, 503);
    EXPECT_EQ(json::parse(silent->body)["error"], "The module did not answer: no backup was made.");
    EXPECT_EQ(restore({{"file", backup, "", ""}})->status, 503);

    // A read that gets no answer once (a reply lost to a busy computer) is asked for again.
    rig.module.clear_commands();
    std::jthread recovers([&] {
        rig.module.wait_for_commands(1, 30s);
        rig.module.set_mode(sim::answer_mode::normal);
    });
    EXPECT_EQ(client.Get("/backup")->status, 200);
    // The settings are the reply's last line: the rest of a late reply may lead it.
    rig.module.script("/get params all", "ms\":3}}\n" + rig.module.params_json() + "\r\n");
    EXPECT_EQ(json::parse(client.Get("/backup")->body)["settings"], saved);
}

TEST(safety_copy, a_transfer_stores_the_settings_first_or_says_it_could_not) {
    const std::filesystem::path xdg = temporary_folder();
    ::setenv("XDG_DATA_HOME", xdg.c_str(), 1);
    settings::store copies(settings::store::default_folder());
    EXPECT_EQ(copies.folder(), xdg / "korvaline" / "backups");

    for (const auto mode : {sim::answer_mode::normal, sim::answer_mode::silent}) {
        test::module_rig rig(0, {.reply_delay = 1ms, .mode = mode});
        ASSERT_TRUE(rig.device.connected());
        sim::bootloader loader;
        test::recorder events([&loader] { return loader.attach(), true; });
        firmware::link link = events.link();
        link.safety_copy = [&] { settings::safety_copy(rig.device, copies, link.publish); };
        ASSERT_TRUE(firmware::transfer("Korvaline", link, loader, test::fast_pacing));
        const auto listed = copies.list();
        ASSERT_EQ(listed.size(), 1u) << "no second copy from a silent module";
        const std::string name =
            mode == sim::answer_mode::normal ? '"' + listed[0].name + '"' : "null";
        EXPECT_TRUE(
            events.events.at(2).starts_with(R"({"event" : "safety_copy", "name": )" + name));
    }
    EXPECT_EQ(std::filesystem::status(copies.folder()).permissions(), std::filesystem::perms(0700));
    const auto copy = copies.folder() / copies.list()[0].name;
    EXPECT_EQ(std::filesystem::status(copy).permissions(), std::filesystem::perms(0600));

    std::filesystem::remove_all(xdg);
}

// A module that comes back holding changes it has not stored (it kept them on its own power) is
// marked unsaved, and said to hold them; one that holds what it stored is not.
TEST(saved_state, a_replugged_module_is_compared_with_what_it_stored) {
    sim::module module({.reply_delay = 1ms});
    sim::bus bus{module};
    std::mutex mutex;
    std::vector<std::string> events;
    settings::unsaved flag{[&](std::string text) {
        std::lock_guard lock(mutex);
        events.push_back(std::move(text));
    }};
    usb::device device{bus, 0x0483, 0x5740, {.poll_interval = 20ms, .connect_delay = 20ms}};
    settings::saved_state stored(device, flag);
    device.install_callbacks([&] { stored.connected(); }, [] {});
    const auto reads = [&] {
        const auto sent = module.commands();
        return std::count(sent.begin(), sent.end(), "/get params all");
    };
    // Waits until the tracker's n-th read has been answered: a query queues behind it.
    const auto read_done = [&](long n) {
        ASSERT_TRUE(test::eventually([&] { return reads() >= n; }));
        device.query("#", 1s, 1ms);
    };
    const auto replug_gives = [&](const std::string& event) {
        module.unplug();
        ASSERT_TRUE(test::eventually([&] { return !device.connected(); }));
        module.plug();
        EXPECT_TRUE(test::eventually([&] {
            std::lock_guard lock(mutex);
            return !events.empty() && events.back() == event;
        })) << (events.empty() ? "no event" : events.back());
    };
    read_done(1);  // the first connect: what the module holds counts as stored
    ASSERT_TRUE(device.query("/set kick threshold 31", 1s, 1ms));
    flag.mark(true);
    replug_gives(R"({"event" : "unsaved", "value": true, "held": true})");

    ASSERT_TRUE(device.write("/save params all"));
    flag.mark(false);
    stored.saved();
    read_done(3);
    flag.mark(true);  // a marker that is wrong: the module holds what it stored
    replug_gives(R"({"event" : "unsaved", "value": false, "held": false})");
}

TEST(store, copies_of_one_second_never_take_a_name_that_pruning_freed) {
    const std::filesystem::path root = temporary_folder();
    settings::store copies(root / "backups");
    const auto when = settings::wall_clock::now();
    const std::size_t kept = settings::store::automatic_copies_kept;
    std::set<std::string> names;
    for (std::size_t i = 0; i < kept + 2; ++i) {
        names.insert(copies.save_automatic("{}", when).value_or(""));
    }
    EXPECT_EQ(names.size(), kept + 2);
    EXPECT_EQ(copies.list().size(), kept);
    std::filesystem::remove_all(root);
}

// The device over a bus whose one module sits on `tty` while the test has it plugged.
struct link final : usb_test::pty_bus {
    explicit link(std::string node) : pty_bus(std::move(node)) {
        device.install_callbacks([this] { ++calls; }, [this] { ++calls; });
    }
    // Whether the device has the module open and why not, once it has made `calls_so_far` calls.
    std::pair<bool, open_problem> plug(bool now, int calls_so_far) {
        present = now;
        test::eventually([&] { return calls >= calls_so_far; });
        return {device.connected(), device.problem()};
    }
    std::atomic<int> calls{0};
    usb::device device{*this, 0x0483, 0x5740, {.poll_interval = 10ms, .connect_delay = 10ms}};
};

TEST(port_problem, a_node_the_user_may_not_open_or_a_locked_port_until_the_module_leaves) {
    usb_test::pty_pair pty;
    // Root opens any node whatever its mode: the device runs in a child that has given up root.
    const bool root = ::geteuid() == 0;
    ASSERT_TRUE(root || ::chmod(pty.name().c_str(), 0) == 0);
    const pid_t child = ::fork();
    if (child == 0) {
        if (root && (::setgid(65534) != 0 || ::setuid(65534) != 0)) {
            ::_exit(3);
        }
        ::_exit(link(pty.name()).plug(true, 1) != std::pair(false, open_problem::permission));
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_EQ(WEXITSTATUS(status), 0) << "3: could not drop to uid 65534";
    ASSERT_TRUE(root || ::chmod(pty.name().c_str(), 0600) == 0);

    const int holder = ::open(pty.name().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_EQ(::flock(holder, LOCK_EX | LOCK_NB), 0);
    link module(pty.name());
    EXPECT_EQ(module.plug(true, 1), std::pair(false, open_problem::busy));
    EXPECT_EQ(module.plug(false, 2), std::pair(false, open_problem::none));
    ::close(holder);
    EXPECT_EQ(module.plug(true, 3), std::pair(true, open_problem::none));
}

}  // namespace
