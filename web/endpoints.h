#pragma once

#include <cmrc/cmrc.hpp>

#include <string>

namespace httplib {
class Server;
}

namespace http {

// The content type served for a file name, from its extension; "text/plain" for anything else.
std::string content_type_for(const std::string& filename);

// Registers one GET route per file below `entry` (a child of `directory` in the store), depth
// first, each directory in name order. The URL of a file is its store path without the resource
// root, and index.html is served at its directory's "/" instead of under its own name. Patterns
// are whole-path regular expressions, as the server library reads every pattern. The icon
// (assets/img/icon.png) is also served at /favicon.ico.
void add_endpoint(const cmrc::embedded_filesystem& fs, httplib::Server& server,
                  const std::string& root, const std::string& directory,
                  cmrc::directory_entry& entry);

}  // namespace http
