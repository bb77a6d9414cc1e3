// SPDX-License-Identifier: MIT
#include "save_list.h"
#include "peer_list.h"
#include "translation.h"

#include <cstring>

namespace {

// Spreadsheets that guess a file's encoding take UTF-8 for it only with one.
constexpr char UTF8_BYTE_ORDER_MARK[] = "\xef\xbb\xbf";

GBytes *list_file_contents(DiscoveryPeerList *list)
{
    guint count = 0;
    const RowTexts **rows = discovery_peer_list_shown_rows(list, &count);
    GString *contents = g_string_new(UTF8_BYTE_ORDER_MARK);
    row_texts_append_csv(rows, count, contents);
    g_free(rows);
    return g_string_free_to_bytes(contents);
}

struct Saving {
    GtkWindow *window; // to tell a failure over
    gchar *path;
    GBytes *contents;
};

void saving_free(gpointer data)
{
    auto *saving = static_cast<Saving *>(data);
    g_object_unref(saving->window);
    g_free(saving->path);
    g_bytes_unref(saving->contents);
    g_free(saving);
}

void tell_failure(GtkWindow *window, const gchar *path, const GError *error)
{
    g_printerr(_("cannot save the list: %s\n"), error->message);
    GtkWidget *shown = GTK_WIDGET(window);
    if (gtk_widget_in_destruction(shown) || !gtk_widget_get_visible(shown))
        return; // closed meanwhile
    gchar *name = g_filename_display_basename(path);
    GtkWidget *dialog = gtk_message_dialog_new(
        window, static_cast<GtkDialogFlags>(GTK_DIALOG_MODAL | GTK_DIALOG_DESTROY_WITH_PARENT),
        GTK_MESSAGE_ERROR, GTK_BUTTONS_CLOSE, _("The list could not be saved as \"%s\""), name);
    gtk_message_dialog_format_secondary_text(GTK_MESSAGE_DIALOG(dialog), "%s", error->message);
    g_signal_connect(dialog, "response", G_CALLBACK(gtk_widget_destroy), nullptr);
    gtk_widget_show(dialog);
    g_free(name);
}

// On a thread of its own: a slow or remote disk does not hold the window.
void write_file(GTask *task, gpointer, gpointer data, GCancellable *)
{
    auto *saving = static_cast<Saving *>(data);
    gsize size = 0;
    auto *bytes = static_cast<const gchar *>(g_bytes_get_data(saving->contents, &size));
    GError *error = nullptr;
    // Written to a file beside it, then renamed over it: an old file stays
    // whole if anything fails, and no part of a new one is left.
    if (g_file_set_contents_full(saving->path, bytes, static_cast<gssize>(size),
                                 G_FILE_SET_CONTENTS_CONSISTENT, 0666, &error))
        g_task_return_boolean(task, TRUE);
    else
        g_task_return_error(task, error);
}

void on_written(GObject *, GAsyncResult *result, gpointer)
{
    auto *saving = static_cast<Saving *>(g_task_get_task_data(G_TASK(result)));
    GError *error = nullptr;
    if (!g_task_propagate_boolean(G_TASK(result), &error)) {
        tell_failure(saving->window, saving->path, error);
        g_error_free(error);
    }
}

// Takes path and contents.
void save(GtkWindow *window, gchar *path, GBytes *contents)
{
    Saving *saving = g_new(Saving, 1);
    *saving = Saving{GTK_WINDOW(g_object_ref(window)), path, contents};
    GTask *task = g_task_new(nullptr, nullptr, on_written, nullptr);
    g_task_set_task_data(task, saving, saving_free);
    g_task_run_in_thread(task, write_file);
    g_object_unref(task);
}

// "cameras" is saved as cameras.csv; a name with an extension as it is.
gchar *with_csv_extension(const gchar *path)
{
    gchar *name = g_path_get_basename(path);
    const gchar *dot = strrchr(name, '.');
    gchar *full = dot && dot != name ? g_strdup(path) : g_strconcat(path, ".csv", nullptr);
    g_free(name);
    return full;
}

// The chooser asked about the name as typed, not about the one it became.
gboolean confirm_replacing(GtkWindow *window, const gchar *path)
{
    gchar *name = g_filename_display_basename(path);
    GtkWidget *dialog = gtk_message_dialog_new(
        window, static_cast<GtkDialogFlags>(GTK_DIALOG_MODAL | GTK_DIALOG_DESTROY_WITH_PARENT),
        GTK_MESSAGE_QUESTION, GTK_BUTTONS_NONE, _("A file named \"%s\" already exists. Replace it?"),
        name);
    g_free(name);
    gtk_dialog_add_buttons(GTK_DIALOG(dialog), _("_Cancel"), GTK_RESPONSE_CANCEL, _("_Replace"),
                           GTK_RESPONSE_ACCEPT, nullptr);
    gboolean replace = gtk_dialog_run(GTK_DIALOG(dialog)) == GTK_RESPONSE_ACCEPT;
    gtk_widget_destroy(dialog);
    return replace;
}

void on_chosen(GtkNativeDialog *chooser, gint response, gpointer data)
{
    auto *view = static_cast<GtkWidget *>(data);
    GtkTreeModel *model = gtk_tree_view_get_model(GTK_TREE_VIEW(view));
    gchar *chosen = response == GTK_RESPONSE_ACCEPT
                        ? gtk_file_chooser_get_filename(GTK_FILE_CHOOSER(chooser))
                        : nullptr;
    if (chosen && DISCOVERY_IS_PEER_LIST(model) && !gtk_widget_in_destruction(view)) {
        GBytes *contents = list_file_contents(DISCOVERY_PEER_LIST(model));
        auto *window = GTK_WINDOW(gtk_widget_get_toplevel(view));
        gchar *path = with_csv_extension(chosen);
        if (strcmp(path, chosen) == 0 || !g_file_test(path, G_FILE_TEST_EXISTS) ||
            confirm_replacing(window, path)) {
            save(window, path, contents);
        } else {
            g_free(path);
            g_bytes_unref(contents);
        }
    }
    g_free(chosen);
    g_object_unref(view);
    g_object_unref(chooser);
}

} // namespace

void save_list_ask(GtkTreeView *view)
{
    auto *window = GTK_WINDOW(gtk_widget_get_toplevel(GTK_WIDGET(view)));
    GtkFileChooserNative *chooser = gtk_file_chooser_native_new(
        _("Save List"), window, GTK_FILE_CHOOSER_ACTION_SAVE, _("_Save"), _("_Cancel"));
    GtkFileChooser *files = GTK_FILE_CHOOSER(chooser);
    // TRANSLATORS: the name a saved list is offered, to keep its .csv.
    gtk_file_chooser_set_current_name(files, _("cameras.csv"));
    gtk_file_chooser_set_do_overwrite_confirmation(files, TRUE);
    gtk_native_dialog_set_modal(GTK_NATIVE_DIALOG(chooser), TRUE);
    g_signal_connect(chooser, "response", G_CALLBACK(on_chosen), g_object_ref(view));
    gtk_native_dialog_show(GTK_NATIVE_DIALOG(chooser));
}
