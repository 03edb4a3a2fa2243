#include "web/endpoints.h"

#include <httplib.h>

#include <functional>

namespace http {

namespace {

// Length of "web_resources": what is cut from a store path to form its URL.
constexpr std::size_t root_prefix_length = 13;

}  // namespace

std::string content_type_for(const std::string& filename) {
    auto dot = filename.rfind('.');
    std::string ext = dot == std::string::npos ? std::string() : filename.substr(dot + 1);
    if (ext == "css")
        return "text/css";
    if (ext == "html")
        return "text/html";
    if (ext == "js")
        return "text/javascript";
    if (ext == "json")
        return "application/json";
    if (ext == "png")
        return "image/png";
    if (ext == "ttf")
        return "font/ttf";
    return "text/plain";
}

void add_endpoint(const cmrc::embedded_filesystem& fs, httplib::Server& server,
                  const std::string& /*root*/, const std::string& directory,
                  cmrc::directory_entry& entry) {
    std::function<void(const std::string&, const cmrc::directory_entry&)> walk =
        [&](const std::string& dir, const cmrc::directory_entry& item) {
            if (item.is_directory()) {
                const std::string sub = dir + "/" + item.filename();
                for (const cmrc::directory_entry& child : fs.iterate_directory(sub)) {
                    walk(sub, child);
                }
                return;
            }
            const std::string& name = item.filename();
            const std::string url = (dir + "/" + (name == "index.html" ? std::string() : name))
                                        .substr(root_prefix_length);
            const std::string path = dir + "/" + name;
            // The file's bytes live in the executable for the whole run; the route keeps only the
            // view of them, taken once here.
            const cmrc::file file = fs.open(path);
            const auto serve = [file, type = content_type_for(name)](const httplib::Request&,
                                                                     httplib::Response& res) {
                res.set_content(file.begin(), file.size(), type);
            };
            server.Get(url, serve);
            // Browsers ask for /favicon.ico by themselves: it is the program's icon too.
            if (url == "/assets/img/icon.png") {
                server.Get("/favicon.ico", serve);
            }
        };
    walk(directory, entry);
}

}  // namespace http
