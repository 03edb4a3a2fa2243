#pragma once

namespace httplib {
class Server;
}

namespace midi {

class listener;

// The MIDI input's routes:
//   GET  /midi/ports  [{"id": ..., "name": ..., "api": "alsa" | "jack" | ...}, ...]
//   POST /midi/port   form field "id": an id of /midi/ports, or "none"; answers the new state
//   GET  /midi/state  {"port": name or null, "connected": bool}
void register_routes(httplib::Server& server, listener& input);

}  // namespace midi
