#include "app/application.h"

#include <httplib.h>

#include <charconv>
#include <cmrc/cmrc.hpp>
#include <cstdio>
#include <iostream>
#include <optional>
#include <string>
#include <thread>

#include "maintenance/firmware_route.h"
#include "maintenance/noise_logger.h"
#include "midi/listener.h"
#include "midi/remembered.h"
#include "midi/routes.h"
#include "platform/termination.h"
#include "platform/window_loader.h"
#include "settings/current_kit.h"
#include "settings/kit_routes.h"
#include "settings/kits.h"
#include "settings/module_link.h"
#include "settings/routes.h"
#include "settings/safety_copy.h"
#include "settings/saved_state.h"
#include "settings/store.h"
#include "settings/unsaved.h"
#include "tuning/routes.h"
#include "usb/device.h"
#include "web/endpoints.h"
#include "web/listening_socket.h"
#include "web/messaging.h"
#include "web/request_guard.h"
#include "web/router.h"
#include "web/serving.h"

namespace app {

namespace {

const std::string server_host = "127.0.0.1";
constexpr int server_port = 5000;
const std::string resource_root = "web_resources";
constexpr std::uint16_t module_vendor = 0x0483;
constexpr std::uint16_t module_product = 0x5740;

// Workers of the HTTP server. Event streams are capped well below this (async::messaging), so
// the settings requests of the pages always find a free worker.
constexpr std::size_t server_workers = 16;

std::string page_url() {
    return "http://" + server_host + ":" + std::to_string(server_port);
}

void configure_server(httplib::Server& server) {
    server.new_task_queue = [] { return new httplib::ThreadPool(server_workers); };
    // The port alone, and a connection for a worker once its request arrives.
    server.set_socket_options(web::set_listening_options);
    // Idle keep-alive connections and stalled clients hold a worker until these run out, and
    // stopping the server waits for every worker: keep them short so shutdown stays prompt.
    server.set_keep_alive_timeout(1);
    server.set_read_timeout(1, 0);
    server.set_write_timeout(1, 0);
    // The library writes the status and headers apart from the body; with Nagle's algorithm on, a
    // small answer then waits for the client's delayed ACK, about 40 ms on every API request.
    server.set_tcp_nodelay(true);
}

std::string port_taken_page() {
    return "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>Korvaline</title>"
           "<style>body{font-family:sans-serif;margin:3em;color:#333}</style></head><body>"
           "<h1>Korvaline cannot start</h1>"
           "<p>The address " +
           server_host + ":" + std::to_string(server_port) +
           " is already in use by another program, perhaps another Korvaline window.</p>"
           "<p>Close that program, then start Korvaline again.</p></body></html>";
}

}  // namespace

int run(const seams& seams, const options& options) {
    // Caught first, so a Ctrl+C or SIGTERM at any moment, start-up included, ends in the orderly
    // shutdown below instead of killing the program half-way.
    platform::termination_signals signals;
    // The window (or the reason for none) before the program's own threads start: loading the
    // window sets the web engine's environment, which the device monitor's libudev reads.
    platform::window_choice opened = platform::open_window(options.headless);

    // Built in this order and destroyed in the reverse order, with the exceptions made explicit
    // at the end: the window goes once the server has stopped.
    cmrc::embedded_filesystem fs = cmrc::app_resources::get_filesystem();
    usb::device device(seams.bus, module_vendor, module_product);
    httplib::Server server;
    configure_server(server);
    web::request_guard(server_port).install(server);
    async::messaging events(server);
    const auto publish = [&events](std::string text) { events.send(std::move(text)); };
    settings::unsaved unsaved(publish);
    settings::saved_state stored(device, unsaved);
    settings::store copies(settings::store::default_folder());
    settings::kits kits(settings::kits::default_folder());
    // Remembered beside the kits, not among them: it is no kit of its own.
    settings::current_kit current_kit(kits.folder().parent_path() / "current-kit.json", publish);
    settings::routes settings_routes(device, copies, unsaved);
    settings_routes.attach_kits(kits, current_kit);
    settings::kit_routes kit_routes(device, kits, current_kit);
    midi::remembered midi_choice(midi::remembered::default_file(), seams.midi_choice_key);
    midi::listener hits(seams.midi, midi_choice,
                        {publish, [&device] { return settings::read_module(device); }});
    // The notes of the pads follow the module: a note set in the editor at once, whole settings
    // again after a restore or when a module is plugged in.
    settings_routes.on_restore([&hits] { hits.reread_pads(); });
    routing::router router(
        server, device,
        {[&unsaved, &current_kit] {
             unsaved.mark(true);
             current_kit.touched();
         },
         [&unsaved, &stored] {
             unsaved.mark(false);
             stored.saved();
         },
         [&settings_routes](std::int32_t pad) { settings_routes.editor_selected(pad); },
         [&hits](const std::string& pad, const std::string& param, const std::string& value) {
             int note = -1;
             if (param == "note" &&
                 std::from_chars(value.data(), value.data() + value.size(), note).ec ==
                     std::errc{}) {
                 hits.note_set(pad, note);
             }
         }});
    maintenance::noise_logger logger(server, device, events);

    for (const cmrc::directory_entry& item : fs.iterate_directory(resource_root)) {
        cmrc::directory_entry entry = item;
        http::add_endpoint(fs, server, resource_root, resource_root, entry);
    }

    events.send(R"({"event" : "disconnect"})");
    // A module that (re)connects may hold changes it has not stored (it kept them on its own
    // power, or another program made them): what it holds is compared with what it stored.
    device.install_callbacks(
        [&events, &stored, &hits] {
            stored.connected();
            events.send(R"({"event" : "connect"})");
            hits.reread_pads();
        },
        [&events] { events.send(R"({"event" : "disconnect"})"); });

    firmware::link link = firmware::bind(events, device);
    link.safety_copy = [&device, &copies, publish] {
        settings::safety_copy(device, copies, publish);
    };
    firmware::uploads uploads(std::move(link), seams.hid);
    uploads.register_route(server);
    logger.register_routes(server);
    settings_routes.register_routes(server);
    midi::register_routes(server, hits);
    kit_routes.register_routes(server);
    tuning::register_routes(server, device);

    // Bound before the window opens, so the window never shows a server that is not ours.
    const bool bound = server.bind_to_port(server_host, server_port);
    if (!bound) {
        std::cout << "Cannot listen on " << server_host << ":" << server_port
                  << ": the address is in use by another program (is Korvaline already running?)."
                  << std::endl;
    }
    std::optional<web::serving> serving;
    if (bound) {
        serving.emplace(server);
    }

    int status = bound ? exit_ok : exit_cannot_serve;
    std::unique_ptr<platform::window_interface>& window = opened.window;
    if (window) {
        // The task bar tells unsaved changes as the save button does; the observer ends before the
        // window goes, and the window sets its title on its own thread.
        unsaved.observe(
            [&window](bool value) { window->set_title(value ? "\u2022 Korvaline" : "Korvaline"); });
        window->set_size(1280, 720);
        if (fs.is_file(resource_root + "/assets/img/icon.png")) {
            cmrc::file icon = fs.open(resource_root + "/assets/img/icon.png");
            window->set_icon_png(icon.begin(), icon.size());
        }
        // The user's close asks first while the module holds unsaved changes; "Save to module"
        // stores them as the editor's save button does.
        window->set_close_guard([&unsaved] { return unsaved.value(); },
                                [&device, &unsaved, &stored] {
                                    if (device.write("/save params all")) {
                                        unsaved.mark(false);
                                        stored.saved();
                                    }
                                });
        if (bound) {
            window->navigate(page_url());
        } else {
            window->show_html(port_taken_page());
        }
        // A signal closes the window like its close button; a window the user closed ends the
        // watch without touching the window again.
        std::thread closer([&signals, &window] {
            if (signals.wait()) {
                window->close();
            }
        });
        window->run();
        signals.request();
        closer.join();
        unsaved.observe({});
    } else if (bound) {
        std::cout << opened.why_none << ": serving the Korvaline pages at " << page_url()
                  << "/ until stopped (Ctrl+C)." << std::endl;
        signals.wait();
    }

    events.send(R"({"event" : "exit"})");
    events.release_all();
    if (serving) {
        serving->stop();
    }
    window.reset();
    // A transfer in progress finishes (its waits are bounded) before the broadcaster and the
    // device go; then the logger stops, and the rest is destroyed in reverse order of creation.
    uploads.wait();
    logger.stop();
    // The monitor may still see a plug or unplug until the device goes, after the broadcaster.
    device.install_callbacks({}, {});
    return status;
}

}  // namespace app
