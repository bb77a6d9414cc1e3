// SPDX-License-Identifier: MIT
// ombrix-discovery-gtk: lists the cameras on the local network and opens
// their web interfaces.
#include "main_window.h"
#include "translation.h"

#include <gtk/gtk.h>

namespace {

void activate(GtkApplication *app, gpointer)
{
    GtkWidget *window = discovery_main_window_new(app);
    gtk_widget_show_all(window);
}

} // namespace

int main(int argc, char **argv)
{
    translation_init(); // before GTK, which would set the locale only later
    g_set_application_name("Ombrix Discovery Tool");

    // The application initialises GTK with the command line when it starts.
    GtkApplication *app = gtk_application_new("com.ombrix.DiscoveryTool",
                                              G_APPLICATION_DEFAULT_FLAGS);
    g_signal_connect(app, "activate", G_CALLBACK(activate), nullptr);
    int status = g_application_run(G_APPLICATION(app), argc, argv);
    g_object_unref(app);
    return status;
}
