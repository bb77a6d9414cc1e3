// SPDX-License-Identifier: MIT
// The window's hand-off and list under a flood of senders: bounded, and
// counting what they leave out; the list's order, finding and iterators
// across its changes, as a view sees them through its signals. No network,
// no display.
#include "peer_handoff.h"
#include "support/cases.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace {

using cases::operator<<;

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

std::string text_at(GtkTreeModel *model, GtkTreeIter *iter, int column)
{
    gchar *text = nullptr;
    gtk_tree_model_get(model, iter, column, &text, -1);
    std::string copy = text;
    g_free(text);
    return copy;
}

// A column of the shown rows, in the order shown.
std::vector<std::string> listed(DiscoveryPeerList *store, int column = COL_ADDRESS)
{
    std::vector<std::string> texts;
    GtkTreeModel *model = GTK_TREE_MODEL(store);
    GtkTreeIter iter;
    for (gboolean more = gtk_tree_model_get_iter_first(model, &iter); more;
         more = gtk_tree_model_iter_next(model, &iter))
        texts.push_back(text_at(model, &iter, column));
    return texts;
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
    EXPECT_EQ(listed(store), (std::vector<std::string>{address(0), address(1), address(2)}));
    EXPECT_EQ(peer_handoff_not_listed(handoff), 5u) << "and 2 beyond the list";
    hand_over(handoff, 50, 1);
    run_main_loop();
    EXPECT_EQ(discovery_peer_list_count(store), 3u);
    EXPECT_EQ(peer_handoff_not_listed(handoff), 6u);
    peer_handoff_close(handoff);
    g_object_unref(store);
}

void append_row(DiscoveryPeerList *store, const char *address_string, const char *name,
                const char *http_url = nullptr)
{
    RowTexts row;
    row_texts_init(&row, address_string,
                   ObxPeerDetails{OBX_PEER_TYPE_VIDEO_TRANSMITTER, name, nullptr, http_url});
    discovery_peer_list_append(store, &row);
}

// The names a view shows, kept from the list's signals alone; read again
// when the list is filtered, as the view is then given the list anew.
struct ViewMirror {
    std::vector<std::string> names;

    static void on_inserted(GtkTreeModel *model, GtkTreePath *path, GtkTreeIter *iter,
                            ViewMirror *self)
    {
        auto at = self->names.begin() + gtk_tree_path_get_indices(path)[0];
        self->names.insert(at, text_at(model, iter, COL_NAME));
    }
    static void on_reordered(GtkTreeModel *, GtkTreePath *, GtkTreeIter *, gint *new_order,
                             ViewMirror *self)
    {
        std::vector<std::string> before = self->names;
        for (size_t at = 0; at < before.size(); ++at)
            self->names[at] = before[static_cast<size_t>(new_order[at])];
    }
};

struct ListCase {
    const char *name;
    std::vector<const char *> filters; // in turn
    int sort_column;
    GtkSortType order;
    std::vector<std::string> shown; // names, once a last row has arrived
};

const ListCase list_cases[] = {
    {"ArrivalOrder", {}, DISCOVERY_PEER_LIST_UNSORTED, GTK_SORT_ASCENDING,
     {"Lobby", "Entr\xc3\xa9" "e", "", "camera 2", "Camera 10", "Gate", "Camera 0"}},
    {"NamesIgnoreCaseAndTakeNumbersByValue", {}, COL_NAME, GTK_SORT_ASCENDING,
     {"", "Camera 0", "camera 2", "Camera 10", "Entr\xc3\xa9" "e", "Gate", "Lobby"}},
    {"NamesDescending", {}, COL_NAME, GTK_SORT_DESCENDING,
     {"Lobby", "Gate", "Entr\xc3\xa9" "e", "Camera 10", "camera 2", "Camera 0", ""}},
    {"AddressesByNumber", {}, COL_ADDRESS, GTK_SORT_ASCENDING,
     {"Gate", "Camera 0", "Lobby", "Entr\xc3\xa9" "e", "", "camera 2", "Camera 10"}},
    {"UrlsAsText", {}, COL_HTTP, GTK_SORT_ASCENDING,
     {"", "camera 2", "Camera 10", "Gate", "Lobby", "Entr\xc3\xa9" "e", "Camera 0"}},
    {"EqualRowsInArrivalOrderEitherWay", {}, COL_RTSP, GTK_SORT_DESCENDING,
     {"Lobby", "Entr\xc3\xa9" "e", "", "camera 2", "Camera 10", "Gate", "Camera 0"}},
    {"FindsNamesIgnoringCase", {"caM"}, DISCOVERY_PEER_LIST_UNSORTED, GTK_SORT_ASCENDING,
     {"camera 2", "Camera 10", "Camera 0"}},
    {"FindsNonAsciiIgnoringCase", {"ENTR\xc3\x89"}, DISCOVERY_PEER_LIST_UNSORTED,
     GTK_SORT_ASCENDING, {"Entr\xc3\xa9" "e"}},
    {"FindsAddresses", {"192.0.2.10"}, DISCOVERY_PEER_LIST_UNSORTED, GTK_SORT_ASCENDING,
     {"Lobby", "Entr\xc3\xa9" "e", "", "camera 2", "Camera 10"}},
    {"ShorterTextFindsMore", {"camera 1", "cam"}, DISCOVERY_PEER_LIST_UNSORTED,
     GTK_SORT_ASCENDING, {"camera 2", "Camera 10", "Camera 0"}},
    {"FoundThenSorted", {"cam"}, COL_NAME, GTK_SORT_ASCENDING, {"Camera 0", "camera 2", "Camera 10"}},
    {"FindsNothing", {"zzz"}, COL_NAME, GTK_SORT_ASCENDING, {}},
    {"FindingEndsWithNoText", {"cam", ""}, DISCOVERY_PEER_LIST_UNSORTED, GTK_SORT_ASCENDING,
     {"Lobby", "Entr\xc3\xa9" "e", "", "camera 2", "Camera 10", "Gate", "Camera 0"}},
};

class PeerListOrder : public testing::TestWithParam<ListCase> {};

// Rows found and sorted, then one more arriving: where the view is told each
// goes, and what the list shows.
TEST_P(PeerListOrder, ShowsRowsFoundInTheirOrder)
{
    const ListCase &c = GetParam();
    DiscoveryPeerList *store = discovery_peer_list_new();
    ViewMirror view;
    g_signal_connect(store, "row-inserted", G_CALLBACK(ViewMirror::on_inserted), &view);
    g_signal_connect(store, "rows-reordered", G_CALLBACK(ViewMirror::on_reordered), &view);
    append_row(store, "192.0.2.100", "Lobby", "http://192.0.2.100/");
    append_row(store, "192.0.2.101", "Entr\xc3\xa9" "e", "http://192.0.2.101:8080/");
    append_row(store, "192.0.2.102", "");
    append_row(store, "192.0.2.106", "camera 2");
    append_row(store, "192.0.2.107", "Camera 10");
    append_row(store, "192.0.2.2", "Gate"); // first by number, last as text
    for (const char *text : c.filters) {
        discovery_peer_list_filter(store, text);
        view.names = listed(store, COL_NAME);
    }
    if (c.sort_column != DISCOVERY_PEER_LIST_UNSORTED)
        discovery_peer_list_sort(store, c.sort_column, c.order);
    append_row(store, "192.0.2.30", "Camera 0", "http://a/");

    EXPECT_EQ(listed(store, COL_NAME), c.shown);
    EXPECT_EQ(view.names, c.shown) << "the view was told otherwise";
    g_object_unref(store);
}

INSTANTIATE_TEST_SUITE_P(EachWay, PeerListOrder, testing::ValuesIn(list_cases), cases::name);

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
