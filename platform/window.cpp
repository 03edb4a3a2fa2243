#include "platform/window.h"

#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace platform {

namespace {

// The folder below the XDG data and cache folders where the web view keeps its profile.
constexpr const char* profile_folder = "korvaline";

// The part of a URL that decides where navigation may go.
struct origin {
    std::string scheme;
    std::string host;
    int port = -1;
    bool operator==(const origin&) const = default;
};

std::optional<origin> origin_of(const char* url) {
    GUri* uri = g_uri_parse(url, G_URI_FLAGS_NONE, nullptr);
    if (uri == nullptr) {
        return std::nullopt;
    }
    origin result;
    result.scheme = g_uri_get_scheme(uri) ? g_uri_get_scheme(uri) : "";
    result.host = g_uri_get_host(uri) ? g_uri_get_host(uri) : "";
    result.port = g_uri_get_port(uri);
    if (result.port == -1 && result.scheme == "http") {
        result.port = 80;
    }
    g_uri_unref(uri);
    return result;
}

// The page's own data handed to a download (a backup it fetched first) has a blob address, which
// carries the origin of the page that made it after its scheme.
const char* uri_within_blob(const char* uri) {
    return g_str_has_prefix(uri, "blob:") ? uri + 5 : uri;
}

}  // namespace

// A download waiting for the user's answer in a save dialog. It owns a reference to each, and needs
// nothing of the window, which may be gone by the time the user answers.
struct pending_download {
    WebKitDownload* download;
    GtkFileChooserNative* dialog;

    // The page's download goes where the user says, or nowhere: cancelled before its destination
    // is set, WebKit writes no file at all.
    static void on_response(GtkNativeDialog*, gint response, gpointer data) {
        auto* self = static_cast<pending_download*>(data);
        gchar* path = response == GTK_RESPONSE_ACCEPT
                          ? gtk_file_chooser_get_filename(GTK_FILE_CHOOSER(self->dialog))
                          : nullptr;
        if (path != nullptr) {
            // The dialog has already asked before replacing a file.
            webkit_download_set_allow_overwrite(self->download, TRUE);
            webkit_download_set_destination(self->download, path);
            g_free(path);
        } else {
            webkit_download_cancel(self->download);
        }
        g_object_unref(self->dialog);
        g_object_unref(self->download);
        delete self;
    }
};

struct window::impl {
    GtkWidget* toplevel = nullptr;
    WebKitWebView* view = nullptr;
    GMainLoop* loop = nullptr;
    std::optional<origin> allowed;
    std::function<bool()> has_unsaved;
    std::function<void()> save;
    GtkWidget* question = nullptr;  // the unsaved-changes dialog while it is open
    // What a pending close() needs: this object, as long as it exists. Only the GUI thread reads
    // or writes the pointer; close() on other threads merely shares ownership of the slot.
    std::shared_ptr<impl*> handle = std::make_shared<impl*>(nullptr);
    // The thread that made the window, on which GTK runs.
    std::thread::id gui_thread = std::this_thread::get_id();

    // Every way of closing ends here, on the GUI thread: the window disappears at once and the
    // message loop returns, so the caller's shutdown runs while the widget still exists.
    void finish() {
        if (question != nullptr) {
            gtk_widget_destroy(question);
            question = nullptr;
        }
        gtk_widget_hide(toplevel);
        // The page ends with its window. Left running, a page still loading (or holding its event
        // stream) outlives the engine's network process when the program exits, and the web
        // process then reports every load it loses as an internal error of the engine.
        webkit_web_view_terminate_web_process(view);
        g_main_loop_quit(loop);
    }

    static gboolean on_delete(GtkWidget*, GdkEvent*, gpointer data) {
        auto* self = static_cast<impl*>(data);
        if (self->has_unsaved && self->has_unsaved()) {
            self->ask_before_closing();
        } else {
            self->finish();
        }
        return TRUE;  // keep the widget: the destructor destroys it
    }

    // Asked without a nested main loop, so a close() from a signal still ends the loop at once
    // while the question is open.
    void ask_before_closing() {
        if (question != nullptr) {
            gtk_window_present(GTK_WINDOW(question));
            return;
        }
        question = gtk_message_dialog_new(
            GTK_WINDOW(toplevel), GtkDialogFlags(GTK_DIALOG_MODAL | GTK_DIALOG_DESTROY_WITH_PARENT),
            GTK_MESSAGE_QUESTION, GTK_BUTTONS_NONE, "Save the changes to the module?");
        gtk_window_set_title(GTK_WINDOW(question), "Unsaved changes");
        gtk_message_dialog_format_secondary_text(
            GTK_MESSAGE_DIALOG(question),
            "Changes not saved to the module are lost when the module is switched off.");
        gtk_dialog_add_buttons(GTK_DIALOG(question), "Close _without saving", GTK_RESPONSE_REJECT,
                               "_Cancel", GTK_RESPONSE_CANCEL, "_Save to module",
                               GTK_RESPONSE_ACCEPT, nullptr);
        gtk_dialog_set_default_response(GTK_DIALOG(question), GTK_RESPONSE_CANCEL);
        g_signal_connect(question, "response", G_CALLBACK(on_question_answered), this);
        gtk_widget_show_all(question);
    }

    static void on_question_answered(GtkDialog*, gint response, gpointer data) {
        auto* self = static_cast<impl*>(data);
        gtk_widget_destroy(self->question);
        self->question = nullptr;
        if (response == GTK_RESPONSE_ACCEPT) {
            self->save();
            self->finish();
        } else if (response == GTK_RESPONSE_REJECT) {
            self->finish();
        }
    }

    // Every download (a response the page marks as an attachment; WebKit's default policy turns
    // it into one) asks where to save it, starting in the user's download folder with the name
    // the server suggested.
    static void on_download_started(WebKitWebContext*, WebKitDownload* download, gpointer data) {
        g_signal_connect(download, "decide-destination", G_CALLBACK(on_decide_destination), data);
    }

    static gboolean on_decide_destination(WebKitDownload* download, gchar* suggested,
                                          gpointer data) {
        auto* self = static_cast<impl*>(data);
        GtkFileChooserNative* dialog =
            gtk_file_chooser_native_new("Save file", GTK_WINDOW(self->toplevel),
                                        GTK_FILE_CHOOSER_ACTION_SAVE, "_Save", "_Cancel");
        GtkFileChooser* chooser = GTK_FILE_CHOOSER(dialog);
        gtk_file_chooser_set_do_overwrite_confirmation(chooser, TRUE);
        const char* folder = g_get_user_special_dir(G_USER_DIRECTORY_DOWNLOAD);
        gtk_file_chooser_set_current_folder(chooser, folder ? folder : g_get_home_dir());
        gtk_file_chooser_set_current_name(chooser, suggested);
        auto* pending = new pending_download{WEBKIT_DOWNLOAD(g_object_ref(download)), dialog};
        g_signal_connect(dialog, "response", G_CALLBACK(pending_download::on_response), pending);
        gtk_native_dialog_show(GTK_NATIVE_DIALOG(dialog));
        return TRUE;  // the destination follows once the user has answered
    }

    // Only pages of the navigated origin (and data that such a page made), and the in-memory error
    // page, may be shown. Links to
    // other origins and requests for new windows lead nowhere, so the window never turns into a
    // general browser.
    static gboolean on_decide_policy(WebKitWebView*, WebKitPolicyDecision* decision,
                                     WebKitPolicyDecisionType type, gpointer self) {
        if (type != WEBKIT_POLICY_DECISION_TYPE_NAVIGATION_ACTION &&
            type != WEBKIT_POLICY_DECISION_TYPE_NEW_WINDOW_ACTION) {
            return FALSE;  // responses: WebKit's default handling
        }
        auto* navigation = WEBKIT_NAVIGATION_POLICY_DECISION(decision);
        WebKitNavigationAction* action =
            webkit_navigation_policy_decision_get_navigation_action(navigation);
        WebKitURIRequest* request = webkit_navigation_action_get_request(action);
        const char* uri = webkit_uri_request_get_uri(request);
        const auto& allowed = static_cast<impl*>(self)->allowed;
        bool permitted = false;
        if (type == WEBKIT_POLICY_DECISION_TYPE_NAVIGATION_ACTION && uri != nullptr) {
            if (g_str_equal(uri, "about:blank")) {
                permitted = true;
            } else if (auto target = origin_of(uri_within_blob(uri));
                       target && allowed && *target == *allowed) {
                permitted = true;
            }
        }
        if (permitted) {
            webkit_policy_decision_use(decision);
        } else {
            webkit_policy_decision_ignore(decision);
        }
        return TRUE;
    }
};

bool window::available() {
    // GTK can be initialised only once per process; the answer never changes afterwards.
    static std::once_flag once;
    static bool result = false;
    std::call_once(once, [] { result = gtk_init_check(nullptr, nullptr); });
    return result;
}

window::window() : impl_(std::make_unique<impl>()) {
    impl_->loop = g_main_loop_new(nullptr, FALSE);

    // The profile (cookies, local storage, caches) lives in folders of our own below the XDG
    // folders, so it neither mixes with other WebKit programs nor escapes a test's temporary home.
    gchar* data_dir = g_build_filename(g_get_user_data_dir(), profile_folder, nullptr);
    gchar* cache_dir = g_build_filename(g_get_user_cache_dir(), profile_folder, nullptr);
    WebKitWebsiteDataManager* data = webkit_website_data_manager_new(
        "base-data-directory", data_dir, "base-cache-directory", cache_dir, nullptr);
    g_free(data_dir);
    g_free(cache_dir);
    WebKitWebContext* context = webkit_web_context_new_with_website_data_manager(data);
    g_object_unref(data);
    // WebKit's bubblewrap sandbox stays at the 4.1 default (off). It works here, even as root
    // under Xvfb, but where unprivileged user namespaces are restricted it kills the web process
    // and leaves the window blank; the navigation fence below keeps every page our own instead.

    impl_->view = WEBKIT_WEB_VIEW(webkit_web_view_new_with_context(context));
    g_object_unref(context);  // the view holds its own reference
    WebKitSettings* settings = webkit_web_view_get_settings(impl_->view);
    webkit_settings_set_enable_developer_extras(settings, FALSE);
    // The window shows one local page. Its web process needs half the memory without accelerated
    // compositing (measured under Xvfb: 110 MB instead of 216 MB proportional set size), and
    // less again without the media features the pages never use, which keep the media framework
    // out of it. Turning off the page cache or WebGL, or choosing the document-viewer cache
    // model, changed nothing measurable, so those keep WebKit's defaults.
    webkit_settings_set_hardware_acceleration_policy(settings,
                                                     WEBKIT_HARDWARE_ACCELERATION_POLICY_NEVER);
    webkit_settings_set_enable_media(settings, FALSE);
    webkit_settings_set_enable_mediasource(settings, FALSE);
    webkit_settings_set_enable_webaudio(settings, FALSE);
    webkit_settings_set_enable_media_stream(settings, FALSE);
    webkit_settings_set_enable_webrtc(settings, FALSE);
    g_signal_connect(context, "download-started", G_CALLBACK(impl::on_download_started),
                     impl_.get());
    g_signal_connect(impl_->view, "decide-policy", G_CALLBACK(impl::on_decide_policy), impl_.get());

    impl_->toplevel = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_default_size(GTK_WINDOW(impl_->toplevel), 1280, 720);
    gtk_window_set_resizable(GTK_WINDOW(impl_->toplevel), TRUE);
    // The editor is laid out for 800x600 and up (it scrolls where it must); a smaller window
    // would cut its controls off.
    GdkGeometry smallest{};
    smallest.min_width = 800;
    smallest.min_height = 600;
    gtk_window_set_geometry_hints(GTK_WINDOW(impl_->toplevel), nullptr, &smallest,
                                  GDK_HINT_MIN_SIZE);
    gtk_container_add(GTK_CONTAINER(impl_->toplevel), GTK_WIDGET(impl_->view));
    g_signal_connect(impl_->toplevel, "delete-event", G_CALLBACK(impl::on_delete), impl_.get());
    *impl_->handle = impl_.get();
}

window::~window() {
    *impl_->handle = nullptr;
    g_signal_handlers_disconnect_by_data(webkit_web_view_get_context(impl_->view), impl_.get());
    gtk_widget_destroy(impl_->toplevel);
    // Let pending work run out (close() requests that came too late, the unmapping of the window)
    // while the main loop's objects still exist.
    while (g_main_context_iteration(nullptr, FALSE)) {
    }
    g_main_loop_unref(impl_->loop);
}

void window::set_title(const std::string& title) {
    if (std::this_thread::get_id() == impl_->gui_thread) {
        gtk_window_set_title(GTK_WINDOW(impl_->toplevel), title.c_str());
        return;
    }
    // GTK may only be touched on its own thread: the title goes there with a share of the slot,
    // which tells the idle callback whether the window still exists by then.
    struct change {
        std::shared_ptr<impl*> slot;
        std::string title;
    };
    g_idle_add_full(
        G_PRIORITY_DEFAULT,
        [](gpointer data) -> gboolean {
            const auto* wanted = static_cast<change*>(data);
            if (impl* target = *wanted->slot) {
                gtk_window_set_title(GTK_WINDOW(target->toplevel), wanted->title.c_str());
            }
            return G_SOURCE_REMOVE;
        },
        new change{impl_->handle, title}, [](gpointer data) { delete static_cast<change*>(data); });
}

void window::set_size(int width, int height) {
    gtk_window_set_default_size(GTK_WINDOW(impl_->toplevel), width, height);
    if (gtk_widget_get_realized(impl_->toplevel)) {
        gtk_window_resize(GTK_WINDOW(impl_->toplevel), width, height);
    }
}

void window::set_icon_png(const void* data, std::size_t size) {
    GdkPixbufLoader* loader = gdk_pixbuf_loader_new_with_type("png", nullptr);
    if (loader == nullptr) {
        return;
    }
    bool written = gdk_pixbuf_loader_write(loader, static_cast<const guchar*>(data), size, nullptr);
    bool closed = gdk_pixbuf_loader_close(loader, nullptr);
    if (written && closed) {
        if (GdkPixbuf* icon = gdk_pixbuf_loader_get_pixbuf(loader)) {
            gtk_window_set_icon(GTK_WINDOW(impl_->toplevel), icon);
        }
    }
    g_object_unref(loader);
}

void window::navigate(const std::string& url) {
    impl_->allowed = origin_of(url.c_str());
    webkit_web_view_load_uri(impl_->view, url.c_str());
}

void window::show_html(const std::string& html) {
    webkit_web_view_load_html(impl_->view, html.c_str(), nullptr);
}

void window::set_close_guard(std::function<bool()> has_unsaved, std::function<void()> save) {
    impl_->has_unsaved = std::move(has_unsaved);
    impl_->save = std::move(save);
}

void window::run() {
    gtk_widget_show_all(impl_->toplevel);
    g_main_loop_run(impl_->loop);
    gdk_display_flush(gtk_widget_get_display(impl_->toplevel));
}

void window::close() {
    // The copy keeps the slot alive until the idle callback has run on the GUI thread; the slot
    // tells the callback whether the window still exists by then.
    using slot = std::shared_ptr<impl*>;
    g_idle_add_full(
        G_PRIORITY_DEFAULT,
        [](gpointer data) -> gboolean {
            if (impl* target = *static_cast<slot*>(data)->get()) {
                target->finish();
            }
            return G_SOURCE_REMOVE;
        },
        new slot(impl_->handle), [](gpointer data) { delete static_cast<slot*>(data); });
}

}  // namespace platform
