// SPDX-License-Identifier: MIT
// The window's hand-off and list under a flood of senders: bounded, and
// counting what they leave out; the list's iterators across its changes. No
// network, no display.
#include "peer_handoff.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace {

std::string address(int i)
{
    return "192.0.2." + std::to_string(i);
}

void hand_over(PeerHandoff *handoff, int first, int count)
{
    ObxPeerDetails camera{OBX_PEER_TYPE_VIDEO_TRANSMITTER, "Cam", nullptr, nullptr};
    for (int i = first; i < first + count; ++i)
        peer_handoff_on_discovery(address(i).c_str(), camera, handoff);
}

void run_main_loop()
{
    while (g_main_context_iteration(nullptr, FALSE)) {
    }
}

std::vector<std::string> listed_addresses(DiscoveryPeerList *store)
{
    std::vector<std::string> addresses;
    GtkTreeModel *model = GTK_TREE_MODEL(store);
    GtkTreeIter iter;
    for (gboolean more = gtk_tree_model_get_iter_first(model, &iter); more;
         more = gtk_tree_model_iter_next(model, &iter)) {
        gchar *text = nullptr;
        gtk_tree_model_get(model, &iter, COL_ADDRESS, &text, -1);
        addresses.push_back(text);
        g_free(text);
    }
    return addresses;
}

void ignore_batch(gpointer) {}

// A flood faster than the main loop: rows beyond those that may wait, then
// beyond the list, are counted, never kept, until a new hand-off (refresh).
TEST(PeerHandoff, ListsUpToItsLimitsAndCountsTheRest)
{
    DiscoveryPeerList *store = discovery_peer_list_new();
    PeerHandoff *handoff = peer_handoff_new(store, ignore_batch, nullptr, RowLimits{3, 5});
    hand_over(handoff, 0, 8);
    ObxPeerDetails tool{OBX_PEER_TYPE_PROBE, nullptr, nullptr, nullptr};
    peer_handoff_on_discovery("192.0.2.99", tool, handoff);
    EXPECT_EQ(peer_handoff_not_listed(handoff), 3u) << "beyond the 5 that may wait";

    run_main_loop();
    EXPECT_EQ(listed_addresses(store), (std::vector<std::string>{address(0), address(1), address(2)}));
    EXPECT_EQ(peer_handoff_not_listed(handoff), 5u) << "and 2 beyond the list";
    hand_over(handoff, 50, 1);
    run_main_loop();
    EXPECT_EQ(discovery_peer_list_count(store), 3u);
    EXPECT_EQ(peer_handoff_not_listed(handoff), 6u);
    peer_handoff_close(handoff);
    g_object_unref(store);
}

void append_row(DiscoveryPeerList *store, const char *address_string, const char *name)
{
    RowTexts row;
    row_texts_init(&row, address_string,
                   ObxPeerDetails{OBX_PEER_TYPE_VIDEO_TRANSMITTER, name, nullptr, nullptr});
    discovery_peer_list_append(store, &row);
}

void count_critical(const gchar *, GLogLevelFlags, const gchar *, gpointer count)
{
    ++*static_cast<int *>(count);
}

// An iterator kept across a change of the rows shown would read another row,
// or past the end: it is refused with GLib's critical warning, not read.
TEST(PeerList, RefusesAnIteratorKeptAcrossAChange)
{
    using Change = std::function<void(DiscoveryPeerList *)>;
    const std::pair<const char *, Change> changes[] = {
        {"row added", [](DiscoveryPeerList *list) { append_row(list, "192.0.2.3", "c"); }},
        {"sorted",
         [](DiscoveryPeerList *list) { discovery_peer_list_sort(list, COL_NAME, GTK_SORT_ASCENDING); }},
        {"filtered to none", [](DiscoveryPeerList *list) { discovery_peer_list_filter(list, "none"); }},
    };
    int criticals = 0;
    guint handler = g_log_set_handler(nullptr, G_LOG_LEVEL_CRITICAL, count_critical, &criticals);
    for (const auto &[change, make] : changes) {
        SCOPED_TRACE(change);
        DiscoveryPeerList *store = discovery_peer_list_new();
        GtkTreeModel *model = GTK_TREE_MODEL(store);
        append_row(store, "192.0.2.2", "b");
        append_row(store, "192.0.2.1", "a");
        GtkTreeIter kept;
        ASSERT_TRUE(gtk_tree_model_iter_nth_child(model, &kept, nullptr, 1));
        make(store);
        criticals = 0;
        GValue value = G_VALUE_INIT;
        gtk_tree_model_get_value(model, &kept, COL_ADDRESS, &value);
        EXPECT_FALSE(G_IS_VALUE(&value));
        EXPECT_FALSE(gtk_tree_model_iter_next(model, &kept));
        EXPECT_EQ(criticals, 2);
        g_object_unref(store);
    }
    g_log_remove_handler(nullptr, handler);
}

} // namespace
