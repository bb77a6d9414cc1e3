// SPDX-License-Identifier: MIT
#include "video_stream.h"
#include "translation.h"
#include "url_scheme.h"

namespace {

enum { RESPONSE_COPY = 1 };

gchar *lowercase_scheme(const gchar *url)
{
    gchar *scheme = g_uri_parse_scheme(url);
    gchar *lower = scheme ? g_ascii_strdown(scheme, -1) : nullptr;
    g_free(scheme);
    return lower;
}

void launch(GAppInfo *app, GtkWindow *parent, const gchar *url)
{
    GdkAppLaunchContext *context =
        gdk_display_get_app_launch_context(gtk_widget_get_display(GTK_WIDGET(parent)));
    GList uris = {const_cast<gchar *>(url), nullptr, nullptr};
    GError *error = nullptr;
    if (!g_app_info_launch_uris(app, &uris, G_APP_LAUNCH_CONTEXT(context), &error)) {
        g_printerr(_("cannot open the video stream with %s: %s\n"), g_app_info_get_name(app),
                   error->message);
        g_error_free(error);
    }
    g_object_unref(context);
}

gboolean plays_video(GAppInfo *app)
{
    const char **types = g_app_info_get_supported_types(app);
    for (; types && *types; ++types)
        if (g_str_has_prefix(*types, "video/") || g_str_has_prefix(*types, "x-scheme-handler/rtsp"))
            return TRUE;
    return FALSE;
}

gint by_name(gconstpointer a, gconstpointer b)
{
    return g_utf8_collate(g_app_info_get_display_name(G_APP_INFO(a)),
                          g_app_info_get_display_name(G_APP_INFO(b)));
}

// The installed applications that declare a video type, by name.
GList *video_applications()
{
    GList *video = nullptr;
    GList *all = g_app_info_get_all();
    for (GList *app = all; app; app = app->next) {
        if (g_app_info_should_show(G_APP_INFO(app->data)) && plays_video(G_APP_INFO(app->data)))
            video = g_list_prepend(video, g_object_ref(app->data));
    }
    g_list_free_full(all, g_object_unref);
    return g_list_sort(video, by_name);
}

GtkWidget *application_row(GAppInfo *app)
{
    GtkWidget *box = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 8);
    GIcon *icon = g_app_info_get_icon(app);
    GtkWidget *image = icon ? gtk_image_new_from_gicon(icon, GTK_ICON_SIZE_DND)
                            : gtk_image_new_from_icon_name("video-x-generic", GTK_ICON_SIZE_DND);
    gtk_box_pack_start(GTK_BOX(box), image, FALSE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(box), gtk_label_new(g_app_info_get_display_name(app)), FALSE,
                       FALSE, 0);
    gtk_widget_set_margin_start(box, 6);
    gtk_widget_set_margin_top(box, 3);
    gtk_widget_set_margin_bottom(box, 3);
    GtkWidget *row = gtk_list_box_row_new();
    gtk_container_add(GTK_CONTAINER(row), box);
    g_object_set_data_full(G_OBJECT(row), "app", g_object_ref(app), g_object_unref);
    return row;
}

void on_application_selected(GtkListBox *, GtkListBoxRow *row, GtkDialog *dialog)
{
    gtk_dialog_set_response_sensitive(dialog, GTK_RESPONSE_ACCEPT, row != nullptr);
}

void on_application_activated(GtkListBox *, GtkListBoxRow *, GtkDialog *dialog)
{
    gtk_dialog_response(dialog, GTK_RESPONSE_ACCEPT);
}

// The list of applications to open the stream with once, or a label that
// says there is none.
GtkWidget *application_chooser(GtkDialog *dialog)
{
    GList *apps = video_applications();
    if (!apps)
        return gtk_label_new(_("No installed application declares that it plays video."));
    GtkWidget *list = gtk_list_box_new();
    gtk_list_box_set_activate_on_single_click(GTK_LIST_BOX(list), FALSE); // a click selects
    for (GList *app = apps; app; app = app->next)
        gtk_container_add(GTK_CONTAINER(list), application_row(G_APP_INFO(app->data)));
    g_list_free_full(apps, g_object_unref);
    atk_object_set_name(gtk_widget_get_accessible(list), _("Video applications"));
    g_signal_connect(list, "row-selected", G_CALLBACK(on_application_selected), dialog);
    g_signal_connect(list, "row-activated", G_CALLBACK(on_application_activated), dialog);
    g_object_set_data(G_OBJECT(dialog), "applications", list);
    GtkWidget *scrolled = gtk_scrolled_window_new(nullptr, nullptr);
    gtk_scrolled_window_set_shadow_type(GTK_SCROLLED_WINDOW(scrolled), GTK_SHADOW_ETCHED_IN);
    gtk_scrolled_window_set_policy(GTK_SCROLLED_WINDOW(scrolled), GTK_POLICY_NEVER,
                                   GTK_POLICY_AUTOMATIC);
    gtk_scrolled_window_set_min_content_height(GTK_SCROLLED_WINDOW(scrolled), 120);
    gtk_container_add(GTK_CONTAINER(scrolled), list);
    return scrolled;
}

GAppInfo *chosen_application(GtkDialog *dialog)
{
    auto *list = static_cast<GtkListBox *>(g_object_get_data(G_OBJECT(dialog), "applications"));
    GtkListBoxRow *row = list ? gtk_list_box_get_selected_row(list) : nullptr;
    return row ? G_APP_INFO(g_object_get_data(G_OBJECT(row), "app")) : nullptr;
}

void on_no_player_response(GtkDialog *dialog, gint response, gpointer)
{
    const auto *url = static_cast<const gchar *>(g_object_get_data(G_OBJECT(dialog), "url"));
    if (response == RESPONSE_COPY) {
        GtkWidget *widget = GTK_WIDGET(dialog);
        gtk_clipboard_set_text(gtk_widget_get_clipboard(widget, GDK_SELECTION_CLIPBOARD), url, -1);
        return; // the user may still open it
    }
    if (response == GTK_RESPONSE_ACCEPT) {
        if (GAppInfo *app = chosen_application(dialog))
            launch(app, GTK_WINDOW(dialog), url);
    }
    gtk_widget_destroy(GTK_WIDGET(dialog));
}

GtkWidget *wrapped_label(const gchar *text)
{
    GtkWidget *label = gtk_label_new(text);
    gtk_label_set_line_wrap(GTK_LABEL(label), TRUE);
    gtk_label_set_max_width_chars(GTK_LABEL(label), 50);
    gtk_label_set_xalign(GTK_LABEL(label), 0);
    return label;
}

// Nothing is stored: the choice opens this stream once.
void show_no_player(GtkWindow *parent, const gchar *url, const gchar *scheme)
{
    GtkWidget *dialog = gtk_dialog_new_with_buttons(
        _("No Video Player"), parent,
        static_cast<GtkDialogFlags>(GTK_DIALOG_MODAL | GTK_DIALOG_DESTROY_WITH_PARENT),
        _("Copy Address"), RESPONSE_COPY, _("_Cancel"), GTK_RESPONSE_CANCEL, _("_Open"),
        GTK_RESPONSE_ACCEPT, nullptr);
    g_object_set_data_full(G_OBJECT(dialog), "url", g_strdup(url), g_free);
    GtkBox *content = GTK_BOX(gtk_dialog_get_content_area(GTK_DIALOG(dialog)));
    gtk_box_set_spacing(content, 8);
    gtk_container_set_border_width(GTK_CONTAINER(content), 12);
    // TRANSLATORS: %s is the address's scheme, rtsp or rtsps.
    gchar *why = g_strdup_printf(_("No program on this computer is set to open %s video streams."),
                                 scheme);
    GtkWidget *title = wrapped_label(why);
    g_free(why);
    PangoAttrList *bold = pango_attr_list_new();
    pango_attr_list_insert(bold, pango_attr_weight_new(PANGO_WEIGHT_BOLD));
    gtk_label_set_attributes(GTK_LABEL(title), bold);
    pango_attr_list_unref(bold);
    gtk_box_pack_start(content, title, FALSE, FALSE, 0);
    gtk_box_pack_start(content,
                       wrapped_label(_("Players that open them include VLC, Videos (Totem), "
                                       "Celluloid, Clapper and mpv. Once one is installed as the "
                                       "video player, the stream opens in it.")),
                       FALSE, FALSE, 0);
    GtkWidget *address = wrapped_label(url);
    gtk_label_set_selectable(GTK_LABEL(address), TRUE);
    gtk_box_pack_start(content, address, FALSE, FALSE, 0);
    gtk_box_pack_start(content, wrapped_label(_("Open it this once with:")), FALSE, FALSE, 0);
    GtkWidget *chooser = application_chooser(GTK_DIALOG(dialog));
    gtk_box_pack_start(content, chooser, TRUE, TRUE, 0);
    gtk_dialog_set_default_response(GTK_DIALOG(dialog), GTK_RESPONSE_ACCEPT);
    gtk_dialog_set_response_sensitive(GTK_DIALOG(dialog), GTK_RESPONSE_ACCEPT, FALSE);
    g_signal_connect(dialog, "response", G_CALLBACK(on_no_player_response), nullptr);
    gtk_widget_show_all(dialog);
}

} // namespace

gboolean is_stream_address(const gchar *url)
{
    return url_scheme_is_one_of(url, {"rtsp", "rtsps"});
}

void open_video_stream(GtkWindow *parent, const gchar *url)
{
    if (!is_stream_address(url)) {
        gchar *shown = g_strescape(url, nullptr);
        g_printerr(_("not opening \"%s\": not an rtsp or rtsps address\n"), shown);
        g_free(shown);
        return;
    }
    gchar *scheme = lowercase_scheme(url);
    if (GAppInfo *player = g_app_info_get_default_for_uri_scheme(scheme)) {
        launch(player, parent, url);
        g_object_unref(player);
    } else {
        show_no_player(parent, url, scheme);
    }
    g_free(scheme);
}
