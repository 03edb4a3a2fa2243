// The MIDI input over a real JACK server (dummy driver): hits with their pads from another
// program's notes, the automatic choice, a port lost and back; the remembered choice; and the
// demo's groove, the same for the same seed.

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <atomic>

#include <filesystem>
#include <fstream>
#include <map>
#include <optional>

#include "midi/listener.h"
#include "midi/rtmidi_system.h"
#include "sim/groove.h"
#include "tests/midi/jack_sender.h"
#include "tests/midi/jack_server.h"

namespace {

using namespace std::chrono_literals;

struct published {
    std::mutex mutex;
    std::vector<std::string> texts;
    void add(std::string text) {
        std::lock_guard lock(mutex);
        texts.push_back(std::move(text));
    }
    bool has(const std::string& text) {
        std::lock_guard lock(mutex);
        return std::find(texts.begin(), texts.end(), text) != texts.end();
    }
    // Notes sent only to learn that the connection carries notes; left out of the hits.
    static bool is_probe(const std::string& t) {
        return t.find(R"("note": 1, "velocity": 1,)") != std::string::npos;
    }
    long probes() {
        std::lock_guard lock(mutex);
        return std::count_if(texts.begin(), texts.end(), is_probe);
    }
    std::vector<std::string> hits() {
        std::lock_guard lock(mutex);
        std::vector<std::string> out;
        for (const auto& t : texts) {
            if (t.starts_with(R"({"event" : "hit")") && !is_probe(t)) {
                // Without the time, which the test cannot know.
                out.push_back(t.substr(0, t.find(R"(, "t": )")));
            }
        }
        return out;
    }
};

std::filesystem::path fresh_folder(const std::string& name) {
    auto folder =
        std::filesystem::temp_directory_path() / (name + "-" + std::to_string(::getpid()));
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder);
    return folder;
}

std::string hit(const char* pad, int note, int velocity) {
    return std::string(R"({"event" : "hit", "pad": )") + pad + R"(, "note": )" +
           std::to_string(note) + R"(, "velocity": )" + std::to_string(velocity);
}

TEST(midi_input, notes_from_a_jack_port_become_hits_of_their_pads_and_a_lost_port_returns) {
    auto jack = std::make_optional<test::jack_server>();
    ASSERT_TRUE(jack->ready()) << "jackd did not come up";
    auto sender = std::make_unique<test::jack_sender>("drummer", "KORVALINE out");
    ASSERT_TRUE(sender->ready());

    published out;
    const auto folder = fresh_folder("korvaline-midi");
    midi::remembered choice(folder / "config.json");
    midi::rtmidi_system system;
    std::atomic<int> reads{0};  // of the module's settings, for the notes of its pads
    midi::listener input(system, choice,
                         {[&out](std::string t) { out.add(std::move(t)); },
                          [&reads] {
                              ++reads;
                              return settings::parse_object(
                                  R"({"kick": {"note": 36}, "snare": {"note": 38},
                                      "hhc": {"threshold": 30}, "tom9": {"note": 38}})");
                          }});
    // Nothing was chosen: the input named after the module is taken by itself.
    const std::string connected =
        R"({"event" : "midi", "port": "drummer:KORVALINE out", "connected": true})";
    ASSERT_TRUE(test::eventually([&] { return out.has(connected); }, 10s));
    ASSERT_TRUE(test::eventually([&] { return reads > 0; }, 10s));  // after the input opened
    // The listener takes a read's notes into use after the read returns; a second read begins
    // only once the first one's notes are in use.
    const int first = reads;
    input.reread_pads();
    ASSERT_TRUE(test::eventually([&] { return reads > first; }, 10s));
    const auto send = [&](std::vector<unsigned char> m) { sender->send(m); };
    // JACK puts a new connection to use at a later cycle, and a note sent before then is lost (17
    // of 100 notes sent right after the connect, here): wait until a probe note comes through.
    const auto carried = [&] {
        const long before = out.probes();
        return test::eventually([&] { return send({0x99, 1, 1}), out.probes() > before; }, 10s);
    };
    ASSERT_TRUE(carried());
    send({0x99, 38, 97});
    send({0x90, 36, 0});  // a note-on without velocity ends a note
    send({0x80, 36, 40});
    send({0x99, 36, 127});
    send({0x99, 77, 5});
    EXPECT_TRUE(test::eventually([&] { return out.hits().size() >= 3; }, 5s));
    EXPECT_EQ(out.hits(),
              (std::vector<std::string>{hit(R"("snare")", 38, 97), hit(R"("kick")", 36, 127),
                                        hit("null", 77, 5)}));
    input.note_set("tom9", 40);
    input.note_set("hhc", 38);  // no pad: nothing changes
    send({0x99, 40, 1});
    send({0x99, 38, 2});
    EXPECT_TRUE(test::eventually([&] { return out.hits().size() >= 5; }, 5s));
    EXPECT_EQ(out.hits()[3], hit(R"("tom9")", 40, 1));
    EXPECT_EQ(out.hits()[4], hit(R"("snare")", 38, 2));

    // The pedal: a burst keeps at most one value per 34 ms, and always the last one.
    for (int v = 0; v <= 100; ++v) {
        send({0xB9, 4, static_cast<unsigned char>(v)});
    }
    EXPECT_TRUE(
        test::eventually([&] { return out.has(R"({"event" : "pedal", "value": 100})"); }, 5s));
    {
        std::lock_guard lock(out.mutex);
        EXPECT_LT(
            std::count_if(out.texts.begin(), out.texts.end(),
                          [](const auto& t) { return t.starts_with(R"({"event" : "pedal")"); }),
            20);
    }

    sender.reset();  // unplugged
    EXPECT_TRUE(test::eventually(
        [&] {
            return out.has(
                R"({"event" : "midi", "port": "drummer:KORVALINE out", "connected": false})");
        },
        5s));
    EXPECT_FALSE(input.current().connected);
    sender = std::make_unique<test::jack_sender>("drummer", "KORVALINE out");
    const int before = reads;
    EXPECT_TRUE(test::eventually([&] { return input.current().connected; }, 5s));
    EXPECT_TRUE(test::eventually([&] { return reads > before; }, 5s));
    ASSERT_TRUE(carried());
    send({0x99, 36, 64});
    EXPECT_TRUE(test::eventually([&] { return out.hits().size() >= 6; }, 5s));
    EXPECT_EQ(out.hits().back(), hit(R"("kick")", 36, 64));

    std::filesystem::remove_all(folder);
}

TEST(midi_input, remembers_the_choice_privately_and_sets_a_damaged_file_aside) {
    const auto folder = fresh_folder("korvaline-config");
    const auto file = folder / "config.json";
    std::ofstream(file) << R"({"midi_input": "x", "window": 1)";  // cut short
    testing::internal::CaptureStdout();
    midi::remembered damaged(file);
    const std::string said = testing::internal::GetCapturedStdout();
    EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
    EXPECT_FALSE(damaged.current().made);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder), {}), 1);

    std::ofstream(file) << R"({"window": {"w": 1}})";
    midi::remembered kept(file);
    EXPECT_FALSE(kept.current().made);
    ASSERT_TRUE(kept.save("drummer:out"));
    struct stat info {};
    ASSERT_EQ(::stat(file.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    const auto again = midi::remembered(file).current();
    EXPECT_TRUE(again.made);
    EXPECT_EQ(again.name, "drummer:out");
    ASSERT_TRUE(kept.save(std::nullopt));
    const auto none = midi::remembered(file).current();
    EXPECT_TRUE(none.made);
    EXPECT_FALSE(none.name);
    // The demo keeps its own choice in the same file; neither overwrites the other's.
    midi::remembered demo(file, "demo_midi_input");
    EXPECT_FALSE(demo.current().made);
    ASSERT_TRUE(demo.save("groove"));
    ASSERT_TRUE(kept.save("drummer:out"));
    EXPECT_EQ(midi::remembered(file, "demo_midi_input").current().name, "groove");
    EXPECT_EQ(midi::remembered(file).current().name, "drummer:out");
    std::ifstream in(file);
    const std::string text((std::istreambuf_iterator<char>(in)), {});
    EXPECT_NE(text.find(R"("w": 1)"), std::string::npos) << "other members are kept";
    std::filesystem::remove_all(folder);
}

// The demo's groove is the same for the same seed, played at once or step by step as the demo
// plays it (what its faults do is the kit check's test).
TEST(groove, plays_the_same_notes_for_the_same_seed) {
    sim::module module({.plugged = false, .start = sim::starting_settings::lifelike});
    const auto pads = module.pads();
    const std::int64_t steps = 20'000 / sim::groove::step_ms;
    const auto round = sim::groove(7).play(0, steps, pads);
    ASSERT_GT(round.size(), 100u);
    sim::groove one_by_one(7);
    std::size_t i = 0;
    for (std::int64_t n = 0; n < steps; ++n) {
        for (const auto& note : one_by_one.play(n, 1, pads)) {
            ASSERT_LT(i, round.size());
            EXPECT_EQ(note.at_ms, round[i].at_ms);
            EXPECT_EQ(note.velocity, round[i++].velocity);
        }
    }
    EXPECT_EQ(i, round.size());
    // The hi-hat pedal: within the program's rate, the same for the same seed, and closed for
    // every hi-hat stroke but the open ones now and then.
    const auto moves = sim::groove(7).pedal(0, 3 * steps);
    ASSERT_EQ(moves.size(), sim::groove(7).pedal(0, 3 * steps).size());
    int open_strokes = 0, closed_strokes = 0;
    for (std::size_t i = 1; i < moves.size(); ++i) {
        ASSERT_GE(moves[i].at_ms - moves[i - 1].at_ms, 35);
    }
    int hihat_strokes = 0;
    for (const auto& n : sim::groove(7).play(0, 3 * steps, pads)) {
        hihat_strokes += n.pad == "hihat";
        const auto before = std::find_if(moves.rbegin(), moves.rend(),
                                         [&](const auto& m) { return m.at_ms <= n.at_ms; });
        if (n.pad == "hihat" && before != moves.rend()) {
            open_strokes += before->value < 30;
            closed_strokes += before->value == 127;
        }
    }
    EXPECT_GE(open_strokes, 2);
    EXPECT_GT(closed_strokes, 10 * open_strokes);
    EXPECT_EQ(open_strokes + closed_strokes, hihat_strokes);
}

}  // namespace
