// SPDX-License-Identifier: MIT
#include "reach_check.h"
#include "translation.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>

#include <set>
#include <string>

namespace {

// One check of a URL; freed when its connection attempt ends.
struct Check {
    GtkTreeView *view; // NULL once cancelled
    gchar *url;
    OpenFunc open;
    in_addr host;
    GCancellable *cancellable;
    guint timeout;
    gboolean timed_out;
};

// The checks running for a view, kept on it.
struct Checks {
    GList *running;
};

const char CHECKS_KEY[] = "reach-checks";

enum class Verdict { REACHED, UNREACHABLE, CANCELLED };

enum { RESPONSE_COPY_COMMAND = 1, RESPONSE_OPEN_ANYWAY = 2 };

guint16 default_port(const gchar *scheme)
{
    static const struct {
        const char *scheme;
        guint16 port;
    } PORTS[] = {{"http", 80}, {"https", 443}, {"rtsp", 554}, {"rtsps", 322}};
    for (const auto &known : PORTS)
        if (scheme && g_ascii_strcasecmp(scheme, known.scheme) == 0)
            return known.port;
    return 0;
}

// The host and port that url names, if its host is an IPv4 address.
bool ipv4_target(const gchar *url, in_addr &host, guint16 &port)
{
    GUri *uri = g_uri_parse(url, G_URI_FLAGS_NONE, nullptr);
    if (!uri)
        return false;
    const gchar *name = g_uri_get_host(uri);
    bool ipv4 = name && inet_pton(AF_INET, name, &host) == 1;
    int given = g_uri_get_port(uri);
    port = given > 0 ? static_cast<guint16>(given) : default_port(g_uri_get_scheme(uri));
    g_uri_unref(uri);
    return ipv4 && port != 0;
}

// Whether host is on the network of one of this computer's IPv4 addresses;
// true if they cannot be read, so that nothing is checked then.
bool on_own_network(in_addr host)
{
    ifaddrs *all = nullptr;
    if (getifaddrs(&all) != 0)
        return true;
    bool own = false;
    for (ifaddrs *entry = all; entry && !own; entry = entry->ifa_next) {
        if (!entry->ifa_addr || entry->ifa_addr->sa_family != AF_INET || !entry->ifa_netmask)
            continue;
        in_addr_t address = reinterpret_cast<sockaddr_in *>(entry->ifa_addr)->sin_addr.s_addr;
        in_addr_t mask = reinterpret_cast<sockaddr_in *>(entry->ifa_netmask)->sin_addr.s_addr;
        own = ((address ^ host.s_addr) & mask) == 0;
    }
    freeifaddrs(all);
    return own;
}

// The name of this computer's one interface that is up and can broadcast,
// or "" if it has none or several.
std::string only_broadcast_interface()
{
    ifaddrs *all = nullptr;
    if (getifaddrs(&all) != 0)
        return "";
    std::set<std::string> names;
    // Not can_broadcast(), which takes IPv4 addresses only: a computer on a
    // link of cameras alone often has no address there yet.
    for (ifaddrs *entry = all; entry; entry = entry->ifa_next) {
        unsigned flags = entry->ifa_flags;
        if ((flags & IFF_UP) && (flags & IFF_BROADCAST) && !(flags & IFF_LOOPBACK))
            names.insert(entry->ifa_name);
    }
    freeifaddrs(all);
    return names.size() == 1 ? *names.begin() : "";
}

Checks *checks_of(GtkTreeView *view)
{
    return static_cast<Checks *>(g_object_get_data(G_OBJECT(view), CHECKS_KEY));
}

void show_busy(GtkTreeView *view)
{
    GdkWindow *window = gtk_widget_get_window(gtk_widget_get_toplevel(GTK_WIDGET(view)));
    Checks *checks = checks_of(view);
    if (!window || !checks)
        return;
    GdkCursor *cursor = checks->running ? gdk_cursor_new_from_name(
                                              gdk_window_get_display(window), "progress")
                                        : nullptr;
    gdk_window_set_cursor(window, cursor);
    g_clear_object(&cursor);
}

void check_free(Check *check)
{
    g_clear_handle_id(&check->timeout, g_source_remove);
    g_object_unref(check->cancellable);
    g_free(check->url);
    g_free(check);
}

// An answer of any kind, a refusal too, shows that the camera can be
// reached; an error that says nothing of that opens as if it could.
Verdict verdict_of(const GError *error, gboolean timed_out)
{
    if (timed_out || g_error_matches(error, G_IO_ERROR, G_IO_ERROR_HOST_UNREACHABLE) ||
        g_error_matches(error, G_IO_ERROR, G_IO_ERROR_NETWORK_UNREACHABLE))
        return Verdict::UNREACHABLE;
    if (g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED))
        return Verdict::CANCELLED;
    return Verdict::REACHED;
}

GtkWindow *window_of(GtkTreeView *view)
{
    return GTK_WINDOW(gtk_widget_get_toplevel(GTK_WIDGET(view)));
}

// What to type to give this computer an address on host's network, taking
// a /24 network as the likeliest.
gchar *address_command(in_addr host)
{
    guint32 number = ntohl(host.s_addr);
    guint32 guess = (number & 0xffffff00u) | ((number & 0xff) == 200 ? 201 : 200);
    in_addr own{htonl(guess)};
    char text[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &own, text, sizeof text);
    std::string interface = only_broadcast_interface();
    return g_strdup_printf("ip address add %s/24 dev %s", text,
                           interface.empty() ? "INTERFACE" : interface.c_str());
}

struct Explained {
    gchar *url;
    gchar *command;
    OpenFunc open;
};

void explained_free(gpointer data, GClosure *)
{
    auto *explained = static_cast<Explained *>(data);
    g_free(explained->url);
    g_free(explained->command);
    g_free(explained);
}

void on_explanation_response(GtkDialog *dialog, gint response, Explained *explained)
{
    if (response == RESPONSE_COPY_COMMAND) {
        GtkClipboard *clipboard =
            gtk_widget_get_clipboard(GTK_WIDGET(dialog), GDK_SELECTION_CLIPBOARD);
        gtk_clipboard_set_text(clipboard, explained->command, -1);
        return;
    }
    if (response == RESPONSE_OPEN_ANYWAY)
        explained->open(gtk_window_get_transient_for(GTK_WINDOW(dialog)), explained->url);
    gtk_widget_destroy(GTK_WIDGET(dialog));
}

// Instead of a browser that would wait and time out.
void explain(GtkWindow *window, const gchar *url, in_addr host, OpenFunc open)
{
    char address[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &host, address, sizeof address);
    auto *explained = g_new(Explained, 1);
    *explained = Explained{g_strdup(url), address_command(host), open};
    GtkWidget *dialog = gtk_message_dialog_new(
        window, GTK_DIALOG_DESTROY_WITH_PARENT, GTK_MESSAGE_WARNING, GTK_BUTTONS_NONE,
        _("The camera at %s cannot be reached"), address);
    gtk_window_set_title(GTK_WINDOW(dialog), _("Camera Not Reachable"));
    gtk_message_dialog_format_secondary_text(
        GTK_MESSAGE_DIALOG(dialog),
        // TRANSLATORS: %s is a command, such as "ip address add 192.168.1.200/24 dev eth0".
        _("It was heard on this computer's network, but its address is on none of this "
          "computer's networks, as is typical of a camera with its factory settings.\n\n"
          "To reach it, give this computer an address on the camera's network. Usually, as "
          "root (for example with sudo):\n\n%s\n\n"
          "The address and the netmask (/24) are a guess, as the camera's netmask is not "
          "known: choose an address that no other device uses. It lasts until the network is "
          "next restarted. Or change the camera's address with its maker's tool."),
        explained->command);
    gtk_dialog_add_buttons(GTK_DIALOG(dialog), _("Copy Command"), RESPONSE_COPY_COMMAND,
                           _("Open Anyway"), RESPONSE_OPEN_ANYWAY, _("_Close"), GTK_RESPONSE_CLOSE,
                           nullptr);
    g_signal_connect_data(dialog, "response", G_CALLBACK(on_explanation_response), explained,
                          explained_free, static_cast<GConnectFlags>(0));
    gtk_widget_show(dialog);
}

void on_connected(GObject *client, GAsyncResult *result, gpointer data)
{
    auto *check = static_cast<Check *>(data);
    GError *error = nullptr;
    GSocketConnection *connection =
        g_socket_client_connect_finish(G_SOCKET_CLIENT(client), result, &error);
    Verdict verdict = connection ? Verdict::REACHED : verdict_of(error, check->timed_out);
    g_clear_object(&connection); // closes it
    g_clear_error(&error);
    if (GtkTreeView *view = check->view) {
        Checks *checks = checks_of(view);
        checks->running = g_list_remove(checks->running, check);
        show_busy(view);
        if (verdict == Verdict::REACHED)
            check->open(window_of(view), check->url);
        else if (verdict == Verdict::UNREACHABLE)
            explain(window_of(view), check->url, check->host, check->open);
    }
    check_free(check);
}

gboolean on_timeout(gpointer data)
{
    auto *check = static_cast<Check *>(data);
    check->timeout = 0;
    check->timed_out = TRUE;
    g_cancellable_cancel(check->cancellable);
    return G_SOURCE_REMOVE;
}

gboolean is_checked(Checks *checks, const gchar *url)
{
    for (GList *running = checks->running; running; running = running->next)
        if (g_strcmp0(static_cast<Check *>(running->data)->url, url) == 0)
            return TRUE;
    return FALSE;
}

void on_view_destroy(GtkWidget *view, gpointer)
{
    reach_checks_cancel(GTK_TREE_VIEW(view));
}

void start_check(GtkTreeView *view, const gchar *url, OpenFunc open, in_addr host, guint16 port)
{
    Checks *checks = checks_of(view);
    if (!checks) {
        checks = g_new0(Checks, 1);
        g_object_set_data_full(G_OBJECT(view), CHECKS_KEY, checks, g_free);
        g_signal_connect(view, "destroy", G_CALLBACK(on_view_destroy), nullptr);
    }
    auto *check = g_new0(Check, 1);
    *check = Check{view, g_strdup(url), open, host, g_cancellable_new(), 0, FALSE};
    checks->running = g_list_prepend(checks->running, check);
    show_busy(view);

    char text[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &host, text, sizeof text);
    GSocketAddress *address = g_inet_socket_address_new_from_string(text, port);
    GSocketClient *client = g_socket_client_new();
    g_socket_client_set_enable_proxy(client, FALSE); // the camera itself, not a proxy
    g_socket_client_connect_async(client, G_SOCKET_CONNECTABLE(address), check->cancellable,
                                  on_connected, check);
    g_object_unref(client);
    g_object_unref(address);
    check->timeout = g_timeout_add(REACH_TIMEOUT_MS, on_timeout, check);
}

} // namespace

void open_when_reachable(GtkTreeView *view, const gchar *url, OpenFunc open)
{
    in_addr host{};
    guint16 port = 0;
    if (!ipv4_target(url, host, port) || on_own_network(host)) {
        open(window_of(view), url);
        return;
    }
    Checks *checks = checks_of(view);
    if (!checks || !is_checked(checks, url))
        start_check(view, url, open, host, port);
}

void reach_checks_cancel(GtkTreeView *view)
{
    Checks *checks = checks_of(view);
    if (!checks)
        return;
    for (GList *running = checks->running; running; running = running->next) {
        auto *check = static_cast<Check *>(running->data);
        check->view = nullptr; // its end touches nothing
        g_clear_handle_id(&check->timeout, g_source_remove);
        g_cancellable_cancel(check->cancellable);
    }
    g_clear_pointer(&checks->running, g_list_free);
    show_busy(view);
}
